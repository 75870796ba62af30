import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest

from quorvix.tabular.rulix import ConstraintViolationReport, Rulix


def engine(*rules):
    e = Rulix()
    for r in rules:
        e.add_rule(r)
    return e


def quiet_validate(e, df):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return e.validate(df)


@pytest.fixture
def ages():
    return pd.DataFrame({"age": [5, -1, 3, -2]})


def test_counts_labels_and_rate(ages):
    report = engine("age > 0").validate(ages)
    assert isinstance(report, ConstraintViolationReport)
    assert report.violations == {"age > 0": 2}
    assert report.total_violations == 2 and type(report.total_violations) is int
    assert report.violation_rate == 0.5 and type(report.violation_rate) is float
    pd.testing.assert_index_equal(report.violating_rows, pd.Index([1, 3]))


def test_no_rules_and_no_rows():
    report = Rulix().validate(pd.DataFrame({"a": [1, 2]}))
    assert (report.violations, report.total_violations, report.violation_rate) == ({}, 0, 0.0)
    assert isinstance(report.violating_rows, pd.Index) and len(report.violating_rows) == 0

    empty = engine("a > 0", "if a > 0 then b > 0").validate(pd.DataFrame({"a": [], "b": []}))
    assert empty.violations == {"a > 0": 0, "if a > 0 then b > 0": 0}
    assert empty.violation_rate == 0.0 and len(empty.violating_rows) == 0


def test_every_row_violating_gives_rate_one(ages):
    assert engine("age > 100").validate(ages).violation_rate == 1.0


def test_conditional_rules_and_missing_values():
    df = pd.DataFrame(
        {
            "age": [10, 10, 30, np.nan, 10],
            "income": [0.0, 5.0, 5.0, 5.0, np.nan],
        },
        index=[10, 11, 12, 13, 14],
    )
    report = engine("if age < 18 then income == 0").validate(df)
    # 11 breaks the consequence; 12 fails the condition; a missing condition (13)
    # is false; a missing consequence (14) fails when the condition holds.
    assert report.violations == {"if age < 18 then income == 0": 2}
    assert list(report.violating_rows) == [11, 14]


def test_expression_rules_and_missing_values():
    df = pd.DataFrame({"x": [1.0, np.nan, -1.0], "flag": [1, 0, 2]})
    report = engine("x > 0", "flag").validate(df)
    # NaN compares false; a bare numeric column must be non-zero.
    assert report.violations == {"x > 0": 2, "flag": 1}
    assert list(report.violating_rows) == [1, 2]
    assert report.total_violations == 3


def test_same_text_twice_and_rows_breaking_two_rules():
    df = pd.DataFrame({"a": [1, -1, 1], "b": [1, -1, -1]})
    report = engine("a > 0", "b > 0", "a > 0").validate(df)
    assert list(report.violations) == ["a > 0", "b > 0"]
    assert report.total_violations == 3
    assert list(report.violating_rows) == [1, 2]


def test_keys_are_rule_texts_as_added(ages):
    report = engine("  age > 0 ", "if age < 0 then age > -2").validate(ages)
    assert list(report.violations) == ["  age > 0 ", "if age < 0 then age > -2"]
    assert report.summary() == "Rule '  age > 0 ': 2 violations\nRule 'if age < 0 then age > -2': 1 violations"


def test_labels_are_sorted_and_unique():
    df = pd.DataFrame({"a": [-1, 1, -1, -1]}, index=[7, 1, 2, 5])
    assert list(engine("a > 0").validate(df).violating_rows) == [2, 5, 7]

    dup = pd.DataFrame({"a": [-1, -1, 1]}, index=["x", "x", "y"])
    report = engine("a > 0").validate(dup)
    assert report.violations == {"a > 0": 2}
    assert list(report.violating_rows) == ["x"]
    assert report.violation_rate == pytest.approx(1 / 3)


def test_unsortable_labels_keep_index_order():
    df = pd.DataFrame({"a": [-1, 1, -1, -1]}, index=["b", 0, 3, "a"])
    report = engine("a > 0").validate(df)
    assert list(report.violating_rows) == ["b", 3, "a"]
    assert report.violation_rate == 0.75


def test_table_is_not_changed(ages):
    before = ages.copy()
    engine("age > 0", "if age < 0 then age > -2").validate(ages)
    pd.testing.assert_frame_equal(ages, before)


def test_each_call_builds_new_objects(ages):
    e = engine("age > 0")
    r1, r2 = e.validate(ages), e.validate(ages)
    assert r1.violations == r2.violations and r1.violating_rows.equals(r2.violating_rows)
    assert r1.violations is not r2.violations and r1.violating_rows is not r2.violating_rows


@pytest.mark.parametrize(
    "rule, error",
    [
        ("", "ValueError"),
        ("age +", "SyntaxError"),
        ("name > 1", "TypeError"),
        ("if age > 0 then name > 1", "TypeError"),
    ],
)
def test_failing_rule_counts_zero_and_warns(rule, error):
    df = pd.DataFrame({"age": [1, -1], "name": ["a", "b"]})
    with pytest.warns(RuntimeWarning) as record:
        report = engine(rule, "age > 0").validate(df)
    assert report.violations == {rule: 0, "age > 0": 1}
    assert list(report.violating_rows) == [1]
    (w,) = record
    message = str(w.message)
    assert message.startswith(f"Rule {rule!r} could not be evaluated and counts 0 violations: {error}")


def test_scalar_rule_counts_zero_and_warns():
    df = pd.DataFrame({"a": [1, 2]})
    with pytest.warns(RuntimeWarning, match="refers to no column") as record:
        report = engine("1 > 0", "2 < 1").validate(df)
    assert report.violations == {"1 > 0": 0, "2 < 1": 0}
    assert len(record) == 2 and "'1 > 0'" in str(record[0].message)


def test_unknown_column_is_refused_with_a_warning():
    df = pd.DataFrame({"age": [1, -1]})
    with pytest.warns(RuntimeWarning) as record:
        report = engine("agee > 0").validate(df)
    assert report.violations == {"agee > 0": 0}
    assert str(record[0].message) == (
        "Rule 'agee > 0' was refused and counts 0 violations: unknown name 'agee' (not a column of the table)."
    )


def test_warning_turned_into_error_propagates():
    df = pd.DataFrame({"age": [1]})
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="agee"):
            engine("agee > 0").validate(df)


def test_interrupts_are_not_swallowed():
    class Interrupting(pd.DataFrame):
        def eval(self, expr, **kwargs):
            raise KeyboardInterrupt("stop")

    with pytest.raises(KeyboardInterrupt, match="stop"):
        engine("a > 0").validate(Interrupting({"a": [1]}))


def test_error_from_the_table_propagates_unchanged():
    marker = LookupError("custom")

    class Odd(pd.DataFrame):
        @property
        def index(self):
            raise marker

    with pytest.raises(LookupError) as info:
        quiet_validate(engine("a > 0"), Odd({"a": [-1]}))
    assert info.value is marker


def test_missing_exceptions_module_propagates(monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvix.exceptions", types.ModuleType("quorvix.exceptions"))
    with pytest.raises(ImportError, match="QuorvixInputError"):
        engine("a > 0").validate(pd.DataFrame({"a": [1]}))


def test_parsed_forms_without_keys_propagate():
    class NoType(Rulix):
        def _parse_rule(self, rule):
            return {"expr": rule}

    with pytest.raises(KeyError, match="type"):
        NoType().add_rule("a > 0").validate(pd.DataFrame({"a": [1]}))


def test_walk_stops_at_the_shorter_list(ages):
    e = engine("age > 0", "age > 3")
    e._parsed_rules.pop()
    assert e.validate(ages).violations == {"age > 0": 2}


def test_other_parsed_types_are_expression_rules(ages):
    class Custom(Rulix):
        def _parse_rule(self, rule):
            return {"type": "range", "expr": rule}

    assert Custom().add_rule("age > 0").validate(ages).violations == {"age > 0": 2}


@pytest.mark.parametrize(
    "rule, expected",
    [
        ("`monthly pay` > 0", 2),
        ("age > 0 and `monthly pay` >= 0", 1),
        ("not (age > 0) or city == 'Oslo'", 1),
        ("city in ['Oslo', 'Rome']", 1),
        ("abs(age) < 3", 2),
        ("age ** 2 // 2 % 5 >= 0", 0),
        ("age != -1 & (age < 10)", 1),
        ("if city == \"Oslo\" then age >= 0", 0),
        ("if city == r'Rome' then `monthly pay` > 0", 1),
        ("age > 1e-3 | (age == 0x0)", 1),
        ("age > 1_000 or True", 0),
    ],
)
def test_allowed_rule_texts_evaluate(rule, expected):
    df = pd.DataFrame({"age": [5, -1, 3], "monthly pay": [10.0, -5.0, 0.0], "city": ["Oslo", "Rome", "Paris"]})
    report = engine(rule).validate(df)
    assert report.violations == {rule: expected}
