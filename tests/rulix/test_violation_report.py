import dataclasses
import inspect

import numpy as np
import pandas as pd
import pytest

from quorvix.tabular.rulix import ConstraintViolationReport as Report
from quorvix.tabular.rulix import Rulix


def report_for(df, *rules):
    e = Rulix()
    for r in rules:
        e.add_rule(r)
    return e.validate(df)


# --- the dataclass --------------------------------------------------------------


def test_is_a_plain_dataclass_with_string_annotations():
    assert dataclasses.is_dataclass(Report)
    assert Report.__bases__ == (object,)
    assert Report.__doc__ == "Report of constraint violations in a DataFrame."
    assert Report.__module__ == "quorvix.tabular.rulix" and Report.__qualname__ == "ConstraintViolationReport"
    assert Report.__annotations__ == {
        "violations": "Dict[str, int]",
        "total_violations": "int",
        "violation_rate": "float",
        "violating_rows": "pd.Index",
    }
    assert [(f.name, f.type) for f in dataclasses.fields(Report)] == list(Report.__annotations__.items())
    assert list(inspect.signature(Report).parameters) == list(Report.__annotations__)


def test_defaults_are_fresh_per_instance():
    a, b = Report(), Report()
    assert (a.violations, a.total_violations, a.violation_rate) == ({}, 0, 0.0)
    assert isinstance(a.violating_rows, pd.Index) and len(a.violating_rows) == 0
    assert a.violations is not b.violations and a.violating_rows is not b.violating_rows
    a.violations["x"] = 1
    assert b.violations == {}


def test_repr_asdict_replace_and_eq():
    r = Report(violations={"a > 0": 1}, total_violations=1, violation_rate=0.5, violating_rows=pd.Index([3]))
    assert repr(r) == (
        "ConstraintViolationReport(violations={'a > 0': 1}, total_violations=1, "
        "violation_rate=0.5, violating_rows=Index([3], dtype='int64'))"
    )
    d = dataclasses.asdict(r)
    assert list(d) == ["violations", "total_violations", "violation_rate", "violating_rows"]
    assert d["violations"] == {"a > 0": 1} and d["violations"] is not r.violations
    r2 = dataclasses.replace(r, total_violations=5)
    assert r2.total_violations == 5 and r2.violations == r.violations
    assert r == r  # identity short-cut of the generated __eq__
    assert Report() != Report(total_violations=1)
    r.total_violations = 9  # mutable
    assert r.total_violations == 9


def test_summary():
    assert Report().summary() == ""
    r = Report(violations={"age > 0": 2, " income >= 0": 0, "x": 1})
    assert r.summary() == "Rule 'age > 0': 2 violations\nRule ' income >= 0': 0 violations\nRule 'x': 1 violations"


def test_method_annotations_and_signature():
    assert Report.summary.__annotations__ == {"return": "str"}
    assert Report.fix.__annotations__ == {"df": "pd.DataFrame", "strategy": "str", "return": "pd.DataFrame"}
    assert str(inspect.signature(Report.fix)) == "(self, df: 'pd.DataFrame', strategy: 'str' = 'resample') -> 'pd.DataFrame'"
    assert Report.fix.__doc__ and Report.summary.__doc__


# --- fix ------------------------------------------------------------------------


@pytest.fixture
def table():
    return pd.DataFrame(
        {"age": [5, -1, 3, -2, 8], "city": list("abcde")},
        index=[10, 11, 12, 13, 14],
    )


@pytest.mark.parametrize("strategy", ["drop", "resample", "clip", "Drop", "anything"])
def test_fix_without_violations_returns_an_equal_copy(table, strategy):
    out = Report().fix(table, strategy)
    assert out is not table
    pd.testing.assert_frame_equal(out, table)


def test_drop(table):
    r = report_for(table, "age > 0")
    out = r.fix(table, "drop")
    pd.testing.assert_frame_equal(out, pd.DataFrame({"age": [5, 3, 8], "city": ["a", "c", "e"]}))


def test_resample_appends_draws_of_good_rows(table):
    r = report_for(table, "age > 0")
    np.random.seed(3)
    out = r.fix(table)  # "resample" is the default
    assert list(out.index) == [0, 1, 2, 3, 4]
    pd.testing.assert_frame_equal(out.iloc[:3], table.loc[[10, 12, 14]].reset_index(drop=True))
    good = {tuple(row) for row in table.loc[[10, 12, 14]].itertuples(index=False)}
    assert {tuple(row) for row in out.iloc[3:].itertuples(index=False)} <= good
    # The draw comes from numpy's global state, like DataFrame.sample without a seed.
    np.random.seed(3)
    expected = table.loc[[10, 12, 14]].sample(n=2, replace=True).reset_index(drop=True)
    pd.testing.assert_frame_equal(out.iloc[3:].reset_index(drop=True), expected)


def test_resample_with_no_good_row_warns_and_returns_the_table(table):
    r = report_for(table, "age > 100")
    with pytest.warns(RuntimeWarning, match="No row satisfies the rules"):
        out = r.fix(table, "resample")
    pd.testing.assert_frame_equal(out, table)


def test_rows_are_matched_by_label_only(table):
    r = Report(violating_rows=pd.Index([12, 99]))
    other = table.iloc[::-1]
    assert list(r.fix(other, "drop")["age"]) == [8, -2, -1, 5]


@pytest.mark.parametrize(
    "rule, values, expected",
    [
        ("x > 0", [-1.0, 0.0, 5.0], [1e-6, 1e-6, 5.0]),
        ("x >= 0", [-3.0, -0.5, 2.0], [0.0, 0.0, 2.0]),
        ("x <= 100", [50.0, 100.5, 1e9], [50.0, 100.0, 100.0]),
        ("x < 5", [4.9999995, 4.0, 7.0], [5 - 1e-6, 4.0, 5 - 1e-6]),
        ("x>=1_0", [3.0, 10.0, 11.0], [10.0, 10.0, 11.0]),
        ("x > -INF", [-1.0, 0.0, 1.0], [-1.0, 0.0, 1.0]),
        ("x >= 2 and x < 1", [0.0, 5.0, 2.0], [2.0, 5.0, 2.0]),  # only the leading comparison
    ],
)
def test_clip_bounds(rule, values, expected):
    df = pd.DataFrame({"x": values, "y": [1, 2, 3]})
    r = Report(violations={rule: 1}, violating_rows=pd.Index([0]))
    out = r.fix(df, "clip")
    assert out["x"].tolist() == expected
    assert out["y"].tolist() == [1, 2, 3]


@pytest.mark.parametrize(
    "dtype, values, rule, expected",
    [
        # Integer columns are clipped to the nearest integer inside the bound.
        ("int64", [-1, 0, 5], "age > 0", [1, 1, 5]),
        ("int64", [-1, 0, 5], "age > 0.5", [1, 1, 5]),
        ("int64", [-1, 0, 5], "age >= -0.5", [0, 0, 5]),
        ("int64", [-1, 0, 5], "age < 5", [-1, 0, 4]),
        ("int64", [-1, 0, 5], "age <= 4.5", [-1, 0, 4]),
        ("uint8", [0, 7, 250], "age < 7", [0, 6, 6]),
        ("Int64", [-1, None, 5], "age > 0", [1, None, 5]),
        ("Int8", [-1, 0, 5], "age < 5", [-1, 0, 4]),
        ("boolean", [True, False, None], "age > 0", [True, True, None]),
        ("bool", [True, False, True], "age < 1", [False, False, False]),
        # No value of the type lies beyond the bound, or none inside it:
        # the column is left as it is.
        ("int8", [-1, 0, 5], "age > -1000", [-1, 0, 5]),
        ("int8", [-1, 0, 5], "age > 1000", [-1, 0, 5]),
        ("int64", [-1, 0, 5], "age > inf", [-1, 0, 5]),
        ("int64", [-1, 0, 5], "age < nan", [-1, 0, 5]),
        # Floats keep the 1e-6 offset.
        ("float64", [-1.0, 0.0, 5.0], "age > 0", [1e-6, 1e-6, 5.0]),
        ("float32", [-1.0, 0.0, 5.0], "age < 5", [-1.0, 0.0, np.float32(5 - 1e-6)]),
    ],
)
def test_clip_on_integer_columns_keeps_the_dtype(dtype, values, rule, expected):
    df = pd.DataFrame({"age": pd.array(values, dtype=dtype)}, index=["a", "b", "c"])
    out = Report(violations={rule: 1}, violating_rows=pd.Index(["a"])).fix(df, "clip")
    assert out["age"].dtype == df["age"].dtype
    got = [None if v is pd.NA else v for v in out["age"].tolist()]
    assert got == expected
    assert list(out.index) == ["a", "b", "c"]
    assert df["age"].tolist() == pd.array(values, dtype=dtype).tolist()


def test_clip_on_missing_values():

    nan = pd.DataFrame({"v": [np.nan, -2.0]})
    out = Report(violations={"v >= 0": 1}, violating_rows=pd.Index([1])).fix(nan, "clip")
    assert np.isnan(out["v"][0]) and out["v"][1] == 0.0


def test_clip_rules_apply_in_order():
    df = pd.DataFrame({"x": [-5.0, 5.0, 50.0]})
    both = Report(violations={"x >= 0": 1, "x <= 10": 1}, violating_rows=pd.Index([0])).fix(df, "clip")
    assert both["x"].tolist() == [0.0, 5.0, 10.0]
    contradictory = Report(violations={"x >= 10": 1, "x <= 0": 1}, violating_rows=pd.Index([0])).fix(df, "clip")
    assert contradictory["x"].tolist() == [0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "rule",
    [
        "if x < 0 then x > 1",  # conditional
        "s > 0",  # text column
        "missing > 0",  # absent column
        "x > y",  # bound is another column
        "x > 'a'",  # quoted bound
        "x == 0",  # not a bound operator
        "(x > 0)",
    ],
)
def test_clip_skips_rules_it_cannot_apply(rule):
    df = pd.DataFrame({"x": [-1.0, 2.0], "y": [0.0, 0.0], "s": ["a", "b"]})
    out = Report(violations={rule: 1}, violating_rows=pd.Index([0])).fix(df, "clip")
    pd.testing.assert_frame_equal(out, df)


@pytest.mark.parametrize("bound", [1e20, -1e20, 2.0**60])
def test_strict_clip_bounds_are_really_strict(bound):
    df = pd.DataFrame({"x": [bound, bound]})
    above = Report(violations={f"x > {bound!r}": 2}, violating_rows=pd.Index([0])).fix(df, "clip")
    assert (above["x"] > bound).all()
    assert above["x"][0] == np.nextafter(bound, np.inf)
    below = Report(violations={f"x < {bound!r}": 2}, violating_rows=pd.Index([0])).fix(df, "clip")
    assert (below["x"] < bound).all()


def test_fix_never_changes_the_table(table):
    before = table.copy()
    r = report_for(table, "age > 0")
    for strategy in ("drop", "resample", "clip"):
        r.fix(table, strategy)
    pd.testing.assert_frame_equal(table, before)


def test_unknown_strategy(table):
    r = report_for(table, "age > 0")
    with pytest.raises(ValueError) as info:
        r.fix(table, "Drop")
    assert str(info.value) == "Unknown fix strategy 'Drop'. Valid: 'resample', 'drop', 'clip'."


class Strategy(str):
    pass


@pytest.mark.parametrize("value, got", [(None, "NoneType"), (1, "int"), (Strategy("drop"), "Strategy")])
def test_strategy_must_be_exactly_str(table, value, got):
    with pytest.raises(TypeError) as info:
        Report().fix(table, strategy=value)
    assert str(info.value) == f"Argument 'strategy' has incorrect type (expected str, got {got})"


def test_errors_of_pandas_calls_propagate():
    r = Report(violating_rows=pd.Index([0]))
    with pytest.raises(AttributeError):
        r.fix([1, 2, 3], "drop")
