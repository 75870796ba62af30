"""The calls the evaluator makes into these modules, made the same way."""

import json

import numpy as np
import pandas as pd
from scipy.stats import ks_2samp

from quorvix.evaluation.metrics.similarity import (
    CorrelationSimilarityMetrics,
    MultivariateSimilarityMetrics,
    UnivariateSimilarityMetrics,
)
from quorvix.evaluation.metrics.utility import PredictionAgreementMetrics
from quorvix.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from quorvix.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak import LikelihoodLeakMetric
from quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
from quorvix.tabular.evaluator.metrics.privacy.membership_inference import (
    MembershipInferenceMetric,
)
from quorvix.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric
from quorvix.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric
from quorvix.tabular.evaluator.report import EvaluationReport, MetricResult, compare
from quorvix.utils.bootstrap import bootstrap_ci


def run_like_evaluator(real, synth, seed=None):
    report = EvaluationReport(real_data_n_rows=len(real), synthetic_data_n_rows=len(synth),
                              n_columns=len(real.columns), generator_name="NoneType")
    common = list(set(real.columns) & set(synth.columns))

    def add(name, value, category="statistical"):
        report.add_metric(MetricResult(name=name, value=value, category=category,
                                       higher_is_better=True, description="d"))

    for col, v in KSComplementMetric().compute(real, synth, columns=common).items():
        add("ks_complement_" + str(col), v)
    uni = UnivariateSimilarityMetrics
    for method in ("wasserstein_distance_metric", "total_variation_distance",
                   "hellinger_distance", "jensen_shannon_divergence"):
        for key, v in getattr(uni(real, synth), method)().items():
            add(key, v)
    add("pearson_correl_diff", CorrelationSimilarityMetrics(real, synth)
        .pearson_correlation_difference())
    add("spearman_correl_diff", CorrelationSimilarityMetrics(real, synth)
        .spearman_correlation_difference())
    add("correlation_matrix_distance", MultivariateSimilarityMetrics(real, synth)
        .correlation_matrix_distance())
    add("mmd_rbf", MultivariateSimilarityMetrics(real, synth).mmd_rbf())
    target = next(c for c in real.columns if len(real[c].dropna().unique()) >= 2)
    add("prediction_agreement",
        PredictionAgreementMetrics(real, synth, target).prediction_agreement_percentage(),
        "utility")
    report.add_metric(AlphaPrecisionMetric().compute(real, synth))
    report.add_metric(BetaRecallMetric().compute(real, synth))
    report.add_metric(LikelihoodLeakMetric(random_seed=seed).compute(real, synth))

    auc = MembershipInferenceMetric().compute(real, synth)
    risk = abs(auc - 0.5) * 2
    report.add_metric(MetricResult(name="membership_inference_auc", value=risk,
                                   category="privacy", higher_is_better=False,
                                   description=f"AUC={auc:.4f}",
                                   details={"auc": auc, "privacy_risk": risk}), scope="privacy")
    report.add_metric(MetricResult(name="distance_to_closest_record",
                                   value=DTCRMetric().compute(real, synth), category="privacy",
                                   higher_is_better=True, description="d"), scope="privacy")
    report.add_metric(MetricResult(name="nnd_ratio", value=0.0, category="privacy"),
                      scope="privacy")
    report.add_metric(TSTRNormalizedMetric(random_seed=seed).compute(real, synth))
    report.evaluation_time_seconds = 1.25

    num_cols = [c for c in real.columns if c in synth.columns
                and pd.api.types.is_numeric_dtype(real[c])
                and pd.api.types.is_numeric_dtype(synth[c])]

    def _mean_ks(r_arr, s_arr):
        vals = []
        for j in range(r_arr.shape[1]):
            try:
                stat, _ = ks_2samp(r_arr[:, j], s_arr[:, j])
                vals.append(1.0 - stat)
            except Exception:
                pass
        return float(np.mean(vals)) if vals else 0.0

    ci = bootstrap_ci(real[num_cols].fillna(0).values, synth[num_cols].fillna(0).values,
                      stat_fn=_mean_ks, n_boot=30, alpha=0.05, random_seed=seed)
    for name in [k for k in report.aggregate_metrics if "ks_complement" in k or k.startswith("ks")]:
        report.aggregate_metrics[name].confidence_interval = (ci.lower, ci.upper)
    return report


# the default TSTR target is the last column, so put a predictable one there
ORDER = ["x", "y", "count", "flag", "city"]


def test_full_run_fills_a_report_that_renders_and_round_trips(real_table, twin_table):
    report = run_like_evaluator(real_table[ORDER], twin_table[ORDER])
    names = list(report.aggregate_metrics)
    # per-column results follow the real table's column order
    assert names[:4] == ["ks_complement_x", "ks_complement_y", "ks_complement_count",
                         "ks_complement_flag"]
    assert names[-1] == "tstr_normalized"
    assert list(report.privacy_metrics) == ["membership_inference_auc",
                                            "distance_to_closest_record", "nnd_ratio"]
    for m in {**report.aggregate_metrics, **report.privacy_metrics}.values():
        # the HTML page formats every value with ".4f" and tests the direction
        format(m.value, ".4f")
        assert 0.0 <= m.value <= 1.0 and m.higher_is_better in (True, False)
    ci = report.aggregate_metrics["ks_complement_x"].confidence_interval
    assert ci[0] <= ci[1]
    assert f"{report.real_data_n_rows:,}" == "1,500"
    assert all(isinstance(v, str) for v in (report.timestamp, report.dataset_name,
                                            report.generator_name))

    back = EvaluationReport.from_json(report.to_json())
    assert back.to_dict() == json.loads(report.to_json())
    assert "tstr_normalized" in report.summary()


def test_same_seed_same_report_and_comparison(real_table, twin_table, shifted_table):
    real_table, twin_table = real_table[ORDER], twin_table[ORDER]
    a = run_like_evaluator(real_table, twin_table, seed=3)
    b = run_like_evaluator(real_table, twin_table, seed=3)
    values = lambda r: {k: m.value for k, m in r.all_metrics.items()}  # noqa: E731
    assert values(a) == values(b)
    worse = run_like_evaluator(real_table, shifted_table[ORDER], seed=3)
    worse.generator_name = "Shifted"
    result = compare([worse, a])
    assert result.ranking == ["NoneType", "Shifted"]
    assert result.best["ks_complement_x"] == "NoneType"
