"""The categorical pass: noisy value frequencies, one draw per row, and the
draw of indices into the distinct values (values keep their types)."""

import contextlib
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import privex_reference as ref
from privex_reference import frames_identical


@pytest.fixture
def table():
    rng = np.random.default_rng(3)
    n = 2000
    city = rng.choice(["Oslo", "Lima", "Pune", "Kyiv"], n, p=[0.4, 0.3, 0.2, 0.1]).astype(object)
    city[::17] = None
    return pd.DataFrame(
        {
            "city": city,
            "member": rng.random(n) < 0.3,
            "level": rng.integers(1, 4, n),
            "code": rng.integers(0, 600, n).astype(str).astype(object),  # hundreds of distinct values
            "tier": pd.Categorical(rng.choice(["gold", "silver"], n), categories=["bronze", "gold", "silver"]),
            "x": rng.normal(size=n),
        }
    )


COLS = ["city", "member", "level", "code", "tier", "absent"]


@pytest.mark.parametrize("epsilon", [1.0, 0.02, 50.0])
def test_one_vector_draw_equals_the_scalar_draws(privex, table, epsilon):
    """The Laplace draws per distinct value are made in one call: the results
    and the random stream afterwards are those of one scalar draw per value."""
    before = table.copy()
    expected, state = ref.seeded(99, ref.categorical_pass, table, COLS, epsilon)
    out, out_state = ref.seeded(99, privex.PrivexProcessor(epsilon=epsilon)._apply_categorical_dp, table, list(COLS))
    frames_identical(out, expected)
    assert out_state == state
    frames_identical(table, before)


def test_result_columns(privex, table):
    out = privex.PrivexProcessor(epsilon=1.0, random_state=5)._apply_categorical_dp(table, COLS)
    assert out["city"].notna().all()  # missing cells get drawn values too
    assert set(out["city"]) <= {"Oslo", "Lima", "Pune", "Kyiv"}
    assert out["member"].dtype == bool
    assert out["level"].dtype == np.int64 and set(out["level"]) <= {1, 2, 3}
    assert not isinstance(out["tier"].dtype, pd.CategoricalDtype)  # a plain column of its labels
    assert set(out["tier"]) <= {"bronze", "gold", "silver"}
    frames_identical(out[["x"]], table[["x"]])


@pytest.mark.parametrize(
    "values, kinds",
    [
        ([1, "a", 1, 2, "b", "a"], {int, str}),
        ([True, "yes", "no", "no"], {bool, str}),
        ([(1, 2), (3, 4), (1, 2)], {tuple}),
        ([(1, 2), (3,), (1, 2)], {tuple}),
        ([b"x", 3, b"y"], {bytes, int}),
    ],
)
def test_mixed_values_keep_their_types(privex, values, kinds):
    df = pd.DataFrame({"m": pd.Series(values * 50, dtype=object)})
    out, state = ref.seeded(12, privex.PrivexProcessor(epsilon=5.0)._apply_categorical_dp, df, ["m"])
    drawn = list(out["m"])
    assert {type(v) for v in drawn} == kinds
    assert set(drawn) <= set(values)
    # the draws are those of the plain pass: the same positions are picked
    np.random.seed(12)
    vc = df["m"].value_counts()
    noisy = {v: max(0, c + np.random.laplace(0, 1.0 / 5.0)) for v, c in vc.items()}
    total = sum(noisy.values())
    probs = np.array([c / total for c in noisy.values()])
    idx = np.random.choice(len(noisy), size=len(df), p=probs / probs.sum())
    assert drawn == [list(noisy)[i] for i in idx]
    assert ref.state_after() == state


def test_mixed_ints_and_text_as_the_plain_pass_would_stringify_them(privex):
    # numpy would have made every value text ("1"); the same cells are drawn
    df = pd.DataFrame({"m": pd.Series([1, "a", 2, "a", 1, 1] * 40, dtype=object)})
    expected, state = ref.seeded(31, ref.categorical_pass, df, ["m"])
    out, out_state = ref.seeded(31, privex.PrivexProcessor()._apply_categorical_dp, df, ["m"])
    assert out_state == state
    assert list(out["m"].map(str)) == list(expected["m"])
    assert {type(v) for v in out["m"]} == {int, str}


def test_all_missing_column_is_skipped_and_single_value_fills_every_row(privex):
    df = pd.DataFrame({"none": [None, None, None, None], "one": ["k", None, "k", None]})
    np.random.seed(0)
    out = privex.PrivexProcessor()._apply_categorical_dp(df, ["none", "one"])
    assert out["none"].isna().all()
    assert list(out["one"]) == ["k"] * 4


def test_large_epsilon_follows_the_input_frequencies(privex):
    rng = np.random.default_rng(8)
    freqs = {"a": 0.5, "b": 0.3, "c": 0.15, "d": 0.05}
    n = 100_000
    df = pd.DataFrame({"c": rng.choice(list(freqs), n, p=list(freqs.values()))})
    out = privex.PrivexProcessor(epsilon=1e6, random_state=17)._apply_categorical_dp(df, ["c"])
    observed = out["c"].value_counts().reindex(list(freqs)).to_numpy()
    expected = df["c"].value_counts().reindex(list(freqs)).to_numpy()
    assert stats.chisquare(observed, expected).pvalue > 0.01
    # and a visibly different distribution is rejected by the same test
    shifted = expected * np.array([0.97, 1.0, 1.05, 1.1])
    assert stats.chisquare(observed, shifted * n / shifted.sum()).pvalue < 1e-6


def seed_sinking_every_count(counts, epsilon):
    """A seed whose first draws push every noisy count to zero or below."""
    for seed in range(10_000):
        np.random.seed(seed)
        if all(c + np.random.laplace(0, 1.0 / epsilon) <= 0 for c in counts):
            return seed
    raise AssertionError("no such seed")


def test_all_counts_at_zero_give_a_uniform_draw(privex):
    df = pd.DataFrame({"c": ["a", "a", "b"]})
    seed = seed_sinking_every_count([2, 1], epsilon=0.01)
    expected, _ = ref.seeded(seed, ref.categorical_pass, df, ["c"], 0.01)
    out, _ = ref.seeded(seed, privex.PrivexProcessor(epsilon=0.01)._apply_categorical_dp, df, ["c"])
    frames_identical(out, expected)
    # the draw itself is uniform: with the same seed and many rows both values come out evenly
    many = pd.DataFrame({"c": ["a"] * 2 + ["b"] * 1 + [None] * 19_997})
    out, _ = ref.seeded(seed, privex.PrivexProcessor(epsilon=0.01)._apply_categorical_dp, many, ["c"])
    assert out["c"].value_counts(normalize=True).to_dict() == pytest.approx({"a": 0.5, "b": 0.5}, abs=0.02)


def test_string_dtype_column(privex):
    df = pd.DataFrame({"s": pd.array(["u", "v", None, "u"] * 25, dtype="string")})
    out = privex.PrivexProcessor(epsilon=2.0, random_state=4)._apply_categorical_dp(df, ["s"])
    assert out["s"].notna().all() and set(out["s"]) <= {"u", "v"}


def test_errors(privex, table):
    p = privex.PrivexProcessor(epsilon=0.0)
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        p._apply_categorical_dp(table, ["absent", "city"])
    with pytest.raises(TypeError, match=r"Argument 'categorical_cols' has incorrect type \(expected list, got NoneType\)"):
        p._apply_categorical_dp(table, None)
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        p._apply_categorical_dp(table)


# ---------------------------------------------------------------------------
# Wide vocabularies and text: the noisy counts are worked out on arrays, the
# rows are drawn without np.random.choice and text columns are built from the
# distinct values; all of it must give what the plain pass gives.


def wide_table(n_rows, n_distinct, shape, seed=0):
    rng = np.random.default_rng(seed)
    if shape == "zipf":
        codes = np.concatenate([np.arange(n_distinct), rng.zipf(1.3, n_rows - n_distinct) % n_distinct])
    else:  # one value in nine rows of ten, every other value once or twice
        codes = np.where(rng.random(n_rows) < 0.9, 0, rng.integers(0, n_distinct, n_rows))
    rng.shuffle(codes)
    vocab = np.array([f"v{j:05d}" for j in range(n_distinct)], dtype=object)
    return pd.DataFrame(
        {
            "text": vocab[codes],
            "number": codes % 997,  # int64 values
            "fraction": (codes % 501) / 8.0,  # float values
        }
    )


@pytest.mark.parametrize("shape", ["zipf", "dominant"])
@pytest.mark.parametrize("epsilon", [1.0, 0.01, 1e4])
def test_wide_vocabulary_matches_the_plain_pass(privex, shape, epsilon):
    # epsilon 0.01 sinks many counts to zero: the distribution has long runs of
    # values that can never be drawn (flat stretches of the cumulative sums)
    df = wide_table(40_000, 4_000, shape)
    cols = ["text", "number", "fraction"]
    before = df.copy()
    expected, state = ref.seeded(21, ref.categorical_pass, df, cols, epsilon)
    out, out_state = ref.seeded(21, privex.PrivexProcessor(epsilon=epsilon)._apply_categorical_dp, df, list(cols))
    frames_identical(out, expected)
    assert out_state == state
    frames_identical(df, before)
    if epsilon == 0.01:
        assert out["text"].nunique() < df["text"].nunique() / 2  # many values really dropped out


def option_sets():
    """pandas' text settings: as installed, inference of text columns switched, and python storage."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*infer_string")  # deprecated in pandas 3
        infer = pd.get_option("future.infer_string")
    return [
        pytest.param((), id="as installed"),
        pytest.param(("future.infer_string", not infer), id=f"infer_string={not infer}"),
        pytest.param(("mode.string_storage", "python"), id="python storage"),
        pytest.param(("mode.string_storage", "python", "future.infer_string", True), id="python storage, inferred"),
    ]


@pytest.mark.filterwarnings("ignore:.*infer_string")
@pytest.mark.parametrize("options", option_sets())
def test_text_columns_match_the_plain_pass_under_pandas_text_options(privex, options):
    with pd.option_context(*options) if options else contextlib.nullcontext():
        rng = np.random.default_rng(4)
        n = 3000
        words = [f"w{i}" for i in range(300)] + ["Zürich", "日本", "😀", ""]
        picked = rng.choice(np.array(words, dtype=object), n)
        with_gaps = picked.copy()
        with_gaps[::13] = None
        df = pd.DataFrame(
            {
                "object": pd.Series(with_gaps, dtype=object),
                "inferred": list(picked),
                "string": pd.array(with_gaps, dtype="string"),
                "category": pd.Categorical(picked),
            }
        )
        cols = list(df.columns)
        expected, state = ref.seeded(5, ref.categorical_pass, df, cols, 0.5)
        out, out_state = ref.seeded(5, privex.PrivexProcessor(epsilon=0.5)._apply_categorical_dp, df, list(cols))
        frames_identical(out, expected)
        assert out_state == state


class Word(str):
    pass


@pytest.mark.parametrize(
    "values",
    [
        pytest.param(["a\x00", "a", "b\x00c", "", "\x00"], id="trailing NUL dropped as numpy does"),
        pytest.param([Word("x"), Word("y"), "x"], id="str subclass made plain str"),
        pytest.param(["a\ud800", "b", "c"], id="lone surrogate"),
    ],
)
def test_text_numpy_changes_comes_out_as_numpy_gives_it(privex, values):
    # the lone surrogate fails where pandas stores text as UTF-8, in both passes alike
    df = pd.DataFrame({"s": pd.Series(values * 40, dtype=object)})
    expected = ref.seeded_outcome(6, ref.categorical_pass, df, ["s"], 2.0)
    got = ref.seeded_outcome(6, privex.PrivexProcessor(epsilon=2.0)._apply_categorical_dp, df, ["s"])
    ref.assert_same_outcome(got, expected)


@pytest.mark.parametrize(
    "column",
    [
        pytest.param(pd.Series([1, True, 1.0, 2, 2.0, None] * 30, dtype=object), id="equal values of different types"),
        pytest.param(pd.Series([0.0, -0.0, 1.5, np.nan] * 30), id="signed zeros"),
        pytest.param(pd.array([1, 2, None, 3, 3] * 30, dtype="Int64"), id="nullable counts"),
        pytest.param(pd.array([True, False, None, True] * 30, dtype="boolean"), id="nullable booleans"),
        pytest.param(pd.Series(pd.to_datetime(["2020-01-01", "2021-06-01", None] * 40)), id="datetimes"),
    ],
)
def test_other_value_kinds_match_the_plain_pass(privex, column):
    df = pd.DataFrame({"v": column})
    expected = ref.seeded_outcome(8, ref.categorical_pass, df, ["v"], 0.7)
    got = ref.seeded_outcome(8, privex.PrivexProcessor(epsilon=0.7)._apply_categorical_dp, df, ["v"])
    ref.assert_same_outcome(got, expected)
    assert not isinstance(got[0], tuple)


def test_probabilities_numpy_refuses_raise_its_error(privex):
    # 1 / 1e-320 is infinite: the noise is infinite, a total of infinite counts
    # makes NaN probabilities, which np.random.choice refuses; when every count
    # falls to zero instead the draw is uniform
    df = pd.DataFrame({"c": ["a", "b", "b"] * 10})
    outcomes = set()
    for seed in range(12):
        expected = ref.seeded_outcome(seed, ref.categorical_pass, df, ["c"], 1e-320)
        got = ref.seeded_outcome(seed, privex.PrivexProcessor(epsilon=1e-320)._apply_categorical_dp, df, ["c"])
        ref.assert_same_outcome(got, expected)
        outcomes.add(expected[0] if isinstance(expected[0], tuple) else "table")
    assert outcomes == {(ValueError, "probabilities contain NaN"), "table"}
