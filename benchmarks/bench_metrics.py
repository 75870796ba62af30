"""Time each metric class once on a large mixed table.

Builds a 100,000-row x 20-column table (numeric, integer, boolean,
categorical and text columns, about 5 % missing values in several of them)
and a perturbed copy standing in for synthetic data, then runs every metric
once and prints how long each took.

    PYTHONPATH=src python benchmarks/bench_metrics.py [--rows N] [--seed S]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd


def build_table(n_rows: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    base = rng.normal(size=n_rows)
    cols = {}
    for i in range(8):  # correlated continuous columns
        cols[f"num_{i}"] = (0.6 * base + rng.normal(size=n_rows)) * (i + 1) + 10 * i
    cols["income"] = np.exp(rng.normal(10, 0.8, n_rows))
    cols["age"] = rng.integers(18, 90, n_rows)
    cols["visits"] = rng.poisson(3, n_rows)
    cols["score"] = rng.beta(2, 5, n_rows)
    cols["member"] = rng.random(n_rows) < 0.4
    cols["region"] = rng.choice(["north", "south", "east", "west"], n_rows,
                                p=[0.4, 0.3, 0.2, 0.1])
    cols["segment"] = np.where(base > 0.5, "premium", np.where(base < -0.5, "basic", "std"))
    cols["product"] = rng.choice([f"p{j:03d}" for j in range(150)], n_rows)
    cols["channel"] = rng.choice(["web", "app", "store"], n_rows)
    cols["grade"] = rng.choice(list("ABCDE"), n_rows)
    cols["city"] = rng.choice([f"city_{j}" for j in range(40)], n_rows)
    cols["churn"] = np.where(base + rng.normal(size=n_rows) > 1.0, "yes", "no")
    df = pd.DataFrame(cols)
    df["region"] = df["region"].astype("category")
    df["channel"] = df["channel"].astype("string")
    for c in ("num_1", "num_5", "income", "city", "grade"):
        df.loc[rng.random(n_rows) < 0.05, c] = np.nan
    return df


def perturb(df: pd.DataFrame, seed: int) -> pd.DataFrame:
    """Synthetic stand-in: resampled rows with noise and some swapped labels."""
    rng = np.random.default_rng(seed)
    out = df.sample(frac=1.0, replace=True, random_state=seed).reset_index(drop=True)
    for c in out.columns:
        s = out[c]
        if pd.api.types.is_bool_dtype(s):
            flip = rng.random(len(s)) < 0.05
            out[c] = s ^ flip
        elif pd.api.types.is_integer_dtype(s):
            out[c] = s + rng.integers(-1, 2, len(s))
        elif pd.api.types.is_float_dtype(s):
            out[c] = s + rng.normal(scale=0.1 * np.nanstd(s.to_numpy()), size=len(s))
        else:
            swap = rng.random(len(s)) < 0.05
            shuffled = s.sample(frac=1.0, random_state=seed).to_numpy()
            out.loc[swap, c] = shuffled[swap]
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

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
    from quorvix.tabular.evaluator.metrics.statistical.ks_complement import (
        KSComplementMetric,
        ks_statistic,
    )
    from quorvix.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric
    from quorvix.utils.bootstrap import bootstrap_ci

    # load the heavy libraries first so that no metric's time includes them
    import scipy.special  # noqa: F401
    import scipy.stats  # noqa: F401
    import sklearn.ensemble  # noqa: F401
    import sklearn.metrics  # noqa: F401

    t0 = time.perf_counter()
    real = build_table(args.rows, args.seed)
    synth = perturb(real, args.seed + 1)
    print(f"tables: {real.shape[0]:,} x {real.shape[1]} "
          f"(built in {time.perf_counter() - t0:.2f} s)")

    num_cols = [c for c in real.columns
                if pd.api.types.is_numeric_dtype(real[c])
                and pd.api.types.is_numeric_dtype(synth[c])]

    def mean_ks(r, s):
        return float(np.mean([1.0 - ks_statistic(r[:, j], s[:, j]) for j in range(r.shape[1])]))

    def summarise(out):
        if hasattr(out, "value"):
            return f"{out.value:.4f}"
        if isinstance(out, dict):
            vals = list(out.values())
            return f"{len(vals)} columns, mean {np.mean(vals):.4f}" if vals else "no columns"
        if hasattr(out, "lower"):
            return f"[{out.lower:.4f}, {out.upper:.4f}]"
        return f"{out:.4f}"

    runs = [
        ("KSComplementMetric.compute",
         lambda: KSComplementMetric().compute(real, synth, columns=list(real.columns))),
        ("Univariate.wasserstein_distance_metric",
         lambda: UnivariateSimilarityMetrics(real, synth).wasserstein_distance_metric()),
        ("Univariate.total_variation_distance",
         lambda: UnivariateSimilarityMetrics(real, synth).total_variation_distance()),
        ("Univariate.hellinger_distance",
         lambda: UnivariateSimilarityMetrics(real, synth).hellinger_distance()),
        ("Univariate.jensen_shannon_divergence",
         lambda: UnivariateSimilarityMetrics(real, synth).jensen_shannon_divergence()),
        ("Correlation.pearson_correlation_difference",
         lambda: CorrelationSimilarityMetrics(real, synth).pearson_correlation_difference()),
        ("Correlation.spearman_correlation_difference",
         lambda: CorrelationSimilarityMetrics(real, synth).spearman_correlation_difference()),
        ("Multivariate.correlation_matrix_distance",
         lambda: MultivariateSimilarityMetrics(real, synth).correlation_matrix_distance()),
        ("Multivariate.mmd_rbf",
         lambda: MultivariateSimilarityMetrics(real, synth).mmd_rbf()),
        ("PredictionAgreementMetrics (target num_0)",
         lambda: PredictionAgreementMetrics(real, synth, "num_0").prediction_agreement_percentage()),
        ("TSTRNormalizedMetric (target churn)",
         lambda: TSTRNormalizedMetric(random_seed=0).compute(real, synth)),
        ("AlphaPrecisionMetric", lambda: AlphaPrecisionMetric().compute(real, synth)),
        ("BetaRecallMetric", lambda: BetaRecallMetric().compute(real, synth)),
        ("LikelihoodLeakMetric", lambda: LikelihoodLeakMetric(random_seed=0).compute(real, synth)),
        ("MembershipInferenceMetric (AUC)", lambda: MembershipInferenceMetric().compute(real, synth)),
        ("DTCRMetric", lambda: DTCRMetric().compute(real, synth)),
        ("bootstrap_ci, mean KS, n_boot=20",
         lambda: bootstrap_ci(real[num_cols].fillna(0).values, synth[num_cols].fillna(0).values,
                              stat_fn=mean_ks, n_boot=20, alpha=0.05, random_seed=0)),
    ]

    width = max(len(name) for name, _ in runs)
    print(f"\n{'metric':<{width}}  {'seconds':>8}  result")
    print("-" * (width + 40))
    total = 0.0
    for name, fn in runs:
        start = time.perf_counter()
        try:
            result = summarise(fn())
        except ValueError as exc:
            result = f"ValueError: {exc}"
        elapsed = time.perf_counter() - start
        total += elapsed
        print(f"{name:<{width}}  {elapsed:8.2f}  {result}")
    print("-" * (width + 40))
    print(f"{'total':<{width}}  {total:8.2f}")


if __name__ == "__main__":
    main()
