"""The native function type and classes behave like their Python counterparts."""

import gc
import inspect
import pickle
import sys
import weakref

import pandas as pd
import pytest

from quorvix.tabular import rulix
from quorvix.tabular.rulix import ConstraintViolationReport, Rulix
from support.leaks import assert_no_leak, assert_refcounts_unchanged


class Reference:
    """A hand-written Python class with the same method shapes."""

    def add_rule(self, rule: "str") -> "'Rulix'":
        return self


Reference.__module__ = Reference.add_rule.__module__ = "quorvix.tabular.rulix"
Reference.__qualname__ = "Rulix"
Reference.add_rule.__qualname__ = "Rulix.add_rule"


def test_names_match_a_python_class():
    ours, ref = Rulix.add_rule, Reference.add_rule
    for attr in ("__name__", "__module__", "__annotations__"):
        assert getattr(ours, attr) == getattr(ref, attr)
    assert ours.__qualname__ == "Rulix.add_rule" == ref.__qualname__
    assert Rulix.__module__ == "quorvix.tabular.rulix" and Rulix.__qualname__ == "Rulix"
    assert Rulix.__bases__ == (object,) and type(Rulix) is type


def test_repr_and_docs_like_python_functions():
    assert repr(Rulix.validate).startswith("<function Rulix.validate at 0x")
    assert Rulix.validate.__doc__ == "Validate all rules against the DataFrame."
    assert Rulix.__init__.__doc__ is None
    assert Rulix.__init__.__annotations__ == {"return": "None"}
    assert Rulix._parse_rule.__annotations__ == {"rule": "str", "return": "Dict[str, Any]"}
    assert Rulix.validate.__annotations__ == {"df": "pd.DataFrame", "return": "ConstraintViolationReport"}


def test_signatures_are_introspectable():
    assert str(inspect.signature(Rulix.add_rule)) == "(self, rule: 'str') -> \"'Rulix'\""
    assert str(inspect.signature(Rulix().add_rule)) == "(rule: 'str') -> \"'Rulix'\""
    assert str(inspect.signature(Rulix)) == "() -> 'None'"
    assert "Validate all rules against the DataFrame." in pydoc_text(Rulix.validate)


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_three_binding_forms_agree():
    df = pd.DataFrame({"a": [1, -1]})
    e = Rulix().add_rule("a > 0")
    bound = e.validate
    assert bound.__self__ is e and bound.__func__ is Rulix.validate
    r1, r2, r3 = e.validate(df), bound(df), Rulix.validate(e, df)
    assert r1.violations == r2.violations == r3.violations == {"a > 0": 1}


def test_functions_work_in_subclasses_and_under_staticmethod():
    class Mine(Rulix):
        pass

    e = Mine().add_rule("a > 0")
    assert type(e) is Mine and e._rules == ["a > 0"]
    holder = type("Holder", (), {"parse": staticmethod(Rulix._parse_rule)})
    assert holder.parse(None, "a") == holder().parse(None, "a")


def test_function_attributes_are_writable_like_python_functions():
    f = ConstraintViolationReport.summary
    f.custom = 1
    assert f.__dict__["custom"] == 1
    del f.custom
    assert "__annotations__" in f.__dict__


def test_classes_and_functions_pickle_by_reference():
    e = Rulix().add_rule("a > 0")
    clone = pickle.loads(pickle.dumps(e))
    assert clone._rules == e._rules and clone._parsed_rules == e._parsed_rules
    assert pickle.loads(pickle.dumps(Rulix.validate)) is Rulix.validate
    report = ConstraintViolationReport(violations={"a": 1})
    assert pickle.loads(pickle.dumps(report)).violations == {"a": 1}


def test_function_objects_are_collected():
    e = Rulix()
    bound = e.add_rule
    ref = weakref.ref(e)
    del e, bound
    gc.collect()
    assert ref() is None


def test_refcounts_of_arguments_are_unchanged():
    df = pd.DataFrame({"a": [1, -1, 3]})
    rule = "".join(["a ", "> 0"])
    e = Rulix()
    report = Rulix().add_rule("a > 0").validate(df)
    strategy = "".join(["cl", "ip"])

    def calls():
        e._rules.clear()
        e._parsed_rules.clear()
        e.add_rule(rule)
        e.add_rule(rule=rule)
        Rulix.add_rule(*(e, rule))
        Rulix.add_rule(**{"self": e, "rule": rule})
        e.validate(df)
        e.validate(df=df)
        report.fix(df, strategy)
        report.fix(df=df, strategy=strategy)
        for bad in ((), (1,), (rule, rule)):
            try:
                e.add_rule(*bad)
            except TypeError:
                pass
        try:
            report.fix(df, strategy=strategy.upper())
        except ValueError:
            pass

    assert_refcounts_unchanged(calls, df, rule, e, report, strategy)


def test_no_memory_growth_over_many_calls():
    e = Rulix().add_rule("a > 0").add_rule("if a < 0 then b > 0").add_rule("b <= 1").add_rule("a + 0 > -3")

    def run():
        df = pd.DataFrame({"a": [1, -1, 3, -4], "b": [0.0, 1.0, 2.0, -1.0]})
        report = e.validate(df)
        report.fix(df, "drop")
        report.fix(df, "clip")
        report.fix(df, "resample")
        report.summary()
        try:
            Rulix().add_rule(None)
        except TypeError:
            pass

    assert_no_leak(run, calls=100)


def test_leak_check_detects_a_leak():
    kept = []
    with pytest.raises(AssertionError, match="grew in every round"):
        assert_no_leak(lambda: kept.append(object()), calls=100)


def test_module_surface():
    assert rulix.__all__ == ["Rulix", "ConstraintViolationReport"]
    public = [k for k in vars(rulix) if not k.startswith("__")]
    assert public == ["re", "dataclass", "field", "Any", "Dict", "List", "Optional", "np", "pd",
                      "ConstraintViolationReport", "Rulix"]
    assert rulix.__doc__ == "\nquorvix.tabular.rulix\n" + "~" * 22 + "\n\nRulix: rule-based constraint validation and fixing.\n"
    assert Rulix.__doc__ == (
        "Parse and validate rule-based constraints on DataFrames.\n\n    Usage::\n\n"
        "        engine = Rulix()\n        engine.add_rule(\"age > 0\").add_rule(\"income >= 0\")\n"
        "        report = engine.validate(df)\n        fixed = report.fix(df, strategy=\"resample\")\n    "
    )


def test_importing_the_package_is_cheap():
    import subprocess

    code = (
        "import sys, quorvix, quorvix.tabular, quorvix.core_generator, quorvix.tabular.evaluator;"
        "print(sorted(m for m in ('pandas', 'numpy', 'quorvix.core_generator.privex') if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
