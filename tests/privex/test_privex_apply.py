"""apply_dp and apply_privex: dispatch, preserved columns, logging, state and
argument checking."""

import numpy as np
import pandas as pd
import pytest

import privex_reference as ref
from privex_reference import frames_identical

METHODS = ["minimal", "laplace", "gaussian"]


def applying(method, shape):
    return ("INFO", f"Applying {method} differential privacy to DataFrame of shape {shape}")


def applied(method, shape):
    return ("INFO", f"Applied DP with method '{method}'. Output shape: {shape}")


@pytest.mark.parametrize("empty", [pd.DataFrame(), pd.DataFrame({"a": []}), pd.DataFrame(index=[1, 2])])
@pytest.mark.parametrize("method", ["laplace", "no such method"])
def test_empty_table_is_returned_as_it_came(privex, info_logs, empty, method):
    p = privex.PrivexProcessor()
    p.original_stats = stats = {"kept": True}
    info_logs_before = info_logs()
    assert p.apply_dp(empty, method=method) is empty
    assert info_logs()[len(info_logs_before):] == [("WARNING", "Input DataFrame is empty")]
    assert p.original_stats is stats


@pytest.mark.parametrize("method", METHODS)
def test_log_lines_and_original_stats(privex, mixed_df, info_logs, method):
    p = privex.PrivexProcessor(random_state=1)
    out = p.apply_dp(mixed_df, method)
    assert info_logs() == [
        ("INFO", "Initialized DP processor with epsilon=1.0, delta=1e-05"),
        applying(method, "(40, 7)"),
        applied(method, "(40, 7)"),
    ]
    assert out.shape == mixed_df.shape and list(out.columns) == list(mixed_df.columns)
    stats = p.get_privacy_info()["original_stats"]
    assert list(stats) == ["shape", "columns", "dtypes"]
    assert stats["shape"] == (40, 7)
    assert stats["columns"] == list(mixed_df.columns)
    assert stats["dtypes"] == mixed_df.dtypes.to_dict()


def test_unknown_method_raises_after_logging_and_recording(privex, mixed_df, info_logs):
    p = privex.PrivexProcessor()
    with pytest.raises(ValueError) as err:
        p.apply_dp(mixed_df, method="Laplace")
    assert str(err.value) == "Unknown method: Laplace. Use 'minimal', 'laplace', or 'gaussian'"
    assert info_logs()[-1] == applying("Laplace", "(40, 7)")
    assert p.original_stats["shape"] == (40, 7)


def test_laplace_is_the_numerical_then_the_categorical_pass(privex, mixed_df):
    num, cat = ["income", "age", "score"], ["city", "member", "tier", "flag"]
    assert privex.PrivexProcessor()._detect_column_types(mixed_df) == (num, cat)
    as_float = mixed_df.astype({"age": "float64"})
    np.random.seed(6)
    expected = ref.categorical_pass(ref.numerical_pass(as_float, num, 0.8, 0.1), cat, 0.8)
    state = ref.state_after()
    np.random.seed(6)
    out = privex.PrivexProcessor(epsilon=0.8).apply_dp(mixed_df, method="laplace")
    frames_identical(out, expected)
    assert ref.state_after() == state


def test_gaussian_is_its_loop_then_the_categorical_pass(privex, mixed_df):
    num, cat = ["income", "age", "score"], ["city", "member", "tier", "flag"]
    repeated = mixed_df.set_axis([0, 1] * 20)  # index labels repeat: cells are written by position
    np.random.seed(7)
    base = mixed_df.astype({"age": "float64"})
    expected = ref.categorical_pass(ref.gaussian_loop(base, num, 2.0, 1e-3, 0.2), cat, 2.0)
    state = ref.state_after()
    p = privex.PrivexProcessor(epsilon=2.0, delta=1e-3, noise_scale=0.2, random_state=7)
    out = p.apply_dp(repeated, method="gaussian")
    frames_identical(out, expected.set_axis(repeated.index))
    assert ref.state_after() == state


@pytest.mark.parametrize("dtype", ["int8", "Int64", "uint8", "float32"])
def test_gaussian_widens_integer_columns_and_takes_exact_ranges(privex, dtype):
    # -100..100 does not fit the range of an int8 column; 0..250 fits uint8 but not its difference
    values = [-100, 100, 3, 0, -7, 55] if dtype in ("int8", "Int64", "float32") else [0, 250, 3, 9, 70, 1]
    df = pd.DataFrame({"v": pd.array(values * 3, dtype=dtype), "w": np.arange(18.0)})
    as_float = df.astype({"v": "float64"})
    np.random.seed(10)
    expected = ref.gaussian_loop(as_float.copy(), ["v", "w"])
    out = privex.PrivexProcessor(random_state=10).apply_dp(df, method="gaussian")
    frames_identical(out, expected)


def test_gaussian_keeps_missing_cells_and_does_not_clip(privex, mixed_df):
    out = privex.PrivexProcessor(epsilon=0.05, random_state=2).apply_dp(mixed_df, method="gaussian")
    assert out["score"].isna().equals(mixed_df["score"].isna())
    assert out["income"].max() > mixed_df["income"].max() * 1.1
    assert (out["age"] % 1 != 0).any()  # not rounded either


@pytest.mark.parametrize(
    "method, settings",
    [("minimal", {"categorical_noise_prob": 1.0}), ("laplace", {}), ("gaussian", {})],
)
def test_preserved_columns_come_back_unchanged(privex, mixed_df, method, settings):
    p = privex.PrivexProcessor(random_state=0, **settings)
    keep = ["income", "city", "flag", "not a column"]
    out = p.apply_dp(mixed_df, method=method, preserve_columns=keep)
    frames_identical(out[["income", "city", "flag"]], mixed_df[["income", "city", "flag"]])
    for col in ["age", "member"]:
        assert not out[col].equals(mixed_df[col]), col


def test_minimal_draws_do_not_depend_on_preserved_columns(privex, mixed_df):
    plain = privex.PrivexProcessor(random_state=12, categorical_noise_prob=0.5).apply_dp(mixed_df)
    kept = privex.PrivexProcessor(random_state=12, categorical_noise_prob=0.5).apply_dp(
        mixed_df, preserve_columns=["income", "city"]
    )
    others = [c for c in mixed_df.columns if c not in ("income", "city")]
    frames_identical(kept[others], plain[others])
    frames_identical(kept[["income", "city"]], mixed_df[["income", "city"]])


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("preserve", [[], ["no such column"]])
def test_empty_or_unknown_preserve_list_changes_nothing(privex, mixed_df, method, preserve):
    a = privex.apply_privex(mixed_df, method=method, random_state=3)
    b = privex.apply_privex(mixed_df, method=method, random_state=3, preserve_columns=preserve)
    frames_identical(a, b)


@pytest.mark.parametrize("method", METHODS)
def test_input_table_is_never_changed(privex, method):
    n = 50
    rng = np.random.default_rng(0)
    df = pd.DataFrame(
        {
            "i8": rng.integers(-100, 100, n).astype("int8"),
            "I": pd.array(list(range(n - 5)) + [None] * 5, dtype="Int64"),
            "f32": rng.normal(size=n).astype("float32"),
            "f": rng.normal(size=n),
            "s": pd.array(rng.choice(["a", "b"], n), dtype="string"),
            "c": pd.Categorical(rng.choice(["x", "y"], n)),
            "b": rng.random(n) < 0.5,
            "t": pd.date_range("2020-01-01", periods=n),
        },
        index=[3] * n,
    )
    before = df.copy()
    dtypes = df.dtypes.copy()
    out = privex.PrivexProcessor(random_state=5, categorical_noise_prob=0.5).apply_dp(df, method)
    frames_identical(df, before)
    assert df.dtypes.equals(dtypes)
    frames_identical(out[["t"]], df[["t"]])
    out.iloc[0, 3] = 1e9  # the result shares nothing with the input
    frames_identical(df, before)


@pytest.mark.parametrize("method", ["laplace", "minimal"])
def test_string_dtype_text_is_perturbed(privex, method):
    df = pd.DataFrame({"s": pd.array(["u", "v", "w", "u"] * 50, dtype="string"), "x": np.arange(200.0)})
    out = privex.PrivexProcessor(random_state=8, categorical_noise_prob=0.5).apply_dp(df, method)
    assert (out["s"] != df["s"]).sum() > 20


@pytest.mark.parametrize("method", METHODS)
def test_seeded_apply_privex_is_reproducible(privex, mixed_df, method):
    a = privex.apply_privex(mixed_df, 0.5, method, None, 2024)
    np.random.seed(1)  # anything in between is overridden by the seed
    b = privex.apply_privex(mixed_df, epsilon=0.5, method=method, random_state=2024)
    frames_identical(a, b)
    c = privex.PrivexProcessor(epsilon=0.5, random_state=2024).apply_dp(mixed_df, method=method)
    frames_identical(a, c)


def test_apply_privex_logs_the_constructor_line(privex, mixed_df, info_logs):
    privex.apply_privex(mixed_df, epsilon=3, random_state=1.9)
    assert info_logs()[0] == ("INFO", "Initialized DP processor with epsilon=3.0, delta=1e-05")


def test_zero_epsilon_propagates_without_touching_the_input(privex, mixed_df):
    before = mixed_df.copy()
    for method in ["laplace", "gaussian"]:
        p = privex.PrivexProcessor(epsilon=0)
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            p.apply_dp(mixed_df, method=method)
        assert p.original_stats["shape"] == (40, 7)
    frames_identical(mixed_df, before)


# ---------------------------------------------------------------------------
# Arguments


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message, noted",
    [
        ({"method": None}, "Argument 'method' has incorrect type (expected str, got NoneType)", False),
        ({"method": Text("minimal")}, "Argument 'method' has incorrect type (expected str, got Text)", True),
        ({"preserve_columns": ("a",)}, "Argument 'preserve_columns' has incorrect type (expected list, got tuple)", False),
        ({"preserve_columns": "a"}, "Argument 'preserve_columns' has incorrect type (expected list, got str)", False),
    ],
)
def test_apply_dp_argument_types(privex, mixed_df, info_logs, kwargs, message, noted):
    p = privex.PrivexProcessor()
    with pytest.raises(TypeError) as err:
        p.apply_dp(mixed_df, **kwargs)
    assert str(err.value) == message
    assert bool(getattr(err.value, "__notes__", None)) == noted
    assert p.original_stats == {}
    assert info_logs()[1:] == []  # nothing but the constructor's line


def test_apply_dp_arity(privex, mixed_df):
    p = privex.PrivexProcessor()
    with pytest.raises(TypeError, match=r"apply_dp\(\) takes at most 4 positional arguments \(5 given\)"):
        p.apply_dp(mixed_df, "minimal", None, 1)
    with pytest.raises(TypeError, match=r"apply_dp\(\) takes at least 2 positional arguments \(1 given\)"):
        p.apply_dp()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"random_state": "7"}, "Argument 'random_state' has incorrect type (expected int, got str)"),
        ({"epsilon": "1"}, "must be real number, not str"),
        ({"method": 1}, "Argument 'method' has incorrect type (expected str, got int)"),
        ({"preserve_columns": {"a"}}, "Argument 'preserve_columns' has incorrect type (expected list, got set)"),
    ],
)
def test_apply_privex_argument_types(privex, mixed_df, kwargs, error):
    with pytest.raises(TypeError) as err:
        privex.apply_privex(mixed_df, **kwargs)
    assert error in str(err.value)
    with pytest.raises(TypeError, match="takes at most 5 positional arguments"):
        privex.apply_privex(mixed_df, 1.0, "minimal", None, None, 1)


@pytest.mark.parametrize(
    "detected, error, message",
    [
        ((["income"], ["city"], []), ValueError, "too many values to unpack (expected 2)"),
        ((["income"],), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_column_typing_is_called_through_the_instance(privex, mixed_df, detected, error, message):
    class Custom(privex.PrivexProcessor):
        def _detect_column_types(self, df):
            return detected

    with pytest.raises(error) as err:
        Custom().apply_dp(mixed_df, method="laplace")
    assert str(err.value) == message


def test_subclass_column_typing_decides_the_passes(privex, mixed_df):
    class OnlyIncome(privex.PrivexProcessor):
        def _detect_column_types(self, df):
            return ["income"], []

    out = OnlyIncome(random_state=1).apply_dp(mixed_df, method="gaussian")
    frames_identical(out.drop(columns="income"), mixed_df.drop(columns="income"))
    assert not out["income"].equals(mixed_df["income"])


# ---------------------------------------------------------------------------
# One copy per call: apply_dp's own passes work on its copy of the input


def multiindex_table():
    rng = np.random.default_rng(11)
    n = 60
    df = pd.DataFrame(
        rng.normal(size=(n, 3)), columns=pd.MultiIndex.from_tuples([("a", "x"), ("a", "y"), ("b", "x")])
    )
    df[("c", "t")] = rng.choice(["u", "v", "w"], n)
    df[("c", "n")] = rng.integers(0, 3, n)
    return df


def dated_table():
    rng = np.random.default_rng(12)
    n = 60
    return pd.DataFrame(
        {
            "x": np.where(np.arange(n) % 4 == 0, np.nan, rng.normal(size=n)),
            "i": rng.integers(0, 1000, n),
            "t": pd.date_range("2022-01-01", periods=n),
            "s": pd.array(rng.choice(["p", "q", "r"], n), dtype="string"),
            "k": rng.integers(0, 4, n),
        },
        index=[7, 8, 9] * (n // 3),
    )


def passes_one_by_one(p, df, method, preserve):
    """apply_dp written out with the public passes, each on a copy of what it is given."""
    num, cat = p._detect_column_types(df)
    if preserve:
        num = [c for c in num if c not in preserve]
        cat = [c for c in cat if c not in preserve]
    if method == "laplace":
        return p._apply_categorical_dp(p._apply_numerical_dp(df.copy(), num), cat)
    out = p._apply_minimal_noise(df.copy())
    for label in preserve or []:
        if label in df.columns:
            out[label] = df[label]
    return out


@pytest.mark.parametrize("method", ["laplace", "minimal"])
@pytest.mark.parametrize(
    "table, preserve",
    [
        (multiindex_table, None),
        (multiindex_table, [("a", "y"), ("c", "t")]),
        (dated_table, None),
        (dated_table, ["x", "s"]),
    ],
    ids=["multiindex", "multiindex preserving", "dates and repeated index", "dates preserving"],
)
def test_apply_dp_equals_its_passes_one_by_one(privex, method, table, preserve):
    df = table()
    before = df.copy()
    settings = {"epsilon": 0.7, "categorical_noise_prob": 0.4}
    p = privex.PrivexProcessor(**settings)
    expected = ref.seeded_outcome(3, passes_one_by_one, p, df, method, preserve)
    got = ref.seeded_outcome(3, privex.PrivexProcessor(**settings).apply_dp, df, method, preserve)
    ref.assert_same_outcome(got, expected)
    frames_identical(df, before)


def test_gaussian_then_categorical_on_the_copy_leaves_the_input_alone(privex, mixed_df):
    num, cat = ["income", "age", "score"], ["city", "member", "tier", "flag"]
    before = mixed_df.copy()
    np.random.seed(9)
    expected = ref.categorical_pass(ref.gaussian_loop(mixed_df.astype({"age": "float64"}), num), cat)
    state = ref.state_after()
    out = privex.PrivexProcessor(random_state=9).apply_dp(mixed_df, method="gaussian")
    frames_identical(out, expected)
    assert ref.state_after() == state
    frames_identical(mixed_df, before)


@pytest.mark.parametrize("method", ["laplace", "gaussian", "minimal"])
@pytest.mark.parametrize("where", ["subclass", "instance"])
def test_passes_replaced_by_the_caller_get_tables_they_may_keep(privex, mixed_df, method, where):
    """A replaced pass may keep the table it returns or change the one it gets;
    the pass after it then works on a copy, and the input stays as it was."""
    kept = {}

    def numerical(self, df, cols):
        out = privex.PrivexProcessor._apply_numerical_dp(self, df, cols)
        df["income"] = -1.0  # the table it was given is apply_dp's copy
        kept["numerical"] = (out, out.copy())
        return out

    def minimal(self, df):
        out = privex.PrivexProcessor._apply_minimal_noise(self, df)
        kept["minimal"] = (out, out.copy())
        return out

    if where == "subclass":
        replaced = {"_apply_numerical_dp": numerical, "_apply_minimal_noise": minimal}
        p = type("Replaced", (privex.PrivexProcessor,), replaced)()
    else:
        p = privex.PrivexProcessor()
        p._apply_numerical_dp = numerical.__get__(p)
        p._apply_minimal_noise = minimal.__get__(p)
    before = mixed_df.copy()
    np.random.seed(4)
    out = p.apply_dp(mixed_df, method=method)
    frames_identical(mixed_df, before)
    assert len(kept) == (0 if method == "gaussian" else 1)
    for returned, as_returned in kept.values():
        frames_identical(returned, as_returned)  # not changed by what apply_dp did next
    if method != "gaussian":
        # (the replaced numerical pass wrote -1 into its own input, not into its result)
        np.random.seed(4)
        frames_identical(out, passes_one_by_one(privex.PrivexProcessor(), mixed_df, method, None))


def test_column_lists_from_a_replaced_typing_are_taken_as_given(privex, mixed_df):
    # a label listed twice is perturbed twice, both times from the table the pass was given
    class Twice(privex.PrivexProcessor):
        def _detect_column_types(self, df):
            return ["income", "income"], ["city", "city"]

    p = privex.PrivexProcessor()
    np.random.seed(2)
    expected = p._apply_categorical_dp(p._apply_numerical_dp(mixed_df.copy(), ["income", "income"]), ["city", "city"])
    state = ref.state_after()
    np.random.seed(2)
    out = Twice().apply_dp(mixed_df, method="laplace")
    frames_identical(out, expected)
    assert ref.state_after() == state


# Tables the passes cannot work on: a clear error naming the column, raised
# before anything is drawn, and the input untouched.
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "table, error, message",
    [
        (
            lambda: pd.DataFrame([[1.0, 2.0, "a"], [3.0, 4.0, "b"], [5.0, 7.0, "a"]], columns=["x", "x", "c"]),
            ValueError,
            "Column label 'x' appears more than once in the table; apply_dp needs a distinct label "
            "for every column",
        ),
        (
            lambda: pd.DataFrame({"wait": pd.to_timedelta([1, 2, 3], unit="s"), "y": [1.0, 2.0, 3.0]}),
            TypeError,
            "Column 'wait' has dtype {dtype}: apply_dp cannot add numeric noise to durations "
            "(convert the column to numbers, or name it in preserve_columns)",
        ),
    ],
    ids=["repeated label", "timedelta"],
)
def test_unusable_columns_are_refused_before_any_change(privex, method, table, error, message):
    df = table()
    before = df.copy()
    np.random.seed(3)
    state = np.random.get_state()[1].copy()
    with pytest.raises(error) as info:
        privex.PrivexProcessor().apply_dp(df, method)
    dtype = df.dtypes.iloc[0]
    assert str(info.value) == message.format(dtype=dtype)
    frames_identical(df, before)
    assert (np.random.get_state()[1] == state).all()


@pytest.mark.parametrize("method", METHODS)
def test_preserved_durations_are_left_alone(privex, method):
    df = pd.DataFrame({"wait": pd.to_timedelta(np.arange(30), unit="s"), "y": np.arange(30.0)})
    out = privex.PrivexProcessor(random_state=0).apply_dp(df, method, preserve_columns=["wait"])
    assert out["wait"].equals(df["wait"])


@pytest.mark.parametrize("method", ["laplace", "gaussian"])
@pytest.mark.parametrize("values", [[0.0, 1.0, 0.0, 2.5, np.nan], [0, 1, 0, 2, 7]])
def test_sparse_columns_get_noise_as_their_dense_equal(privex, method, values):
    df = pd.DataFrame({"s": pd.arrays.SparseArray(values), "y": np.arange(5.0)})
    before = df.copy()
    out = privex.PrivexProcessor(random_state=0).apply_dp(df, method)
    dense = pd.DataFrame({"s": values, "y": np.arange(5.0)})
    expected = privex.PrivexProcessor(random_state=0).apply_dp(dense, method)
    expected["s"] = expected["s"].astype("float64")
    frames_identical(out, expected)
    frames_identical(df, before)
