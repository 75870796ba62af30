"""The Laplace pass over numerical columns, and the corrections for integer
columns (widened to float64, exact ranges) and repeated index labels."""

import numpy as np
import pandas as pd
import pytest

import privex_reference as ref
from privex_reference import frames_identical


@pytest.fixture
def floats():
    rng = np.random.default_rng(1)
    n = 60
    return pd.DataFrame(
        {
            "x": rng.normal(10, 3, n),
            "gaps": np.where(np.arange(n) % 5 == 0, np.nan, rng.normal(0, 1, n)),
            "whole": rng.integers(0, 50, n).astype(float),
            "const": np.full(n, 4.0),
            "empty": np.full(n, np.nan),
            "text": ["a", "b"] * (n // 2),
        },
        index=pd.RangeIndex(100, 100 + n),
    )


COLS = ["x", "gaps", "whole", "const", "empty", "missing"]


@pytest.mark.parametrize("epsilon, noise_scale", [(1.0, 0.1), (0.05, 0.5), (20.0, 0.01)])
def test_matches_the_step_by_step_pass_draw_for_draw(privex, floats, epsilon, noise_scale):
    p = privex.PrivexProcessor(epsilon=epsilon, noise_scale=noise_scale)
    before = floats.copy()
    expected, state = ref.seeded(8, ref.numerical_pass, floats, COLS, epsilon, noise_scale)
    out, out_state = ref.seeded(8, p._apply_numerical_dp, floats, list(COLS))
    frames_identical(out, expected)
    assert out_state == state
    frames_identical(floats, before)
    assert out is not floats


def test_column_properties(privex, floats):
    out = privex.PrivexProcessor(epsilon=0.5, random_state=3)._apply_numerical_dp(floats, COLS)
    # whole numbers (as floats) are rounded back to whole numbers
    assert (out["whole"] % 1 == 0).all() and not out["whole"].equals(floats["whole"])
    # a constant column uses range 1.0: results in [c - 0.1, c + 0.1], rounded back to c
    assert (out["const"] == 4.0).all()
    # missing cells stay missing in the same rows; an all-missing column is untouched
    assert out["gaps"].isna().equals(floats["gaps"].isna())
    assert out["empty"].isna().all()
    # clipping band: observed range widened by 10 % on both sides
    lo, hi = floats["x"].min(), floats["x"].max()
    span = hi - lo
    assert out["x"].between(lo - 0.1 * span, hi + 0.1 * span).all()
    frames_identical(out[["text"]], floats[["text"]])


def test_constant_fractional_column_stays_within_a_tenth(privex):
    df = pd.DataFrame({"c": np.full(500, 2.5)})
    out = privex.PrivexProcessor(epsilon=1e-6, random_state=0)._apply_numerical_dp(df, ["c"])
    assert out["c"].between(2.4, 2.6).all()
    assert set(np.round(out["c"], 12)) == {2.4, 2.6}  # tiny epsilon: everything sits on the bounds


def test_tiny_epsilon_piles_results_on_the_clipping_bounds(privex):
    df = pd.DataFrame({"v": np.linspace(0.5, 10.5, 400)})
    out = privex.PrivexProcessor(epsilon=1e-6, random_state=9)._apply_numerical_dp(df, ["v"])
    bounds = {round(0.5 - 1.0, 9), round(10.5 + 1.0, 9)}
    assert set(np.round(out["v"], 9)) == bounds


class NoMod(float):
    def __mod__(self, other):
        raise TypeError("no remainder for this value")


def test_failing_whole_number_check_counts_as_not_whole(privex):
    # np.mod fails on these whole values, so the column is not rounded
    df = pd.DataFrame({"o": pd.Series([NoMod(v) for v in (1.0, 2.0, 3.0, 4.0)], dtype=object)})
    expected, _ = ref.seeded(2, ref.numerical_pass, df, ["o"])
    out, _ = ref.seeded(2, privex.PrivexProcessor()._apply_numerical_dp, df, ["o"])
    frames_identical(out, expected)
    assert (out["o"].astype(float) % 1 != 0).all()


@pytest.mark.parametrize("cols", [None, ("x",), "x"])
def test_numerical_cols_must_be_a_list(privex, floats, cols):
    with pytest.raises(TypeError, match=r"^Argument 'numerical_cols' has incorrect type \(expected list, got "):
        privex.PrivexProcessor()._apply_numerical_dp(floats, cols)


def test_list_subclass_is_refused_with_a_note(privex, floats):
    class Cols(list):
        pass

    with pytest.raises(TypeError) as err:
        privex.PrivexProcessor()._apply_numerical_dp(floats, Cols(["x"]))
    assert "got Cols" in str(err.value)
    assert err.value.__notes__


def test_zero_epsilon_raises_at_the_first_noisy_column(privex, floats):
    p = privex.PrivexProcessor(epsilon=0.0)
    assert p._apply_numerical_dp(floats, ["empty", "missing"]) is not floats  # nothing reaches the draw
    with pytest.raises(ZeroDivisionError, match="float division by zero"):
        p._apply_numerical_dp(floats, ["empty", "x"])


# ---------------------------------------------------------------------------
# Integer columns: widened to float64 before noisy values are written (as pandas
# 2 did implicitly), ranges computed exactly, and the result equals the pass over
# the same values held as float64.

# numpy floats narrower than float64 are widened for the same reason
WIDENED_DTYPES = ["int64", "int32", "int8", "uint16", "Int64", "UInt8", "float32", "float16"]


@pytest.mark.parametrize("dtype", WIDENED_DTYPES)
def test_narrow_and_nullable_columns_equal_the_float64_result(privex, dtype):
    values = [3, 7, 1, 9, 4, 4, 12, 0, 5, 8, 2, 6]
    df = pd.DataFrame({"n": pd.array(values, dtype=dtype), "x": np.linspace(0, 1, 12)})
    as_float = df.astype({"n": "float64"})
    p = privex.PrivexProcessor(epsilon=0.7)
    expected, state = ref.seeded(21, ref.numerical_pass, as_float, ["n", "x"], 0.7, 0.1)
    out, out_state = ref.seeded(21, p._apply_numerical_dp, df, ["n", "x"])
    frames_identical(out, expected)
    assert out_state == state
    assert df["n"].dtype == dtype  # the input keeps its dtype


def test_nullable_integer_column_keeps_missing_cells_missing(privex):
    df = pd.DataFrame({"n": pd.array([1, None, 30, 4, None, 16], dtype="Int64")})
    as_float = pd.DataFrame({"n": [1.0, np.nan, 30.0, 4.0, np.nan, 16.0]})
    expected, _ = ref.seeded(4, ref.numerical_pass, as_float, ["n"])
    out, _ = ref.seeded(4, privex.PrivexProcessor()._apply_numerical_dp, df, ["n"])
    frames_identical(out, expected)
    assert out["n"].isna().tolist() == [False, True, False, False, True, False]


@pytest.mark.parametrize(
    "dtype, low, high",
    [("int8", -100, 100), ("int16", -30000, 30000), ("int64", -(2**62), 2**62), ("uint8", 0, 255)],
)
def test_range_wider_than_the_dtype_does_not_wrap(privex, dtype, low, high):
    values = np.array([low, high, 0, low // 2, high // 3, 1], dtype=dtype)
    df = pd.DataFrame({"n": values})
    out, _ = ref.seeded(6, privex.PrivexProcessor(epsilon=2.0)._apply_numerical_dp, df, ["n"])
    as_float = pd.DataFrame({"n": values.astype("float64")})
    expected, _ = ref.seeded(6, ref.numerical_pass, as_float, ["n"], 2.0, 0.1)
    frames_identical(out, expected)
    span = float(high) - float(low)
    # within the clipping band (a clipped bound may round half a unit outwards)
    assert out["n"].between(low - 0.1 * span - 0.5, high + 0.1 * span + 0.5).all()


def test_repeated_index_labels_are_written_by_position(privex):
    rng = np.random.default_rng(4)
    base = pd.DataFrame(
        {
            "x": np.where(np.arange(30) % 4 == 1, np.nan, rng.normal(0, 5, 30)),
            "n": rng.integers(0, 1000, 30),
        }
    )
    repeated = base.set_axis([7, 7, 8] * 10)
    p = privex.PrivexProcessor(epsilon=1.5)
    expected, state = ref.seeded(13, ref.numerical_pass, base.astype({"n": "float64"}), ["x", "n"], 1.5, 0.1)
    out, out_state = ref.seeded(13, p._apply_numerical_dp, repeated, ["x", "n"])
    frames_identical(out, expected.set_axis(repeated.index))
    assert out_state == state


# ---------------------------------------------------------------------------
# The whole-number check, read off the values where numpy holds them


@pytest.mark.parametrize(
    "values",
    [
        pytest.param([1.0, -0.0, 3.0, np.nan, 2e300, -7.0], id="whole, signed zero, huge"),
        pytest.param([1.0, 2.0, 2.5, 4.0], id="one half"),
        pytest.param([1.0, 2.0, 3.0, 1e-300], id="tiny fraction"),
        pytest.param([4.0, 5.0, 4.0 + 2**-40], id="fraction far below one"),
        pytest.param([1.0, np.inf, 3.0], id="infinity"),
        pytest.param([-np.inf, 2.0, np.nan], id="minus infinity"),
    ],
)
def test_whole_number_check_matches_the_plain_pass(privex, values):
    df = pd.DataFrame({"v": values * 5})
    expected = ref.seeded_outcome(3, ref.numerical_pass, df, ["v"], 0.5, 0.1)
    got = ref.seeded_outcome(3, privex.PrivexProcessor(epsilon=0.5)._apply_numerical_dp, df, ["v"])
    ref.assert_same_outcome(got, expected)


@pytest.mark.parametrize("values, whole", [([1.0, -0.0, 3.0, np.nan, 2e30], True), ([1.0, 2.0, 2.5], False)])
def test_whole_number_check_reads_float32_values(privex, values, whole):
    df = pd.DataFrame({"v": np.array(values * 5, dtype="float32")})
    out = privex.PrivexProcessor(epsilon=0.5, random_state=1)._apply_numerical_dp(df, ["v"])
    noisy = out["v"].dropna()
    assert ((noisy % 1 == 0).all()) == whole
    assert ((df["v"].dropna() % 1 == 0).all()) == whole
