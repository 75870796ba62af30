"""PrivexProcessor construction, get_privacy_info and the split into numerical
and categorical columns."""

import numpy as np
import pandas as pd
import pytest

SETTINGS = ["epsilon", "delta", "noise_scale", "categorical_noise_prob", "numerical_noise_std"]


def test_defaults_store_and_log_without_seeding(privex, info_logs):
    np.random.seed(5)
    expected_next = np.random.random()
    np.random.seed(5)
    p = privex.PrivexProcessor()
    assert [getattr(p, s) for s in SETTINGS] == [1.0, 1e-5, 0.1, 0.05, 0.01]
    assert p.random_state is None
    assert p.original_stats == {} and p.scalers == {}
    assert p.original_stats is not p.scalers
    assert np.random.random() == expected_next  # the global state was not reseeded
    assert info_logs() == [("INFO", "Initialized DP processor with epsilon=1.0, delta=1e-05")]


def test_attributes_are_set_in_order_and_writable(privex):
    p = privex.PrivexProcessor(2, 3, 4, 5, 6, 7)
    assert list(vars(p)) == [*SETTINGS, "random_state", "original_stats", "scalers"]
    assert [getattr(p, s) for s in SETTINGS] == [2.0, 3.0, 4.0, 5.0, 6.0]
    assert all(type(getattr(p, s)) is float for s in SETTINGS)
    p.epsilon = 9.5
    assert p.get_privacy_info()["epsilon"] == 9.5


@pytest.mark.parametrize(
    "value, stored",
    [(2, 2.0), (True, 1.0), (np.float32(0.5), 0.5), (np.int64(3), 3.0), (-1.5, -1.5), (0, 0.0)],
)
def test_float_settings_are_converted_to_plain_floats(privex, value, stored):
    p = privex.PrivexProcessor(**{s: value for s in SETTINGS})
    for s in SETTINGS:
        assert type(getattr(p, s)) is float and getattr(p, s) == stored


def test_epsilon_int_logs_as_float(privex, info_logs):
    privex.PrivexProcessor(epsilon=2, delta=0.5)
    assert info_logs() == [("INFO", "Initialized DP processor with epsilon=2.0, delta=0.5")]


@pytest.mark.parametrize(
    "random_state, stored",
    [(42, 42), (42.7, 42), (np.int64(7), 7), (True, 1), (0, 0)],
)
def test_random_state_is_converted_and_seeds_numpy(privex, random_state, stored):
    np.random.seed(stored)
    expected = np.random.random(3)
    np.random.seed(999)
    p = privex.PrivexProcessor(random_state=random_state)
    assert type(p.random_state) is int and p.random_state == stored
    assert np.array_equal(np.random.random(3), expected)


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("value", ["0.5", None, [1.0]])
def test_float_setting_rejects_non_numbers(privex, setting, value):
    with pytest.raises(TypeError, match="must be real number"):
        privex.PrivexProcessor(**{setting: value})


@pytest.mark.parametrize("value, type_name", [("3", "str"), ([3], "list"), ((3,), "tuple")])
def test_random_state_rejects_non_numbers(privex, value, type_name, info_logs):
    with pytest.raises(TypeError) as err:
        privex.PrivexProcessor(random_state=value)
    assert str(err.value) == (
        f"Argument 'random_state' has incorrect type (expected int, got {type_name})"
    )
    assert info_logs() == []


@pytest.mark.parametrize("seed", [-1, 2**32])
def test_seed_numpy_refuses_raises_before_logging(privex, seed, info_logs):
    with pytest.raises(ValueError):
        privex.PrivexProcessor(random_state=seed)
    assert info_logs() == []


def test_too_many_positional_arguments(privex):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 7 positional arguments \(8 given\)$"):
        privex.PrivexProcessor(1, 2, 3, 4, 5, 6, 7)
    with pytest.raises(TypeError, match="unexpected keyword argument 'seed'"):
        privex.PrivexProcessor(seed=1)


def test_get_privacy_info(privex):
    p = privex.PrivexProcessor(epsilon=3, random_state=1)
    info = p.get_privacy_info()
    assert list(info) == [*SETTINGS, "original_stats"]
    assert info == {
        "epsilon": 3.0,
        "delta": 1e-5,
        "noise_scale": 0.1,
        "categorical_noise_prob": 0.05,
        "numerical_noise_std": 0.01,
        "original_stats": {},
    }
    assert info["original_stats"] is p.original_stats
    assert p.get_privacy_info() is not info
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        p.get_privacy_info(1)


# ---------------------------------------------------------------------------
# Column typing


def detect(privex, df):
    return privex.PrivexProcessor()._detect_column_types(df)


@pytest.mark.parametrize("distinct, numerical", [(10, False), (11, True)])
def test_cardinality_threshold_caps_at_ten(privex, distinct, numerical):
    df = pd.DataFrame({"x": np.arange(1000) % distinct * 1.5})
    num, cat = detect(privex, df)
    assert (num, cat) == ((["x"], []) if numerical else ([], ["x"]))


def test_low_cardinality_columns_move_to_the_end_in_table_order(privex):
    n = 30  # threshold 3.0
    df = pd.DataFrame(
        {
            "a": np.arange(n, dtype=float),
            "two": np.arange(n) % 2,
            "three": (np.arange(n) % 3).astype(float),
            "four": np.arange(n) % 4,
            "text": ["u", "v", "w"] * 10,
        }
    )
    result = detect(privex, df)
    assert type(result) is tuple and all(type(part) is list for part in result)
    assert result == (["a", "four"], ["text", "two", "three"])


def test_threshold_scales_with_rows(privex):
    # 40 rows: threshold 4.0, so 4 distinct values are categorical and 5 are numerical
    df = pd.DataFrame({"four": np.arange(40) % 4, "five": np.arange(40) % 5})
    assert detect(privex, df) == (["five"], ["four"])


def test_dtype_kinds(privex):
    n = 200
    df = pd.DataFrame(
        {
            "f": np.linspace(0, 1, n),
            "nan": np.full(n, np.nan),
            "b": np.arange(n) % 2 == 0,
            "o": [f"v{i}" for i in range(n)],
            "s": pd.array([f"s{i}" for i in range(n)], dtype="string"),
            "c": pd.Categorical(["p", "q"] * (n // 2)),
            "t": pd.date_range("2020-01-01", periods=n),
            "i64": pd.array(range(n), dtype="Int64"),
        }
    )
    num, cat = detect(privex, df)
    # the all-missing numeric column has nunique() == 0 and moves; datetimes are in neither list
    assert num == ["f", "i64"]
    assert cat == ["b", "o", "s", "c", "nan"]


def test_label_types_are_kept(privex):
    df = pd.DataFrame({0: np.linspace(0, 1, 50), 1.5: np.zeros(50), ("t", 1): ["x"] * 50})
    assert detect(privex, df) == ([0], [("t", 1), 1.5])


def test_detect_needs_exactly_one_argument_and_propagates_pandas_errors(privex):
    p = privex.PrivexProcessor()
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        p._detect_column_types()
    with pytest.raises(AttributeError):
        p._detect_column_types([1, 2, 3])


def typing_step_by_step(df):
    numerical = df.select_dtypes(include=[np.number]).columns.tolist()
    categorical = df.select_dtypes(include=["object", "string", "category", "bool"]).columns.tolist()
    limit = min(len(df) * 0.1, 10.0)
    for col in list(numerical):
        if df[col].nunique() <= limit:
            numerical.remove(col)
            categorical.append(col)
    return numerical, categorical


def edge_table(n, seed):
    """Numeric columns of every width with 1 to 12 distinct values: signed zeros,
    infinities, NaN, float32 and the extremes of uint64."""
    rng = np.random.default_rng(seed)
    floats = np.array([0.0, -0.0, 1.0, 2.5, -3.0, np.inf, -np.inf, 7.0, 1e300, -1e-300, 4.0, 5.0, 6.0, 8.0])
    ints = np.array([0, 1, -1, 5, 127, -128, 3, 9, 11, 13, 17, 19])
    uints = np.array([0, 1, 2**63, 2**64 - 1, 5, 6, 7, 8, 9, 10, 11, 12], dtype="uint64")
    cols = {}
    for j, k in enumerate([1, 3, 4, 5, 9, 10, 11, 12]):
        f = rng.choice(rng.choice(floats, k, replace=False), n)
        if j % 2:
            f[rng.random(n) < 0.2] = np.nan
        cols[f"f{j}"] = f
        with np.errstate(over="ignore"):
            cols[f"f32_{j}"] = f.astype("float32")  # 1e300 becomes inf
        width = ["int8", "int16", "int32", "int64"][j % 4]
        cols[f"i{j}"] = rng.choice(rng.choice(ints, k, replace=False), n).astype(width)
        cols[f"u{j}"] = rng.choice(uints[:k], n).astype("uint8" if uints[:k].max() < 256 else "uint64")
    cols["nan"] = np.full(n, np.nan)
    return pd.DataFrame(cols)


@pytest.mark.parametrize("n", [40, 41, 97, 1000])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_typing_decides_as_nunique_does(privex, n, seed):
    # 40 rows: limit 4.0; 41: 4.1; 97: 9.7; 1000: 10.0
    df = edge_table(n, seed)
    assert detect(privex, df) == typing_step_by_step(df)
    # columns of a 2-d array the table uses as it is: each one's values are strided
    rows = np.random.default_rng(seed).integers(0, [3, 12, 5], (n, 3)).astype(float)
    strided = pd.DataFrame(rows, columns=["s0", "s1", "s2"], copy=False)
    assert strided["s1"].to_numpy().strides != (8,)
    assert detect(privex, strided) == typing_step_by_step(strided)
