"""The categorical pass: noisy value frequencies, one draw per row, and the
draw of indices into the distinct values (values keep their types)."""

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
