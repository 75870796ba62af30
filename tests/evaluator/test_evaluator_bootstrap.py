"""_attach_bootstrap_cis and its statistic _mean_ks."""

import logging
import sys
import types

import numpy as np
import pandas as pd
import pytest
from scipy.stats import ks_2samp


def report_with(suite, aggregate, privacy=()):
    report = suite.Report()
    for name in aggregate:
        report.aggregate_metrics[name] = suite.MetricResult(name=name, value=0.5,
                                                            category="statistical")
    for name in privacy:
        report.privacy_metrics[name] = suite.MetricResult(name=name, value=0.5,
                                                          category="privacy")
    return report


@pytest.fixture
def mixed():
    real = pd.DataFrame({
        "i": [1, 2, 3, 4],
        "f": [0.5, np.nan, 1.5, 2.5],
        "text": ["a", "b", "c", "d"],
        "flag": [True, False, True, True],
        "num_here_text_there": [1.0, 2.0, 3.0, 4.0],
        "only_real": [9, 9, 9, 9],
    })
    synth = pd.DataFrame({
        "flag": [False, False, True],
        "num_here_text_there": ["x", "y", "z"],
        "f": [1.0, 2.0, np.nan],
        "i": [4, 5, 6],
        "text": ["a", "a", "b"],
    })
    return real, synth


def test_call_targets_and_arrays(suite, TabularEvaluator, mixed, caplog):
    real, synth = mixed
    report = report_with(suite, ["ks_complement", "ks_complement_age", "univariate_ks_complement",
                                 "ksx", "wasserstein", "mmd_rbf", "kolmogorov"],
                         privacy=["ks_complement_private"])
    e = TabularEvaluator(n_bootstrap=37, random_seed=5)
    assert e._attach_bootstrap_cis(report, real, synth) is None

    (args, kwargs), = suite.calls("bootstrap_ci")
    real_arr, synth_arr = args
    # Shared columns numeric in both tables, in the real table's order; bool counts as numeric;
    # missing values become 0.
    np.testing.assert_array_equal(real_arr, np.array([[1, 0.5, 1], [2, 0, 0], [3, 1.5, 1],
                                                      [4, 2.5, 1]], dtype=float))
    np.testing.assert_array_equal(synth_arr, np.array([[4, 1, 0], [5, 2, 0], [6, 0, 1]],
                                                      dtype=float))
    assert list(kwargs) == ["stat_fn", "n_boot", "alpha", "random_seed"]
    assert kwargs["n_boot"] == 37 and kwargs["alpha"] == 0.05 and kwargs["random_seed"] == 5
    assert kwargs["stat_fn"].__qualname__ == (
        "TabularEvaluator._attach_bootstrap_cis.<locals>._mean_ks")

    intervals = {k: m.confidence_interval for k, m in report.aggregate_metrics.items()}
    assert intervals == {"ks_complement": (0.1, 0.2), "ks_complement_age": (0.1, 0.2),
                         "univariate_ks_complement": (0.1, 0.2), "ksx": (0.1, 0.2),
                         "wasserstein": None, "mmd_rbf": None, "kolmogorov": None}
    assert report.privacy_metrics["ks_complement_private"].confidence_interval is None
    assert caplog.records == []


def test_interval_is_read_anew_for_each_metric(suite, TabularEvaluator, mixed):
    bounds = iter(range(10))

    class Moving:
        lower = property(lambda self: next(bounds))
        upper = property(lambda self: next(bounds))

    suite.outcomes["bootstrap_ci"] = Moving()
    report = report_with(suite, ["ks_a", "ks_b"])
    TabularEvaluator()._attach_bootstrap_cis(report, *mixed)
    assert report.aggregate_metrics["ks_a"].confidence_interval == (0, 1)
    assert report.aggregate_metrics["ks_b"].confidence_interval == (2, 3)


@pytest.mark.parametrize("real, synth", [
    (pd.DataFrame({"a": ["x", "y"]}), pd.DataFrame({"a": ["x", "z"]})),
    (pd.DataFrame({"a": [1, 2]}), pd.DataFrame({"b": [1, 2]})),
    (pd.DataFrame({"a": [1, 2]}), pd.DataFrame({"a": ["1", "2"]})),
])
def test_no_shared_numeric_column(suite, TabularEvaluator, caplog, real, synth):
    report = report_with(suite, ["ks_complement"])
    TabularEvaluator()._attach_bootstrap_cis(report, real, synth)
    assert suite.calls("bootstrap_ci") == []
    assert report.aggregate_metrics["ks_complement"].confidence_interval is None
    assert caplog.records == []


@pytest.mark.parametrize("module", [None, types.ModuleType("quorvix.utils.bootstrap")])
def test_bootstrap_utility_missing(suite, TabularEvaluator, mixed, caplog, monkeypatch, module):
    # None: the module cannot be imported; an empty module: the name cannot be imported.
    monkeypatch.setitem(sys.modules, "quorvix.utils.bootstrap", module)
    report = report_with(suite, ["ks_complement"])
    assert TabularEvaluator()._attach_bootstrap_cis(report, *mixed) is None
    record, = caplog.records
    assert (record.name, record.levelno, record.msg, record.args) == (
        "tabular.evaluator", logging.WARNING,
        "quorvix.utils.bootstrap not available; skipping CI computation.", ())
    assert report.aggregate_metrics["ks_complement"].confidence_interval is None


def test_evaluate_survives_a_missing_utility(suite, TabularEvaluator, tables, caplog,
                                             monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvix.utils.bootstrap", None)
    report = TabularEvaluator(compute_bootstrap_ci=True).evaluate(*tables,
                                                                  metrics=["ks_complement"])
    assert [r.confidence_interval for r, _ in report.added] == [None, None, None]
    assert len(caplog.records) == 1


def test_other_import_errors_reach_the_caller(suite, TabularEvaluator, mixed, monkeypatch):
    class Exploding(types.ModuleType):
        def __getattr__(self, name):
            raise RuntimeError("half-initialised module")

    monkeypatch.setitem(sys.modules, "quorvix.utils.bootstrap",
                        Exploding("quorvix.utils.bootstrap"))
    with pytest.raises(RuntimeError, match="half-initialised"):
        TabularEvaluator()._attach_bootstrap_cis(report_with(suite, []), *mixed)


class NoUpper:
    lower = 0.1


@pytest.mark.parametrize("outcome, aggregate", [
    (ArithmeticError("resampling failed"), ["ks_complement"]),
    (NoUpper(), ["ks_complement", "ks_other"]),
    # A key that is not a string breaks the selection of target metrics.
    (types.SimpleNamespace(lower=0.1, upper=0.2), ["ks_complement", 3]),
])
def test_failure_inside_the_guard_is_logged(suite, TabularEvaluator, mixed, caplog, outcome,
                                            aggregate):
    suite.outcomes["bootstrap_ci"] = outcome
    report = report_with(suite, aggregate)
    assert TabularEvaluator()._attach_bootstrap_cis(report, *mixed) is None
    record, = caplog.records
    assert (record.name, record.levelno, record.msg) == (
        "tabular.evaluator", logging.WARNING, "Bootstrap CI computation failed: %s")
    error, = record.args
    assert isinstance(error, Exception)
    if isinstance(outcome, Exception):
        assert error is outcome
    assert all(m.confidence_interval is None for m in report.aggregate_metrics.values())


def test_guard_lets_interrupts_through(suite, TabularEvaluator, mixed):
    suite.outcomes["bootstrap_ci"] = KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        TabularEvaluator()._attach_bootstrap_cis(report_with(suite, ["ks"]), *mixed)


def test_unguarded_steps_reach_the_caller(suite, TabularEvaluator, monkeypatch):
    with pytest.raises(AttributeError):
        TabularEvaluator()._attach_bootstrap_cis(report_with(suite, []), [1, 2], [1, 2])
    monkeypatch.setitem(sys.modules, "scipy.stats", None)
    with pytest.raises(ImportError):
        TabularEvaluator()._attach_bootstrap_cis(report_with(suite, []),
                                                 pd.DataFrame({"a": [1.0]}),
                                                 pd.DataFrame({"a": [2.0]}))


# ---------------------------------------------------------------------------
# _mean_ks

@pytest.fixture
def mean_ks(suite, TabularEvaluator):
    TabularEvaluator()._attach_bootstrap_cis(report_with(suite, []), pd.DataFrame({"a": [1.0]}),
                                             pd.DataFrame({"a": [2.0]}))
    (_, kwargs), = suite.calls("bootstrap_ci")
    return kwargs["stat_fn"]


def test_mean_ks_identity(mean_ks):
    assert mean_ks.__name__ == "_mean_ks"
    assert mean_ks.__qualname__ == "TabularEvaluator._attach_bootstrap_cis.<locals>._mean_ks"
    assert mean_ks.__module__ == "quorvix.tabular.evaluator.evaluator"
    assert mean_ks.__annotations__ == {"r_arr": "np.ndarray", "s_arr": "np.ndarray",
                                       "return": "float"}


def test_mean_ks_values(mean_ks):
    rng = np.random.default_rng(0)
    a = rng.normal(size=(60, 3))
    b = a + np.array([0.0, 0.5, 3.0])
    expected = np.mean([1.0 - ks_2samp(a[:, j], b[:, j]).statistic for j in range(3)])
    value = mean_ks(a, b)
    assert type(value) is float and value == pytest.approx(expected)
    assert mean_ks(r_arr=a, s_arr=a.copy()) == 1.0
    assert 0.0 < value < 1.0


def test_mean_ks_skips_failing_columns(mean_ks):
    a = np.arange(12.0).reshape(6, 2)
    b = a[:, :1] + 100.0  # no second column: that column fails and is left out
    assert mean_ks(a, b) == pytest.approx(1.0 - ks_2samp(a[:, 0], b[:, 0]).statistic)
    assert mean_ks(np.empty((0, 3)), np.empty((0, 3))) == 0.0
    assert type(mean_ks(np.empty((0, 3)), np.empty((0, 3)))) is float


def test_mean_ks_arity(mean_ks):
    with pytest.raises(TypeError, match=r"^_mean_ks\(\) takes exactly 2 positional arguments "
                                        r"\(1 given\)$"):
        mean_ks(np.zeros((2, 2)))
