import pytest

from quorvix.tabular.rulix import Rulix


def comparison(text):
    return {"type": "comparison", "expr": text, "raw": text}


def conditional(cond, cons, raw):
    return {"type": "conditional", "condition": cond, "consequence": cons, "raw": raw}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("age > 0", comparison("age > 0")),
        ("  income >= 0 ", comparison("income >= 0")),
        ("if age < 18 then income == 0", conditional("age < 18", "income == 0", "if age < 18 then income == 0")),
        ("IF a > 1 THEN b < 2", conditional("a > 1", "b < 2", "IF a > 1 THEN b < 2")),
        ("iF a tHeN b", conditional("a", "b", "iF a tHeN b")),
        ("if a then b then c", conditional("a", "b then c", "if a then b then c")),
        ("if a > 1 then", comparison("if a > 1 then")),
        ("if a > 1 then   ", comparison("if a > 1 then")),
        ("iffy > 0", comparison("iffy > 0")),
        ("if_flag == 1", comparison("if_flag == 1")),
        ("ifa then b", comparison("ifa then b")),
        ("if a thenb", comparison("if a thenb")),
        ("if athen b", comparison("if athen b")),
        ("", comparison("")),
        ("   ", comparison("")),
        # The condition is the shortest run before the first whitespace-delimited "then".
        ("if x == 'then' then y", conditional("x == 'then'", "y", "if x == 'then' then y")),
        # Line breaks may serve as the whitespace around "then" ...
        ("if a\nthen\nb", conditional("a", "b", "if a\nthen\nb")),
        # ... but the condition cannot cross one ...
        ("if a\nb then c", comparison("if a\nb then c")),
        # ... and the consequence stops at the first one, while raw keeps everything.
        ("if a then b\nc > 1", conditional("a", "b", "if a then b\nc > 1")),
        # Unicode whitespace is stripped and matches \s.
        ("\u3000if\u00a0a\u2003then\u2009b\u00a0", conditional("a", "b", "if\u00a0a\u2003then\u2009b")),
        ("\u2028age > 0\u2029", comparison("age > 0")),
        # Group texts are stripped again (the lazy condition may end in whitespace).
        ("if  a  then  b  ", conditional("a", "b", "if  a  then  b")),
    ],
)
def test_parse_rule(text, expected):
    parsed = Rulix()._parse_rule(text)
    assert parsed == expected
    assert list(parsed) == list(expected)  # keys in the documented order


def test_add_rule_chains_and_keeps_texts_as_given():
    engine = Rulix()
    assert engine.add_rule("age > 0").add_rule("  income >= 0 ") is engine
    assert engine._rules == ["age > 0", "  income >= 0 "]
    assert engine._parsed_rules == [comparison("age > 0"), comparison("income >= 0")]
    engine.add_rule("age > 0")
    assert engine._rules == ["age > 0", "  income >= 0 ", "age > 0"]
    assert len(engine._parsed_rules) == 3


def test_new_engines_have_their_own_empty_lists():
    a, b = Rulix(), Rulix()
    assert vars(a) == {"_rules": [], "_parsed_rules": []}
    assert a._rules is not b._rules and a._parsed_rules is not b._parsed_rules


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, got",
    [(None, "NoneType"), (3, "int"), (b"age > 0", "bytes"), (["age > 0"], "list"), (Text("age > 0"), "Text")],
)
@pytest.mark.parametrize("method", ["add_rule", "_parse_rule"])
def test_rule_must_be_exactly_str(method, value, got):
    engine = Rulix()
    with pytest.raises(TypeError) as info:
        getattr(engine, method)(value)
    assert str(info.value) == f"Argument 'rule' has incorrect type (expected str, got {got})"
    subclass = isinstance(value, str)
    assert bool(getattr(info.value, "__notes__", None)) == subclass
    assert engine._rules == [] and engine._parsed_rules == []


def test_add_rule_uses_an_overridden_parser():
    class Upper(Rulix):
        def _parse_rule(self, rule):
            return {"type": "comparison", "expr": rule.upper(), "raw": rule}

    engine = Upper().add_rule("a > 0")
    assert engine._parsed_rules == [{"type": "comparison", "expr": "A > 0", "raw": "a > 0"}]

    plain = Rulix()
    plain._parse_rule = lambda rule: {"type": "instance", "expr": rule}
    plain.add_rule("b")
    assert plain._parsed_rules == [{"type": "instance", "expr": "b"}]


def test_failing_parser_keeps_the_text_but_not_a_parsed_form():
    # The text is appended before parsing, as documented; the lists then differ in
    # length and validation walks them in step.
    class Broken(Rulix):
        def _parse_rule(self, rule):
            raise ZeroDivisionError("boom")

    engine = Broken()
    with pytest.raises(ZeroDivisionError, match="boom"):
        engine.add_rule("a > 0")
    assert engine._rules == ["a > 0"] and engine._parsed_rules == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Rulix(1), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: Rulix().add_rule(), "add_rule() takes exactly 2 positional arguments (1 given)"),
        (lambda: Rulix().add_rule("a", "b"), "add_rule() takes exactly 2 positional arguments (3 given)"),
        (lambda: Rulix.add_rule(), "add_rule() takes exactly 2 positional arguments (0 given)"),
        (lambda: Rulix().add_rule(text="a"), "add_rule() takes exactly 2 positional arguments (1 given)"),
        (lambda: Rulix().add_rule("a", text="a"), "add_rule() got an unexpected keyword argument 'text'"),
        (lambda: Rulix().add_rule("a", rule="a"), "add_rule() got multiple values for keyword argument 'rule'"),
        (lambda: Rulix().validate(), "validate() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_arity_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_match_by_value_not_identity():
    name = "".join(["ru", "le"])  # not interned
    engine = Rulix()
    engine.add_rule(**{name: "a > 0"})
    engine.add_rule(rule="b > 0")
    assert engine._rules == ["a > 0", "b > 0"]
