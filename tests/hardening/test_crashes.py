"""Inputs that once ended the interpreter (abort, segfault) or made it read out
of bounds. Each runs in a child interpreter: a crash fails the test with the
signal instead of ending the test run."""

import pytest

from support.child import assert_child_ok, run_child


@pytest.mark.parametrize("method", ["_add_laplace_noise", "_add_gaussian_noise"])
def test_noise_on_a_list_raises(method):
    proc = run_child(f"""
        from quorvix.core_generator.privex import PrivexProcessor
        try:
            PrivexProcessor().{method}([1.0, 2.0], 1.0)
        except AttributeError as e:
            print(e)
    """)
    assert_child_ok(proc, ["'list' object has no attribute 'shape'"])


# A table whose columns' `.values` returns a list, raises, or whose `dtype`
# raises from its k-th read on: every run ends in an exception or a table.
HOSTILE_SERIES = """
    import logging
    import pandas as pd
    from quorvix.core_generator.privex import PrivexProcessor
    logging.disable(logging.CRITICAL)

    class Values(pd.Series):
        mode = "list"
        dtype_reads = 0
        fail_from = None

        @property
        def _constructor(self):
            return Values

        @property
        def _constructor_expanddim(self):
            return Table

        @property
        def values(self):
            if Values.mode == "raise":
                raise RuntimeError("values refused")
            return list(super().values)

        @property
        def dtype(self):
            Values.dtype_reads += 1
            if Values.fail_from is not None and Values.dtype_reads >= Values.fail_from:
                raise RuntimeError("dtype refused")
            return super().dtype

    class Table(pd.DataFrame):
        @property
        def _constructor(self):
            return Table

        _constructor_sliced = Values

    def table():
        return Table({"x": [1.0, 2.0, 3.5, 4.0], "n": [1, 5, 3, 9]})
"""


@pytest.mark.parametrize("method", ["laplace", "gaussian"])
@pytest.mark.parametrize("mode", ["list", "raise"])
def test_apply_dp_with_hostile_values(method, mode):
    proc = run_child(HOSTILE_SERIES + f"""
    Values.mode = {mode!r}
    try:
        PrivexProcessor(random_state=0).apply_dp(table(), {method!r})
    except Exception as e:
        print(type(e).__name__)
    """)
    assert_child_ok(proc, ["AttributeError" if mode == "list" else "RuntimeError"])


@pytest.mark.parametrize("method", ["laplace", "gaussian", "minimal"])
def test_apply_dp_with_dtype_failing_on_a_later_read(method):
    proc = run_child(HOSTILE_SERIES + f"""
    Values.mode = "ndarray"
    Values.values = pd.Series.values
    outcomes = set()
    for k in range(1, 80):
        Values.dtype_reads, Values.fail_from = 0, k
        try:
            PrivexProcessor(random_state=0).apply_dp(table(), {method!r})
            outcomes.add("table")
        except RuntimeError as e:
            assert str(e) == "dtype refused", e
            outcomes.add("refused")
    print(sorted(outcomes))
    """)
    assert_child_ok(proc, ["['refused', 'table']"])


def test_function_members_behave_like_python_functions():
    proc = run_child("""
        import pickle
        from quorvix.tabular.rulix import Rulix

        def python_function():
            pass

        def outcome(action):
            try:
                action()
                return "ok"
            except Exception as e:
                return f"{type(e).__name__}: {e}"

        for f in (python_function, Rulix.add_rule):
            lines = []
            for name in ("__name__", "__qualname__"):
                lines.append(outcome(lambda: delattr(f, name)))
                lines.append(outcome(lambda: setattr(f, name, 12345)))
                lines.append(outcome(lambda: setattr(f, name, None)))
            for name in ("__doc__", "__module__"):
                lines.append(outcome(lambda: setattr(f, name, 12345)))
                lines.append(str(getattr(f, name)))
                lines.append(outcome(lambda: delattr(f, name)))
                lines.append(str(getattr(f, name)))
            print(" | ".join(lines))
            repr(f)
            # Pickled by reference: module and qualified name are gone, so it
            # fails, with an exception.
            print(type(outcome(lambda: pickle.dumps(f))).__name__)

        Rulix.add_rule.__name__ = "renamed"
        Rulix.add_rule.__qualname__ = "Rulix.renamed"
        assert repr(Rulix.add_rule).startswith("<function Rulix.renamed at 0x")
        Rulix.add_rule.__doc__ = ["anything"]
        assert Rulix.add_rule.__doc__ == ["anything"]
    """)
    assert_child_ok(proc)
    python_line, _, ours_line, _ = proc.stdout.splitlines()
    assert ours_line == python_line
    assert "TypeError: __qualname__ must be set to a string object" in ours_line


def test_to_html_holds_metrics_whose_reads_drop_them():
    # Each metric's higher_is_better empties every dict and list that refers
    # to it (the report's and any the renderer keeps), so the renderer's own
    # references are the only ones left.
    proc = run_child("""
        import gc
        from types import SimpleNamespace
        from quorvix.tabular.evaluator import TabularEvaluator

        class Metric:
            def __init__(self, value):
                self._value = value

            @property
            def higher_is_better(self):
                for holder in gc.get_referrers(self):
                    if type(holder) is list:
                        holder.clear()
                    elif type(holder) is dict and "__name__" not in holder and holder is not vars(self):
                        holder.clear()
                return True

            @property
            def value(self):
                return self._value

        for attempt in range(3):
            report = SimpleNamespace(
                aggregate_metrics={f"m{i}": Metric(i / 100) for i in range(20)},
                privacy_metrics={f"p{i}": Metric(0.5) for i in range(20)},
                generator_name="g", timestamp="t", dataset_name="d",
                real_data_n_rows=1, synthetic_data_n_rows=1, n_columns=1,
            )
            try:
                html = TabularEvaluator().to_html(report)
            except Exception as e:
                print(type(e).__name__, e)
                raise
        print(html.count("<tr><td>"))
    """)
    assert_child_ok(proc, ["40"])


def test_validate_keeps_the_index_it_evaluated_against():
    # The rule's hash runs after the rows were flagged natively and shrinks the
    # table in place; the labels come from the index the rows were flagged in.
    proc = run_child("""
        import numpy as np
        import pandas as pd
        from quorvix.tabular.rulix import Rulix

        n = 200_000
        df = pd.DataFrame({"x": np.arange(n) % 7 - 3}, index=np.arange(n) * 3 + 11)
        expected = df.index[df["x"] <= 0]

        class Shrinking(str):
            def __hash__(self):
                if len(df) > 1:
                    df.drop(df.index[1:], inplace=True)
                return str.__hash__(self)

        r = Rulix()
        r._rules = [Shrinking("x > 0")]
        r._parsed_rules = [r._parse_rule("x > 0")]
        report = r.validate(df)
        assert len(df) == 1
        assert report.violating_rows.equals(expected), report.violating_rows
        print(report.total_violations == len(expected))
    """)
    assert_child_ok(proc, ["True"])
