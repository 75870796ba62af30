import json
import math

import numpy as np
import pandas as pd
import pytest

from quorvix.tabular.evaluator.report import (
    ComparisonResult,
    EvaluationReport,
    MetricResult,
    compare,
)


def new_report(name="gen", **kw):
    return EvaluationReport(real_data_n_rows=kw.pop("real", 100),
                            synthetic_data_n_rows=kw.pop("synth", 90),
                            n_columns=kw.pop("cols", 4), generator_name=name, **kw)


def test_metric_result_defaults_are_per_instance():
    a = MetricResult(name="a", value=0.5, category="statistical")
    b = MetricResult(name="b", value=0.5, category="statistical")
    a.details["k"] = 1
    assert b.details == {}
    assert (a.higher_is_better, a.description, a.confidence_interval) == (True, "", None)
    a.confidence_interval = (0.1, 0.9)  # settable, as the bootstrap step does
    assert a.confidence_interval == (0.1, 0.9)


def test_report_construction_and_scopes():
    r = new_report(dataset_name="adult")
    assert (r.real_data_n_rows, r.synthetic_data_n_rows, r.n_columns) == (100, 90, 4)
    assert r.dataset_name == "adult"
    assert r.timestamp.endswith("+00:00")  # ISO-8601, UTC
    r.evaluation_time_seconds = 1.5
    r.add_metric(MetricResult(name="ks_complement_a", value=0.9, category="statistical"))
    r.add_metric(MetricResult(name="mia", value=0.1, category="privacy",
                              higher_is_better=False), scope="privacy")
    r.add_metric(MetricResult(name="alpha", value=0.8, category="fidelity"))
    assert list(r.aggregate_metrics) == ["ks_complement_a", "alpha"]
    assert list(r.privacy_metrics) == ["mia"]
    with pytest.raises(ValueError, match="scope"):
        r.add_metric(MetricResult(name="x", value=1, category="c"), scope="other")
    with pytest.raises(TypeError):
        r.add_metric(0.5)


def test_report_needs_keywords():
    with pytest.raises(TypeError):
        EvaluationReport(100, 90, 4, "gen")


def test_summary_lists_every_metric():
    r = new_report(name="CopulaGen", real=12345)
    r.add_metric(MetricResult(name="wasserstein_age", value=0.87654, category="statistical"))
    r.add_metric(MetricResult(name="distance_to_closest_record", value=0.2,
                              category="privacy"), scope="privacy")
    text = r.summary()
    assert "CopulaGen" in text and "12,345" in text
    assert "wasserstein_age" in text and "0.8765" in text
    assert "distance_to_closest_record" in text


def test_json_round_trip_with_nonfinite_and_numpy_values():
    r = new_report(dataset_name="d1", timestamp="2024-01-02T03:04:05+00:00")
    r.evaluation_time_seconds = 2.25
    r.add_metric(MetricResult(name="a", value=np.float64(0.25), category="statistical",
                              details={"arr": np.arange(3), "n": np.int64(4),
                                       "bad": float("inf")},
                              confidence_interval=(np.float64(0.2), 0.3)))
    r.add_metric(MetricResult(name="nan_metric", value=float("nan"), category="statistical"))
    r.add_metric(MetricResult(name="inf_metric", value=float("-inf"), category="privacy",
                              higher_is_better=False), scope="privacy")
    text = r.to_json()
    data = json.loads(text)  # strict JSON: no NaN/Infinity tokens
    assert "NaN" not in text and "Infinity" not in text
    assert data["aggregate_metrics"]["nan_metric"]["value"] is None
    assert data["aggregate_metrics"]["a"]["details"] == {"arr": [0, 1, 2], "n": 4, "bad": None}

    back = EvaluationReport.from_json(text)
    assert (back.generator_name, back.dataset_name, back.timestamp) == (
        "gen", "d1", "2024-01-02T03:04:05+00:00")
    assert (back.real_data_n_rows, back.synthetic_data_n_rows, back.n_columns) == (100, 90, 4)
    assert back.evaluation_time_seconds == 2.25
    assert list(back.aggregate_metrics) == ["a", "nan_metric"]
    a = back.aggregate_metrics["a"]
    assert a.value == 0.25 and a.confidence_interval == (0.2, 0.3)
    assert math.isnan(back.aggregate_metrics["nan_metric"].value)
    inf_m = back.privacy_metrics["inf_metric"]
    assert math.isnan(inf_m.value) and inf_m.higher_is_better is False
    assert back.to_dict() == EvaluationReport.from_dict(back.to_dict()).to_dict()


@pytest.mark.parametrize("text", ["not json", "[1, 2]", '{"generator_name": "g"}'])
def test_from_json_refuses_bad_documents(text):
    with pytest.raises(ValueError):
        EvaluationReport.from_json(text)


def _report(name, values, privacy=None):
    r = new_report(name=name)
    for metric, (value, hib) in values.items():
        r.add_metric(MetricResult(name=metric, value=value, category="statistical",
                                  higher_is_better=hib))
    for metric, (value, hib) in (privacy or {}).items():
        r.add_metric(MetricResult(name=metric, value=value, category="privacy",
                                  higher_is_better=hib), scope="privacy")
    return r


def test_compare_respects_direction_and_ranks():
    a = _report("A", {"fid": (0.9, True)}, {"risk": (0.8, False)})
    b = _report("B", {"fid": (0.7, True)}, {"risk": (0.1, False)})
    c = _report("C", {"fid": (0.95, True)}, {"risk": (0.05, False)})
    result = compare([a, b, c])
    assert result.best == {"fid": "C", "risk": "C"}
    assert result.ranking[0] == "C"
    # A: ranks 2 and 3; B: ranks 3 and 2 -> tie, kept in the given order
    assert result.mean_ranks == {"A": 2.5, "B": 2.5, "C": 1.0}
    assert result.ranking == ["C", "A", "B"]
    df = result.to_dataframe()
    assert list(df.columns) == ["A", "B", "C", "higher_is_better", "best"]
    assert df.loc["risk", "B"] == 0.1 and not df.loc["risk", "higher_is_better"]


def test_compare_missing_metrics_and_duplicate_names():
    a = _report("G", {"m1": (0.5, True), "m2": (float("nan"), True)})
    b = _report("G", {"m1": (0.6, True), "m3": (0.2, True)})
    result = compare([a, b])
    assert result.labels == ["G", "G (2)"]
    assert result.metric_names == ["m1", "m2", "m3"]
    assert math.isnan(result.values["m3"]["G"])
    assert result.best == {"m1": "G (2)", "m2": None, "m3": "G (2)"}
    assert result.ranking == ["G (2)", "G"]


def test_compare_empty_and_bad_items():
    empty = compare([])
    assert isinstance(empty, ComparisonResult) and len(empty) == 0
    assert empty.ranking == [] and empty.to_dataframe().empty
    assert isinstance(empty.summary(), str)
    with pytest.raises(TypeError):
        compare([object()])


def test_compare_reloaded_reports():
    a = _report("A", {"fid": (0.9, True)})
    b = _report("B", {"fid": (0.95, True)})
    reloaded = [EvaluationReport.from_json(r.to_json()) for r in (a, b)]
    assert compare(reloaded).ranking == ["B", "A"]
    assert "fid" in compare(reloaded).summary()
    assert isinstance(compare(reloaded).to_dataframe(), pd.DataFrame)


# -- privacy verdict ------------------------------------------------------------------


def privacy_report(risk=None, dcr=None, leak=None, name="gen"):
    r = new_report(name=name)
    r.add_metric(MetricResult(name="ks_complement_a", value=0.9, category="statistical"))
    if leak is not None:
        r.add_metric(MetricResult(name="likelihood_leak", value=leak, category="privacy"))
    if risk is not None:
        r.add_metric(MetricResult(name="membership_inference_auc", value=risk, category="privacy",
                                  higher_is_better=False), scope="privacy")
    if dcr is not None:
        r.add_metric(MetricResult(name="distance_to_closest_record", value=dcr,
                                  category="privacy"), scope="privacy")
    return r


@pytest.mark.parametrize(
    "risk, dcr, leak, level, reason",
    [
        (0.99, 0.0, 0.25, "HIGH", "synthetic rows copy real rows"),
        (0.95, 0.5, 1.0, "HIGH", "synthetic rows copy real rows"),
        (0.4, 0.2, 1.0, "HIGH", "much closer to real rows than a fresh sample"),
        (0.6, 0.9, 1.0, "HIGH", "a membership attack tells real records apart"),
        (0.1, 0.5, 1.0, "MODERATE", "some synthetic rows lie closer"),
        (0.3, 0.9, 1.0, "MODERATE", "a membership attack has some signal"),
        (0.0, 1.0, 0.4, "MODERATE", "likelier than unseen real rows"),
        (0.05, 0.97, 0.95, "LOW", "no closer to real rows than a fresh sample"),
        (None, 0.97, None, "LOW", "judged without membership_inference_auc"),
        (0.65, 0.0, None, "HIGH", "copy"),
    ],
)
def test_privacy_verdict_levels(risk, dcr, leak, level, reason):
    r = privacy_report(risk, dcr, leak)
    verdict = r.privacy_verdict()
    assert verdict.level == level and reason in verdict.reason
    line = r.summary().splitlines()[-1]
    assert line == verdict.line() and line.startswith(f"Privacy: {level} risk (")
    if risk is not None:
        assert f"membership risk {risk:.2f}" in line
    assert f"DCR score {dcr:.2f}" in line


def test_privacy_verdict_without_privacy_metrics():
    verdict = privacy_report().privacy_verdict()
    assert verdict.level is None
    assert verdict.line() == "Privacy: not assessed (no privacy metric in the report)"
    assert all(verdict.worse_than(level) for level in ("LOW", "MODERATE", "HIGH"))


def test_privacy_levels_are_ordered():
    moderate = privacy_report(0.3, 0.9, 1.0).privacy_verdict()
    assert moderate.worse_than("LOW")
    assert not moderate.worse_than("MODERATE") and not moderate.worse_than("HIGH")
    with pytest.raises(ValueError, match="unknown privacy level"):
        moderate.worse_than("SEVERE")


def test_compare_carries_quality_and_privacy():
    copy_r = privacy_report(0.99, 0.0, 0.25, name="copy")
    fresh_r = privacy_report(0.02, 1.0, 1.0, name="fresh")
    result = compare([copy_r, fresh_r])
    assert result.privacy["copy"].level == "HIGH" and result.privacy["fresh"].level == "LOW"
    assert result.quality["copy"] == pytest.approx(copy_r.overall_score())
    text = result.summary()
    assert "Quality and privacy:" in text
    assert any(ln.strip().startswith("fresh") and "Privacy: LOW risk" in ln for ln in text.splitlines())
    data = result.to_dict()
    assert data["privacy"]["copy"]["level"] == "HIGH"
    json.dumps(data)  # plain data
    # a report read back from JSON gets the same verdict
    again = EvaluationReport.from_json(copy_r.to_json()).privacy_verdict()
    assert again == copy_r.privacy_verdict()
