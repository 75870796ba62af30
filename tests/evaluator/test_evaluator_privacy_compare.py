"""_run_privacy_metric and compare."""

import sys

import numpy as np
import pytest


@pytest.mark.parametrize("auc, risk, shown", [
    (0.5, 0.0, "0.5000"),
    (0.75, 0.5, "0.7500"),
    (0.25, 0.5, "0.2500"),
    (1, 1.0, "1.0000"),
    (0, 1.0, "0.0000"),
    (0.123456, abs(0.123456 - 0.5) * 2, "0.1235"),
    (1.2, abs(1.2 - 0.5) * 2, "1.2000"),  # not clamped
])
def test_membership_inference(suite, TabularEvaluator, tables, auc, risk, shown):
    suite.outcomes["MembershipInferenceMetric.compute"] = auc
    real, synth = tables
    result = TabularEvaluator()._run_privacy_metric("membership_inference_auc", real, synth)
    assert isinstance(result, suite.MetricResult)
    assert result.kwargs == {
        "name": "membership_inference_auc", "value": risk, "category": "privacy",
        "higher_is_better": False,
        "description": f"Normalised privacy risk [0,1]. Raw AUC={shown}. "
                       "Values >0 mean attacker has signal.",
        "details": {"auc": auc, "privacy_risk": risk}}
    assert list(result.kwargs) == ["name", "value", "category", "higher_is_better",
                                   "description", "details"]
    assert type(result.value) is float
    assert result.details["auc"] is auc  # unrounded
    (args, kwargs), = suite.calls("MembershipInferenceMetric.compute")
    assert args[0] is real and args[1] is synth and kwargs == {}
    assert suite.calls("MembershipInferenceMetric()") == [((), {})]


def test_membership_inference_keeps_the_number_type(suite, TabularEvaluator, tables):
    suite.outcomes["MembershipInferenceMetric.compute"] = np.float32(0.75)
    result = TabularEvaluator()._run_privacy_metric("membership_inference_auc", *tables)
    assert type(result.value) is np.float32 and result.value == np.float32(0.5)


def test_distance_to_closest_record(suite, TabularEvaluator, tables):
    marker = object.__new__(type("Score", (), {}))
    suite.outcomes["DTCRMetric.compute"] = marker
    real, synth = tables
    result = TabularEvaluator()._run_privacy_metric(name="distance_to_closest_record",
                                                    real=real, synthetic=synth)
    assert result.kwargs == {
        "name": "distance_to_closest_record", "value": marker, "category": "privacy",
        "higher_is_better": True,
        "description": "Mean distance from real to nearest synthetic record. "
                       "Higher = better privacy."}
    assert list(result.kwargs)[-1] == "description"
    assert [k for k in suite.keys()] == ["DTCRMetric()", "DTCRMetric.compute"]


@pytest.mark.parametrize("name", ["nnd_ratio", "nn_adversarial_accuracy", "", "anything"])
def test_other_names_get_a_placeholder(suite, TabularEvaluator, tables, name):
    result = TabularEvaluator()._run_privacy_metric(name, *tables)
    assert result.kwargs == {"name": name, "value": 0.0, "category": "privacy"}
    assert type(result.value) is float
    assert suite.log == []


def test_report_module_is_needed_even_for_a_placeholder(suite, TabularEvaluator, tables,
                                                        monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvix.tabular.evaluator.report", None)
    with pytest.raises(ImportError):
        TabularEvaluator()._run_privacy_metric("nnd_ratio", *tables)


@pytest.mark.parametrize("name, message", [
    (None, "Argument 'name' has incorrect type (expected str, got NoneType)"),
    (b"nnd_ratio", "Argument 'name' has incorrect type (expected str, got bytes)"),
    (type("Name", (str,), {})("nnd_ratio"),
     "Argument 'name' has incorrect type (expected str, got Name)"),
])
def test_name_must_be_a_str(suite, TabularEvaluator, tables, name, message):
    with pytest.raises(TypeError) as info:
        TabularEvaluator()._run_privacy_metric(name, *tables)
    assert str(info.value) == message


def test_arity(TabularEvaluator, tables):
    with pytest.raises(TypeError, match=r"^_run_privacy_metric\(\) takes exactly 4 positional "
                                        r"arguments \(3 given\)$"):
        TabularEvaluator()._run_privacy_metric("nnd_ratio", tables[0])


@pytest.mark.parametrize("auc, error", [("0.7", TypeError), (None, TypeError)])
def test_failures_reach_the_caller(suite, TabularEvaluator, tables, auc, error):
    suite.outcomes["MembershipInferenceMetric.compute"] = auc
    with pytest.raises(error):
        TabularEvaluator()._run_privacy_metric("membership_inference_auc", *tables)
    suite.outcomes["DTCRMetric.compute"] = OverflowError("too far")
    with pytest.raises(OverflowError):
        TabularEvaluator()._run_privacy_metric("distance_to_closest_record", *tables)


# ---------------------------------------------------------------------------
# compare

def test_compare_hands_the_list_on(suite, TabularEvaluator):
    reports = [object(), object()]
    assert TabularEvaluator().compare(reports) == "comparison"
    (args, kwargs), = suite.calls("compare")
    assert args[0] is reports and kwargs == {}
    suite.outcomes["compare"] = lambda args, kwargs: ("ranked", len(args[0]))
    assert TabularEvaluator().compare(reports=[]) == ("ranked", 0)


def test_compare_errors_pass_through(suite, TabularEvaluator):
    suite.outcomes["compare"] = ValueError("reports disagree")
    with pytest.raises(ValueError, match="reports disagree"):
        TabularEvaluator().compare([1])


@pytest.mark.parametrize("reports, got", [
    ((), "tuple"), (None, "NoneType"), (type("Reports", (list,), {})(), "Reports"),
])
def test_compare_refuses_non_lists_before_importing(TabularEvaluator, monkeypatch, reports,
                                                    got):
    # With the report module unimportable, only a check made first can raise TypeError.
    monkeypatch.setitem(sys.modules, "quorvix.tabular.evaluator.report", None)
    with pytest.raises(TypeError) as info:
        TabularEvaluator().compare(reports)
    assert str(info.value) == f"Argument 'reports' has incorrect type (expected list, got {got})"


def test_compare_without_report_module(TabularEvaluator, monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvix.tabular.evaluator.report", None)
    with pytest.raises(ImportError):
        TabularEvaluator().compare([])
