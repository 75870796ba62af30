"""Alpha-precision: share of synthetic records inside the real data's support."""

from __future__ import annotations

from typing import Optional

import pandas as pd

from quorvix.tabular.evaluator.metrics.fidelity._support import precision_and_coverage
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["AlphaPrecisionMetric"]


class AlphaPrecisionMetric:
    """Precision of the synthetic data against a k-NN estimate of the real
    data's support.

    Both tables are encoded on their shared columns (numeric columns
    standardised with the real mean and standard deviation, categorical
    columns one-hot, missing values imputed and flagged; see
    ``quorvix.evaluation.metrics._prep.Encoder``). Every real record gets a
    ball whose radius is the Euclidean distance to its k-th nearest other real
    record; the support of the real data is the union of these balls. The
    score is the share of synthetic records that fall inside it: 1 when every
    synthetic record looks like a plausible real one, lower when synthetic
    records land where no real data lives.

    At most ``max_samples`` records of each table are used (seeded random
    subsample), which bounds the pairwise distances at O(max_samples^2);
    fitting the encoding is one pass over the tables. With fewer than
    k + 1 real records, k is lowered to the number of real records minus one.
    The distances between the real and the synthetic sample serve
    beta-recall as well: both scores come from one pass, computed once per
    pair of tables in an evaluation, with the inner products taken from the
    encoding's layout (numeric columns, then agreeing categories; equal to
    the plain products up to rounding).
    """

    def __init__(self, k: int = 5, max_samples: int = 5000,
                 random_seed: Optional[int] = None) -> None:
        if int(k) < 1:
            raise ValueError(f"k must be >= 1, got {k}")
        if int(max_samples) < 2:
            raise ValueError(f"max_samples must be >= 2, got {max_samples}")
        self.k = int(k)
        self.max_samples = int(max_samples)
        self.random_seed = random_seed

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> MetricResult:
        """The "alpha_precision" result (category "fidelity") in [0, 1]."""
        # computed together with beta-recall (the same distances), once per pair
        scores = precision_and_coverage(real_data, synthetic_data, self.max_samples,
                                        self.random_seed, self.k)
        value, k_used, n_real, n_synth = scores[0], scores[2], scores[3], scores[4]
        return MetricResult(
            name="alpha_precision",
            value=value,
            category="fidelity",
            higher_is_better=True,
            description=("Share of synthetic records inside the k-NN support of "
                         "the real data. Higher = better fidelity."),
            details={"k": k_used, "n_real": n_real, "n_synthetic": n_synth},
        )
