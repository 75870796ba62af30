"""Fake collaborators for the evaluator tests.

The evaluator imports the report module, the metric modules and the bootstrap
utility by name at the moment of use. The ``suite`` fixture puts small fake
modules under those names in ``sys.modules`` (undone after each test), so a
test can see every construction and call the evaluator makes, in order, with
its exact arguments, and can make any call return a chosen value or raise.
"""

import sys
import types

import numpy as np
import pandas as pd
import pytest

REPORT = "quorvix.tabular.evaluator.report"
KS = "quorvix.tabular.evaluator.metrics.statistical.ks_complement"
SIMILARITY = "quorvix.evaluation.metrics.similarity"
UTILITY = "quorvix.evaluation.metrics.utility"
ALPHA = "quorvix.tabular.evaluator.metrics.fidelity.alpha_precision"
BETA = "quorvix.tabular.evaluator.metrics.fidelity.beta_recall"
LEAK = "quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak"
TSTR = "quorvix.tabular.evaluator.metrics.utility.tstr"
MIA = "quorvix.tabular.evaluator.metrics.privacy.membership_inference"
DTCR = "quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record"
BOOTSTRAP = "quorvix.utils.bootstrap"

OUTSIDE_MODULES = (REPORT, KS, SIMILARITY, UTILITY, ALPHA, BETA, LEAK, TSTR, MIA, DTCR,
                   BOOTSTRAP)


class FakeMetricResult:
    """Keeps the keyword arguments it was built with, in order."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.higher_is_better = True
        self.confidence_interval = None
        for key, value in kwargs.items():
            setattr(self, key, value)

    def __repr__(self):
        return f"FakeMetricResult({self.kwargs!r})"


class FakeReport:
    """Records its constructor keywords and every add_metric call."""

    def __init__(self, **kwargs):
        self.init_kwargs = kwargs
        self.added = []  # (result, keyword arguments of add_metric)
        self.aggregate_metrics = {}
        self.privacy_metrics = {}

    def add_metric(self, result, **kwargs):
        self.added.append((result, kwargs))
        scope = kwargs.get("scope", "aggregate")
        target = self.privacy_metrics if scope == "privacy" else self.aggregate_metrics
        target[result.name] = result

    def names(self):
        return [(r.name, kw.get("scope", "aggregate")) for r, kw in self.added]


class Suite:
    """The shared log of fake calls and the outcomes tests set for them.

    Every fake call is logged as ``(key, args, kwargs)`` where ``key`` is
    ``"Class()"`` for a construction and ``"Class.method"`` for a call.
    ``outcomes[key]`` replaces the default result; an exception instance or
    class there is raised instead.
    """

    MetricResult = FakeMetricResult
    Report = FakeReport

    def __init__(self):
        self.log = []
        self.outcomes = {}

    def call(self, key, args, kwargs, default):
        self.log.append((key, args, kwargs))
        outcome = self.outcomes.get(key, default)
        if isinstance(outcome, BaseException) or (
                isinstance(outcome, type) and issubclass(outcome, BaseException)):
            raise outcome
        return outcome(args, kwargs) if callable(outcome) else outcome

    def keys(self):
        return [key for key, _, _ in self.log]

    def calls(self, key):
        return [(args, kwargs) for k, args, kwargs in self.log if k == key]


def _fake_class(suite, name, methods):
    def init(self, *args, **kwargs):
        suite.call(f"{name}()", args, kwargs, None)

    namespace = {"__init__": init}
    for method, default in methods.items():
        def make(method=method, default=default):
            def call(self, *args, **kwargs):
                return suite.call(f"{name}.{method}", args, kwargs, default)
            call.__name__ = method
            return call
        namespace[method] = make()
    return type(name, (), namespace)


def _ready_result(name, category="fidelity"):
    return lambda args, kwargs: FakeMetricResult(name=name, value=0.9, category=category)


def _per_key(prefix):
    return lambda args, kwargs: {f"{prefix}_a": 0.91, f"{prefix}_b": 0.92}


def _module(monkeypatch, name, **attrs):
    module = types.ModuleType(name)
    for key, value in attrs.items():
        setattr(module, key, value)
    monkeypatch.setitem(sys.modules, name, module)
    return module


@pytest.fixture
def suite(monkeypatch):
    s = Suite()

    def compare(reports):
        return s.call("compare", (reports,), {}, "comparison")

    _module(monkeypatch, REPORT, EvaluationReport=FakeReport, MetricResult=FakeMetricResult,
            compare=compare)
    _module(monkeypatch, KS, KSComplementMetric=_fake_class(s, "KSComplementMetric", {
        "compute": lambda args, kwargs: {c: 0.8 for c in kwargs["columns"]}}))
    _module(monkeypatch, SIMILARITY,
            UnivariateSimilarityMetrics=_fake_class(s, "UnivariateSimilarityMetrics", {
                "wasserstein_distance_metric": _per_key("wasserstein"),
                "total_variation_distance": _per_key("total_variation"),
                "hellinger_distance": _per_key("hellinger"),
                "jensen_shannon_divergence": _per_key("jensen_shannon")}),
            CorrelationSimilarityMetrics=_fake_class(s, "CorrelationSimilarityMetrics", {
                "pearson_correlation_difference": 0.71,
                "spearman_correlation_difference": 0.72}),
            MultivariateSimilarityMetrics=_fake_class(s, "MultivariateSimilarityMetrics", {
                "correlation_matrix_distance": 0.73, "mmd_rbf": 0.74}))
    _module(monkeypatch, UTILITY, PredictionAgreementMetrics=_fake_class(
        s, "PredictionAgreementMetrics", {"prediction_agreement_percentage": 0.75}))
    _module(monkeypatch, ALPHA, AlphaPrecisionMetric=_fake_class(
        s, "AlphaPrecisionMetric", {"compute": _ready_result("alpha_precision")}))
    _module(monkeypatch, BETA, BetaRecallMetric=_fake_class(
        s, "BetaRecallMetric", {"compute": _ready_result("beta_recall")}))
    _module(monkeypatch, LEAK, LikelihoodLeakMetric=_fake_class(
        s, "LikelihoodLeakMetric", {"compute": _ready_result("likelihood_leak")}))
    _module(monkeypatch, TSTR, TSTRNormalizedMetric=_fake_class(
        s, "TSTRNormalizedMetric", {"compute": _ready_result("tstr_normalized", "utility")}))
    _module(monkeypatch, MIA, MembershipInferenceMetric=_fake_class(
        s, "MembershipInferenceMetric", {"compute": 0.75}))
    _module(monkeypatch, DTCR, DTCRMetric=_fake_class(s, "DTCRMetric", {"compute": 0.3}))

    def bootstrap_ci(real_arr, synth_arr, **kwargs):
        return s.call("bootstrap_ci", (real_arr, synth_arr), kwargs,
                      types.SimpleNamespace(lower=0.1, upper=0.2))

    _module(monkeypatch, BOOTSTRAP, bootstrap_ci=bootstrap_ci)
    return s


@pytest.fixture
def evaluator_module():
    from quorvix.tabular.evaluator import evaluator

    return evaluator


@pytest.fixture
def TabularEvaluator(evaluator_module):
    return evaluator_module.TabularEvaluator


@pytest.fixture
def tables():
    real = pd.DataFrame({
        "age": [23, 35, 47, 51, 62, 29],
        "income": [1.5, 2.5, np.nan, 4.0, 5.5, 3.0],
        "city": ["a", "b", "a", "c", "b", "a"],
    })
    synthetic = pd.DataFrame({
        "city": ["a", "a", "b", "c"],
        "income": [1.0, 2.0, 3.0, 4.0],
        "age": [30, 40, 50, 60],
    })
    return real, synthetic
