"""Smoke tests of the evaluator with the package's real report, metric and
bootstrap modules (skipped where one of them is missing)."""

import importlib

import numpy as np
import pandas as pd
import pytest

OUTSIDE = [
    "quorvix.tabular.evaluator.report",
    "quorvix.tabular.evaluator.metrics.statistical.ks_complement",
    "quorvix.evaluation.metrics.similarity",
    "quorvix.evaluation.metrics.utility",
    "quorvix.tabular.evaluator.metrics.fidelity.alpha_precision",
    "quorvix.tabular.evaluator.metrics.fidelity.beta_recall",
    "quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak",
    "quorvix.tabular.evaluator.metrics.utility.tstr",
    "quorvix.tabular.evaluator.metrics.privacy.membership_inference",
    "quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record",
    "quorvix.utils.bootstrap",
]


@pytest.fixture(autouse=True)
def real_modules():
    for name in OUTSIDE:
        try:
            importlib.import_module(name)
        except ImportError as exc:
            pytest.skip(f"outside module {name} is not available: {exc}")


def mixed_table(n, seed):
    rng = np.random.default_rng(seed)
    score = rng.normal(0, 1, n)
    table = pd.DataFrame({
        "segment": rng.choice(["a", "b", "c"], n),
        "age": rng.integers(18, 90, n),
        "income": rng.lognormal(10, 0.5, n),
        "score": score,
        "score_x2": 2 * score + rng.normal(0, 0.1, n),
    })
    table.loc[rng.choice(n, n // 10, replace=False), "income"] = np.nan
    return table


def test_identical_tables(TabularEvaluator, tmp_path):
    real = mixed_table(300, 0)
    e = TabularEvaluator(random_seed=0, compute_bootstrap_ci=True, n_bootstrap=40)
    report = e.evaluate(real, real.copy())

    names = list(report.aggregate_metrics)
    groups = ["ks_complement_", "wasserstein_", "total_variation_", "hellinger_",
              "jensen_shannon_", "pearson_correl_diff", "spearman_correl_diff",
              "correlation_matrix_distance", "mmd_rbf", "prediction_agreement",
              "alpha_precision", "beta_recall", "likelihood_leak", "tstr_normalized"]
    first_of = [next(i for i, n in enumerate(names) if n.startswith(g)) for g in groups]
    assert first_of == sorted(first_of), names
    assert list(report.privacy_metrics) == ["membership_inference_auc",
                                            "distance_to_closest_record"]

    similarities = {k: m.value for k, m in report.aggregate_metrics.items()
                    if m.category == "statistical"}
    assert similarities and all(v == pytest.approx(1.0, abs=1e-6)
                                for v in similarities.values()), similarities
    ks = [m for k, m in report.aggregate_metrics.items() if k.startswith("ks_complement_")]
    assert ks and all(m.confidence_interval is not None for m in ks)
    assert all(m.confidence_interval is None for k, m in report.aggregate_metrics.items()
               if not k.startswith("ks"))

    html = e.to_html(report, str(tmp_path / "report.html"), real, real.copy())
    n_metrics = len(report.aggregate_metrics) + len(report.privacy_metrics)
    assert html.count("<tr><td>") == n_metrics
    assert html.count("<div class='plot-card'><img") == 4  # age, income, score, score_x2
    assert "alt='Correlation'" in html
    assert (tmp_path / "report.html").read_text(encoding="utf-8") == html


def test_noise_scores_lower(TabularEvaluator):
    real = mixed_table(300, 0)
    rng = np.random.default_rng(1)
    noise = pd.DataFrame({
        "segment": rng.choice(["x", "y"], 300),
        "age": rng.integers(0, 1000, 300),
        "income": rng.uniform(-5, 5, 300),
        "score": rng.uniform(-50, 50, 300),
        "score_x2": rng.uniform(0, 1, 300),
    })
    e = TabularEvaluator(random_seed=0)
    same = e.evaluate(real, real.copy())
    noisy = e.evaluate(real, noise)

    def mean_similarity(report):
        values = [m.value for m in report.aggregate_metrics.values()
                  if m.category == "statistical"]
        return float(np.mean(values))

    assert mean_similarity(noisy) < 0.6 < mean_similarity(same)
    assert all(noisy.aggregate_metrics[f"ks_complement_{c}"].value < 0.9
               for c in ["age", "income", "score", "score_x2"])
