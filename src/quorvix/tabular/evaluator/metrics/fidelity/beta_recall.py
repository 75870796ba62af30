"""Beta-recall: share of real records inside the synthetic data's support."""

from __future__ import annotations

from typing import Optional

import pandas as pd

from quorvix.tabular.evaluator.metrics.fidelity._support import embed_pair, support_score
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["BetaRecallMetric"]


class BetaRecallMetric:
    """Recall of the synthetic data: how much of the real data it covers.

    The mirror image of ``AlphaPrecisionMetric``: on the same encoding, every
    synthetic record gets a ball whose radius is the distance to its k-th
    nearest other synthetic record, and the score is the share of real
    records inside the union of those balls. It is 1 when the synthetic data
    covers every region of the real data and drops when it misses modes or
    rare categories.

    At most ``max_samples`` records of each table are used (seeded random
    subsample), which bounds the pairwise distances at O(max_samples^2);
    fitting the encoding is one pass over the tables. With fewer than
    k + 1 synthetic records, k is lowered to the number of synthetic records
    minus one.
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
        """The "beta_recall" result (category "fidelity") in [0, 1]."""
        x_real, x_synth = embed_pair(real_data, synthetic_data, self.max_samples,
                                     self.random_seed)
        value, k_used = support_score(x_synth, x_real, self.k, "synthetic")
        return MetricResult(
            name="beta_recall",
            value=value,
            category="fidelity",
            higher_is_better=True,
            description=("Share of real records inside the k-NN support of the "
                         "synthetic data. Higher = better coverage."),
            details={"k": k_used, "n_real": len(x_real), "n_synthetic": len(x_synth)},
        )
