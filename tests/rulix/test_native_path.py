"""Rules are evaluated natively on the column buffers.

The native path must give exactly what DataFrame.eval gives. A DataFrame
subclass always takes pandas' path (its eval may be overridden), which makes
differential testing easy: the same table and rules, once as a plain DataFrame
and once as a subclass, must produce identical reports and warnings.
"""


import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvix.tabular.rulix import Rulix
from support.rules import ThroughPandas, assert_same, make_index, run


COLUMNS = {
    "f": ("float64", st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64), st.integers(-5, 5).map(float))),
    "g": ("float64", st.sampled_from([0.0, -0.0, 1.5, np.nan, 2.0**53, -1e300, 0.1])),
    "i8": ("int8", st.integers(-128, 127)),
    "i32": ("int32", st.integers(-(2**31), 2**31 - 1)),
    "i64": ("int64", st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-3, 3), st.just(2**53 + 1))),
    "u8": ("uint8", st.integers(0, 255)),
    "u32": ("uint32", st.integers(0, 2**32 - 1)),
    "b": ("bool", st.booleans()),
    "my col": ("float64", st.integers(-2, 2).map(float)),
}

NUMBERS = st.sampled_from(
    ["0", "1", "-1", "3", "- 2", "+4", "127", "128", "-129", "255", "256", "-1", "1_000", "2.5", "-0.0", "0.1",
     "1e3", "1E-2", "9007199254740993", "9223372036854775807", "9223372036854775808", "1e400", "0x10", "007",
     "0.5e1", "4294967295", "4294967296", "1j"]
)
NAMES = st.sampled_from(["f", "g", "i8", "i32", "i64", "u8", "u32", "b", "`my col`"])
OPS = st.sampled_from([">", ">=", "<", "<=", "==", "!="])


@st.composite
def comparison(draw):
    left = draw(st.one_of(NAMES, NUMBERS))
    right = draw(NAMES) if not left[0].isalpha() and left[0] != "`" else draw(st.one_of(NAMES, NUMBERS))
    return f"{left} {draw(OPS)} {right}"


expressions = st.recursive(
    comparison(),
    lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from([" and ", " or ", " & ", " | "]), inner).map("".join),
        inner.map(lambda e: f"not {e}"),
        inner.map(lambda e: f"({e})"),
    ),
    max_leaves=4,
)

rules = st.one_of(
    expressions,
    st.tuples(expressions, expressions).map(lambda t: f"if {t[0]} then {t[1]}"),
    # shapes the native path leaves to pandas
    st.sampled_from(["f", "f + 1 > i8", "abs(i8) > 3", "0 < f < 1", "~(f > 0)", "i8 > True", "1 > 0", "f > i8 > 0"]),
)

INDEXES = st.sampled_from(["range", "shifted-range", "int-increasing", "int-shuffled", "int-duplicates", "str", "mixed", "float", "int32"])


@st.composite
def tables(draw):
    n = draw(st.integers(0, 12))
    data = {}
    for name, (dtype, values) in COLUMNS.items():
        data[name] = pd.Series(draw(st.lists(values, min_size=n, max_size=n)), dtype=dtype)
    df = pd.DataFrame(data)
    df.index = make_index(draw(INDEXES), n, np.random.default_rng(draw(st.integers(0, 1000))))
    return df


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.lists(rules, min_size=1, max_size=4))
def test_native_results_equal_pandas_results(df, rule_list):
    assert_same(df, rule_list)


@pytest.mark.parametrize(
    "rule",
    [
        "f > 0", "0 < f", "f != 1", "f == f", "g >= -0.0", "i64 > 9007199254740992.0", "i64 == 9007199254740993",
        "i8 < 128", "i8 > -129", "u8 >= -1", "u32 < 4294967296", "b == 1", "b > 0.5", "b != b",
        "i8 < u32", "i32 >= i64", "f > i64", "b <= i8", "not (f > 0) and i8 != 0", "f > 0 | i8 > 0 & b == 1",
        "if i8 > 0 then f > 0", "if not b then `my col` >= 0", "`my col` > -1e400",
    ],
)
def test_edge_comparisons_match_pandas(rule):
    df = pd.DataFrame(
        {
            "f": [np.nan, 0.0, -1.5, np.inf, 2.0**53, 1.0],
            "g": [-0.0, 0.0, np.nan, 1.0, -1.0, 0.1],
            "i8": np.array([-128, 0, 127, 5, -1, 1], dtype="int8"),
            "i32": np.array([2**31 - 1, -(2**31), 0, 3, 4, 5], dtype="int32"),
            "i64": np.array([2**53 + 1, -(2**63), 2**63 - 1, 0, 9007199254740993, 1], dtype="int64"),
            "u8": np.array([0, 255, 1, 2, 3, 4], dtype="uint8"),
            "u32": np.array([0, 2**32 - 1, 7, 8, 9, 10], dtype="uint32"),
            "b": [True, False, True, False, True, False],
            "my col": [1.0, -1.0, np.nan, 0.0, 2.0, 3.0],
        }
    )
    assert_same(df, [rule])


@pytest.mark.parametrize("dtype", ["Int64", "float32", "uint64", "string", "category", "datetime64[ns]", "object"])
def test_other_dtypes_match_pandas(dtype):
    values = {"Int64": [1, None, -2], "float32": [0.1, -1.0, 2.5], "uint64": [0, 2**63, 5],
              "string": ["a", "b", None], "category": ["a", "b", "a"], "datetime64[ns]": ["2020-01-01"] * 3,
              "object": [1, "a", None]}[dtype]
    df = pd.DataFrame({"x": pd.Series(values, dtype=dtype), "y": [1.0, 2.0, 3.0]})
    rule = "x == 'a'" if dtype in ("string", "category", "object") else ("x > '2019-06-01'" if dtype.startswith("datetime") else "x > 0.1")
    assert_same(df, [rule, "y > 1"])


def test_duplicated_column_labels_go_through_pandas():
    df = pd.DataFrame([[1.0, -1.0], [2.0, 3.0]], columns=["a", "a"])
    assert_same(df, ["a > 0"])


def test_non_contiguous_and_mixed_block_columns():
    base = pd.DataFrame(np.arange(24, dtype="float64").reshape(6, 4) - 10, columns=list("abcd"))
    view = base.iloc[::2]
    assert_same(view, ["a > -5", "b < c", "if d > 0 then a > 0"])
    mixed = base.assign(e=np.arange(6, dtype="int16"), f=[True, False] * 3)
    assert_same(mixed, ["e >= 3 or f", "e > a", "f == e"])


def test_large_table_labels_and_rate():
    rng = np.random.default_rng(5)
    n = 50_000
    df = pd.DataFrame({"a": rng.normal(size=n), "b": rng.integers(-5, 5, n)})
    df.loc[::7, "a"] = np.nan
    report = assert_same(df, ["a > -1", "b != 0 or a > 0", "if b > 2 then a < 1"])
    assert report.total_violations > 0
    shuffled = df.sample(frac=1.0, random_state=1)
    assert_same(shuffled, ["a > -1", "b != 0 or a > 0"])


# ---------------------------------------------------------------------------
# The whole rule language: arithmetic, math functions, membership, text,
# nullable, float32 / uint64 and datetime columns.

TEXT = ["a", "b", "", "é", "日本", "a b", "B", "ß", "\U0001f600", "aa", "e\u0301"]
STR_NAN = pd.StringDtype("pyarrow", na_value=np.nan)  # pandas 3's default text dtype


def _floats(width):
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True, width=width),
        st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 0.1]),
    )


WIDE = {
    "f": ("float64", _floats(64)),
    "f32": ("float32", _floats(32)),
    "i8": ("int8", st.one_of(st.sampled_from([-128, 127, 0, -1, 2]), st.integers(-128, 127))),
    "i64": ("int64", st.one_of(st.sampled_from([-(2**63), 2**63 - 1, 0, 3, -7, 2**53 + 1]), st.integers(-9, 9))),
    "u8": ("uint8", st.integers(0, 255)),
    "u64": ("uint64", st.one_of(st.sampled_from([0, 2**64 - 1, 2**63, 1, 5]), st.integers(0, 9))),
    "b": ("bool", st.booleans()),
    "I": ("Int64", st.one_of(st.none(), st.integers(-3, 3), st.sampled_from([-(2**63), 2**63 - 1]))),
    "U8": ("UInt8", st.one_of(st.none(), st.integers(0, 255))),
    "F": ("Float64", st.one_of(st.none(), st.sampled_from([0.0, -0.0, 1.5, -2.0, np.inf]))),
    "B": ("boolean", st.one_of(st.none(), st.booleans())),
    "so": ("object", st.one_of(st.sampled_from(TEXT), st.sampled_from([None, np.nan]))),
    "sa": (STR_NAN, st.one_of(st.sampled_from(TEXT), st.none())),
    "sn": ("string[python]", st.one_of(st.sampled_from(TEXT), st.none())),
    "sp": ("string[pyarrow]", st.one_of(st.sampled_from(TEXT), st.none())),
    "c": ("category", st.one_of(st.sampled_from(TEXT[:5]), st.none())),
    "d1": ("datetime64[ns]", st.one_of(st.none(), st.sampled_from(["2020-01-01", "2020-01-02", "1970-01-01"]))),
    "d2": ("datetime64[ns]", st.one_of(st.none(), st.sampled_from(["2020-01-01", "2021-06-30"]))),
    "t1": ("timedelta64[ns]", st.one_of(st.none(), st.sampled_from(["1 day", "0s", "-2h"]))),
    "t2": ("timedelta64[ns]", st.one_of(st.none(), st.sampled_from(["1 day", "3h"]))),
}

NUM_COLS = ["f", "f32", "i8", "i64", "u8", "u64", "b", "I", "U8", "F", "B"]
TEXT_COLS = ["so", "sa", "sn", "sp", "c"]
WIDE_NUMBERS = st.sampled_from(
    ["0", "1", "-1", "2", "3", "0.5", "-0.0", "0.1", "1e300", "255", "256", "-129", "127", "2.5e-3",
     "9223372036854775807", "9223372036854775808", "18446744073709551615", "1_000", "0x10", "True"]
)
TEXT_LITERALS = st.sampled_from([repr(t) for t in TEXT] + ["'x\\\\y'", '"a"', "''"])
CMP = st.sampled_from([" > ", " >= ", " < ", " <= ", " == ", " != "])


num_exprs = st.recursive(
    st.one_of(st.sampled_from(NUM_COLS), WIDE_NUMBERS),
    lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from([" + ", " - ", " * ", " / ", " // ", " % ", " ** "]), inner).map(
            lambda t: f"({''.join(t)})"
        ),
        inner.map(lambda e: f"-{e}"),
        st.tuples(st.sampled_from(["abs", "sqrt", "log", "exp", "floor", "ceil", "sin", "arctan", "tan"]), inner).map(
            lambda t: f"{t[0]}({t[1]})"
        ),
        st.tuples(inner, inner).map(lambda t: f"arctan2({t[0]}, {t[1]})"),
    ),
    max_leaves=3,
)


def _list(items):
    return st.lists(items, max_size=3).map(lambda xs: "[" + ", ".join(xs) + "]")


MEMBERSHIP = st.sampled_from([" in ", " not in ", " == ", " != "])

atoms = st.one_of(
    st.tuples(num_exprs, CMP, num_exprs).map("".join),
    st.tuples(st.sampled_from(TEXT_COLS), CMP, TEXT_LITERALS).map("".join),
    st.tuples(TEXT_LITERALS, CMP, st.sampled_from(TEXT_COLS)).map("".join),
    st.tuples(st.sampled_from(TEXT_COLS), CMP, st.sampled_from(TEXT_COLS)).map("".join),
    st.tuples(st.sampled_from(TEXT_COLS), MEMBERSHIP, _list(st.one_of(TEXT_LITERALS, WIDE_NUMBERS))).map("".join),
    st.tuples(st.sampled_from(NUM_COLS), MEMBERSHIP, _list(WIDE_NUMBERS)).map("".join),
    st.tuples(st.sampled_from(["d1", "d2", "t1", "t2"]), CMP, st.sampled_from(["d1", "d2", "t1", "t2"])).map("".join),
    st.sampled_from(["b", "B", "f", "I", "i8 - 1", "F", "so", "c"]),
)

wide_expressions = st.recursive(
    atoms,
    lambda inner: st.one_of(
        st.tuples(inner, st.sampled_from([" and ", " or ", " & ", " | "]), inner).map("".join),
        inner.map(lambda e: f"not ({e})"),
        inner.map(lambda e: f"~({e})"),
    ),
    max_leaves=3,
)

wide_rules = st.one_of(
    wide_expressions,
    st.tuples(wide_expressions, wide_expressions).map(lambda t: f"if {t[0]} then {t[1]}"),
)


@st.composite
def wide_tables(draw):
    n = draw(st.integers(0, 8))
    data = {}
    for name, (dtype, values) in WIDE.items():
        data[name] = pd.Series(draw(st.lists(values, min_size=n, max_size=n)), dtype=dtype)
    df = pd.DataFrame(data)
    df.index = make_index(draw(INDEXES), n, np.random.default_rng(draw(st.integers(0, 1000))))
    return df


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(wide_tables(), st.lists(wide_rules, min_size=1, max_size=4))
def test_whole_language_equals_pandas(df, rule_list):
    assert_same(df, rule_list)


def test_block_boundaries_and_strided_columns_in_arithmetic():
    rng = np.random.default_rng(3)
    n = 1500  # several evaluation blocks
    base = pd.DataFrame(
        {
            "a": rng.normal(size=n) * 1e3,
            "b": rng.integers(-(2**62), 2**62, n),
            "c": rng.integers(-50, 50, n),
            "d": rng.normal(size=n),
        }
    )
    base.loc[::11, "a"] = np.nan
    base.loc[5, "b"] = np.iinfo(np.int64).min
    base.loc[6, "b"] = np.iinfo(np.int64).max
    rules = [
        "a + d * 3 - c > 0", "b + b > c", "b * 3 < 0", "-b > 0", "abs(b) >= 0", "c % 7 != 3", "c // -3 > -5",
        "b % 1000003 < 500000", "b // 2**40 > 3", "a / c > 1", "c / 0 > 1", "abs(a - d) < 500", "b - c >= -c + b",
        "if c % 3 == 0 then a * 2 > d", "(c + 1) * (c - 1) == c * c - 1",
    ]
    assert_same(base, rules)
    assert_same(base.iloc[::3], rules)  # non-contiguous columns


# Rules that must not reach DataFrame.eval on a plain DataFrame.
NATIVE_RULES = [
    "f + i > 0", "f * 2 - i > -7", "abs(f) < 3", "i % 3 != 1", "i // 2 > 0", "f / i > 0", "i ** 2 > 3",
    "log(f) > 0", "-i > 0", "0 < f < 2", "s == 'a'", "s != 'a'", "'a' == s", "s in ['a', 'é']",
    "s not in ['b']", "s < 'b'", "s >= t", "S == 'a'", "if S < 'b' then f > 0", "P == 'a'", "if P > 'a' then f > 0",
    "c == 'a'", "c not in ['a']", "if I > 0 then f > 0", "B or f < 5", "i in [1, 7]", "f in [1, 4.0]",
    "f32 > 0.1", "f32 * 2 > 0.2", "u64 > 5", "u64 >= i", "d1 < d2", "d1 != d2", "t1 > t2",
    "if s == 'a' then i > 0", "not (f > 0) | s == 'b'", "ｆ > 0", "(f >\n 0)", "f\t>\x0c0",
]


def _native_table():
    return pd.DataFrame(
        {
            "f": [1.0, -2.0, np.nan, 4.0],
            "i": np.array([1, -2, 0, 7]),
            "s": ["a", "b", None, "é"],
            "t": ["a", "c", "b", None],
            "S": pd.Series(["a", None, "c", "a"], dtype="string[python]"),
            "P": pd.Series(["a", None, "c", "a"], dtype="string[pyarrow]"),
            "I": pd.array([1, None, 3, 0], dtype="Int64"),
            "B": pd.array([True, None, False, True], dtype="boolean"),
            "c": pd.Series(["a", "b", "a", None], dtype="category"),
            "f32": np.array([0.1, 1.5, -2, 3], dtype="float32"),
            "u64": np.array([0, 2**64 - 1, 5, 6], dtype="uint64"),
            "d1": pd.to_datetime(["2020-01-01", None, "2021-01-01", "2019-01-01"]),
            "d2": pd.to_datetime(["2020-01-02", "2020-01-01", None, "2018-01-01"]),
            "t1": pd.to_timedelta(["1 day", None, "2h", "0s"]),
            "t2": pd.to_timedelta(["2 day", "1h", None, "0s"]),
        }
    )


@pytest.mark.parametrize("rule", NATIVE_RULES)
def test_rule_is_evaluated_natively(rule, monkeypatch):
    df = _native_table()
    expected = run(ThroughPandas(df), [rule])
    calls = []
    original = pd.DataFrame.eval

    def spy(self, *args, **kwargs):
        calls.append(args[0])
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "eval", spy)
    report, warned = run(df, [rule])
    assert calls == [], f"{rule!r} went through DataFrame.eval"
    assert report.violations == expected[0].violations
    assert report.violating_rows.tolist() == expected[0].violating_rows.tolist()
    assert warned == expected[1]


@pytest.mark.parametrize(
    "rule",
    ["I > 0", "S < 'b'", "i % 0 == 1", "i // (i - i) > 0", "P > 'a' and I > 0", "f > 'a'", "s == 'a\\tb'"],
)
def test_cases_pandas_decides_are_handed_to_it(rule):
    # NA where a boolean is needed, integer division by zero, errors: the
    # native path gives these to DataFrame.eval, so the outcome is pandas' own.
    assert_same(_native_table(), [rule])


@pytest.mark.parametrize("column", [np.array([2**63 - 1, 5, -(2**63)]), pd.array([2**63 - 1, None, 5], dtype="Int64")])
def test_integer_lists_beyond_int64_are_left_to_pandas(column):
    # pandas 2.x compares int64 values with such a list in float64 (2**63 - 1
    # matches 2**63), pandas 3.x exactly.
    df = pd.DataFrame({"x": column})
    assert_same(df, ["x in [9223372036854775808]", "x not in [9223372036854775808, 5]", "x in [-9223372036854775809, 5]"])


@pytest.mark.parametrize("rows", [0, 3])
def test_float_literal_overflowing_a_float32_result_warns_as_pandas_does(rows):
    # numpy casts a Python float to float32 to compare it with a float32 array
    # and warns when it overflows; the native path leaves that case to pandas.
    df = pd.DataFrame({"f32": np.arange(rows, dtype=np.float32)})
    assert_same(df, ["1e300 > arctan2(f32, 0)", "-1e300 < arctan2(f32, 1)"])


# ---------------------------------------------------------------------------
# Both paths read a rule the same way


@pytest.mark.parametrize("rule", ["(y > 0\n)", "y\t>\x0c0", "if x > 0\tthen (y\x0c> 0)", "y >\r\n0 and x > -5"])
def test_whitespace_is_read_alike_on_both_paths(rule):
    df = pd.DataFrame({"x": [1.0, -1.0, 2.0], "y": [-1.0, 2.0, 3.0]})
    report = assert_same(df, [rule])
    assert list(report.violations) == [rule]  # the key is the rule as written
    assert report.violations[rule] == 1


def test_names_resolve_in_nfkc_form_on_both_paths():
    df = pd.DataFrame({"x": [1.0, -1.0], "ｙ": [5.0, -5.0]})
    report = assert_same(df, ["ｘ > 0", "`ｘ` > 0"])
    assert report.violations == {"ｘ > 0": 1, "`ｘ` > 0": 1}
    # A column whose label is not in normal form cannot be named: Python's
    # parser would read the name as "y".
    report, warned = run(df, ["ｙ > 0"])
    assert report.violations == {"ｙ > 0": 0}
    assert "unknown name 'ｙ'" in warned[0]
    assert run(ThroughPandas(df), ["ｙ > 0"])[1] == warned


@pytest.mark.parametrize("columns", [["5", 5], [5, "5"], ["5", 5.0][:1] + [np.int64(5)]])
def test_backticked_label_matching_two_columns_is_refused(columns):
    # pandas 2.x reads `5` as the column "5", pandas 3 as whichever comes last.
    df = pd.DataFrame([[1.0, -1.0], [-1.0, 1.0], [2.0, 3.0]], columns=columns)
    report, warned = run(df, ["`5` > 0"])
    assert report.violations == {"`5` > 0": 0}
    assert warned == ["Rule '`5` > 0' was refused and counts 0 violations: `5` is ambiguous: another column's label reads the same as text."]
    assert run(ThroughPandas(df), ["`5` > 0"])[1] == warned
    single = pd.DataFrame({"5": [1.0, -1.0], "x": [1.0, 1.0]})
    assert assert_same(single, ["`5` > 0"]).violating_rows.tolist() == [1]


def test_backticked_label_clashing_with_pandas_names_is_refused():
    clash = pd.DataFrame({"a b": [1.0, -1.0], "BACKTICK_QUOTED_STRING_a_b": [-1.0, 1.0]})
    report, warned = run(clash, ["`a b` > 0"])
    assert report.violations == {"`a b` > 0": 0}
    assert "`a b` is ambiguous" in warned[0]
    assert run(ThroughPandas(clash), ["`a b` > 0"])[1] == warned


@pytest.mark.parametrize(
    "value, name", [({"a": [1]}, "dict"), (pd.Series([1.0]), "Series"), (None, "NoneType"), ([[1]], "list")]
)
def test_validate_refuses_what_is_not_a_dataframe(value, name):
    with pytest.raises(TypeError) as info:
        Rulix().add_rule("a > 0").validate(value)
    assert str(info.value) == f"validate() expects a pandas DataFrame, got {name}"


@pytest.mark.parametrize("rule", ["x > 2 ** 10 ** 10", "x > (9 ** 99999) ** 99999", "x < 7 ** (10 ** 7)"])
def test_huge_powers_of_numbers_are_refused_on_both_paths(rule):
    # Python would compute these integers exactly (minutes, gigabytes) on
    # either path; such a rule from a configuration file must not hang validate.
    df = pd.DataFrame({"x": [1.0, 2.0]})
    report, warned = run(df, [rule])
    assert report.violations == {rule: 0}
    assert warned == [f"Rule {rule!r} was refused and counts 0 violations: it raises a number to a power whose result would take more than a million bits."]
    assert run(ThroughPandas(df), [rule])[1] == warned


def test_large_powers_of_columns_are_evaluated():
    df = pd.DataFrame({"x": [1.0, 2.0, 0.5], "i": [1, 2, 3]})
    assert assert_same(df, ["x ** 100000 < 2", "i ** 1000001 > 0", "x > 2 ** 20"]).total_violations > 0
