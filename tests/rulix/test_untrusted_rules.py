"""Rule texts from configuration files are untrusted: they must never run code."""

import builtins
import warnings

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvix.tabular.rulix import Rulix


@pytest.fixture
def canary(monkeypatch):
    """A builtin that records calls: any rule text that reaches it ran code."""
    calls = []
    monkeypatch.setattr(builtins, "quorvix_canary", lambda *a: calls.append(a) or 1, raising=False)
    return calls


def table():
    return pd.DataFrame({"a": [1, -1, 2], "b": [0.5, 1.5, -2.0], "s": ["x", "y", "z"], "my col": [1, 2, 3]})


HOSTILE = {
    "__import__('os').system('echo pwned')": "name '__import__' is not allowed",
    "quorvix_canary() > 0": "unknown name 'quorvix_canary' (not a column of the table)",
    "a.__class__": "character '.' is not allowed",
    "a.values.sum() > 0": "character '.' is not allowed",
    "@secret > 0": "character '@' is not allowed",
    "x = 1": "unknown name 'x' (not a column of the table)",
    "a = 1": "character '=' is not allowed",
    "f'{a}' == s": "string prefix 'f' is not allowed",
    "rb'x' == s": "string prefix 'rb' is not allowed",
    "lambda: 1": "unknown name 'lambda' (not a column of the table)",
    "(a)(1) > 0": "calls are not allowed",
    "s[0] == 'x'": "subscripts are not allowed",
    "'abc'[0] == s": "subscripts are not allowed",
    "abs > 0": "function 'abs' is not called",
    "{a} > 0": "character '{' is not allowed",
    "a > 0; b > 0": "character ';' is not allowed",
    "a << 1 > 0": "operator '<<' is not allowed",
    "a ^ 1": "character '^' is not allowed",
    "a > None": "unknown name 'None' (not a column of the table)",
    "a < inf": "unknown name 'inf' (not a column of the table)",
    "index > 0": "unknown name 'index' (not a column of the table)",
    "`no such col` > 0": "`no such col` is not a column of the table",
    "`my col > 0": "unterminated backtick name",
    "s == 'x": "unterminated string literal",
    "a\u00a0> 0": "character '\u00a0' is not allowed",
    "a > 0 if b else a": "unknown name 'if' (not a column of the table)",
    "a > 0 # comment": "character '#' is not allowed",
    "a > 1x": "malformed number '1x'",
    "a > 1.5.real": "malformed number '1.5.'",
    "a :=1": "character ':' is not allowed",
    "a > 0\\\n": "character '\\' is not allowed",
    "(" * 101 + "a" + ")" * 101: "brackets nested deeper than 100 levels",
    "a + " * 3000 + "a > 0": "it is longer than 10000 characters",
}


@pytest.mark.parametrize("rule, reason", list(HOSTILE.items()), ids=range(len(HOSTILE)))
def test_hostile_texts_are_refused_before_evaluation(rule, reason, canary, monkeypatch):
    df = table()
    before = df.copy()

    def no_eval(self, *args, **kwargs):  # evaluation must not even be attempted
        raise AssertionError("refused rule reached DataFrame.eval")

    monkeypatch.setattr(pd.DataFrame, "eval", no_eval)
    with pytest.warns(RuntimeWarning) as record:
        report = Rulix().add_rule(rule).validate(df)
    assert report.violations == {rule: 0}
    assert len(report.violating_rows) == 0
    assert str(record[0].message) == f"Rule {rule!r} was refused and counts 0 violations: {reason}."
    pd.testing.assert_frame_equal(df, before)
    assert canary == []


@pytest.mark.parametrize(
    "rule",
    [
        "if quorvix_canary() then a > 0",
        "if a > 0 then quorvix_canary()",
        "if a > 0 then b.__class__",
    ],
)
def test_both_halves_of_a_conditional_are_checked_before_either_runs(rule, canary, monkeypatch):
    evaluated = []
    original = pd.DataFrame.eval
    monkeypatch.setattr(pd.DataFrame, "eval", lambda self, e, **kw: evaluated.append(e) or original(self, e))
    with pytest.warns(RuntimeWarning, match="was refused"):
        report = Rulix().add_rule(rule).validate(table())
    assert report.violations == {rule: 0}
    assert evaluated == [] and canary == []


def test_deep_but_allowed_nesting_still_evaluates():
    rule = "(" * 100 + "a > 0" + ")" * 100
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # pandas may give up on it
        report = Rulix().add_rule(rule).validate(table())
    assert report.violations[rule] in (0, 1)


# Characters from which rule-like text (and plenty of nonsense) is drawn.
ALPHABET = st.sampled_from(list("ab s_`'\"()[]{}.,:;=<>!+-*/%&|~^@#\\0123456789eEjx\n\t") + ["and ", "or ", "not ", "if ", " then ", "abs(", "__", "lambda", "f'", "1e5", "in "])


@settings(max_examples=300, deadline=None)
@given(st.lists(ALPHABET, max_size=40).map("".join))
def test_arbitrary_text_never_runs_code_or_escapes_the_guard(text):
    df = table()
    calls = []
    builtins.quorvix_canary = lambda *a: calls.append(a) or 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            report = Rulix().add_rule(text).add_rule("quorvix_canary() > 0").validate(df)
    finally:
        del builtins.quorvix_canary
    assert set(report.violations) == {text, "quorvix_canary() > 0"}
    assert all(isinstance(v, int) and 0 <= v <= len(df) for v in report.violations.values())
    assert set(report.violating_rows) <= set(df.index)
    assert calls == []
    pd.testing.assert_frame_equal(df, table())
