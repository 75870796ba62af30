"""Beta-recall: share of real records inside the synthetic data's support."""

from __future__ import annotations

from typing import Optional

import pandas as pd

from quorvix.tabular.evaluator.metrics.fidelity._support import precision_and_coverage
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["BetaRecallMetric"]


class BetaRecallMetric:
    """Recall of the synthetic data: how much of the real data it covers
    (the coverage of the density-and-coverage estimators).

    On the encoding of ``AlphaPrecisionMetric``, every real record gets a
    ball whose radius is the Euclidean distance to its k-th nearest other
    real record; the score is the share of these balls that hold at least
    one synthetic record. It is 1 when the synthetic data has a record near
    every real one, and drops when it misses modes or rare categories, or
    spreads its records where no real data lives: for a fresh sample of the
    real population it is about 1 - 2^-k (0.97 for k = 5, with tables of the
    same size), for uniform noise far less. The balls are centred on real
    records because balls around synthetic records grow with the spread of
    the synthetic data, so scattered noise would cover everything.

    At most ``max_samples`` records of each table are used (seeded random
    subsample), which bounds the pairwise distances at O(max_samples^2);
    fitting the encoding is one pass over the tables. With fewer than
    k + 1 real records, k is lowered to the number of real records minus
    one. It is computed together with alpha-precision, from the same
    distances (see ``AlphaPrecisionMetric``).
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
        # computed together with alpha-precision (the same distances), once per pair
        scores = precision_and_coverage(real_data, synthetic_data, self.max_samples,
                                        self.random_seed, self.k)
        value, k_used, n_real, n_synth = scores[1], scores[2], scores[3], scores[4]
        return MetricResult(
            name="beta_recall",
            value=value,
            category="fidelity",
            higher_is_better=True,
            description=("Share of real records whose k-NN ball holds a synthetic "
                         "record. Higher = better coverage."),
            details={"k": k_used, "n_real": n_real, "n_synthetic": n_synth},
        )
