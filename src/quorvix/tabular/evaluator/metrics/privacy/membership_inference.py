"""Distance-based membership inference attack."""

from __future__ import annotations

from typing import Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    check_pair,
    common_columns,
    make_rng,
    mann_whitney_auc,
    nearest_sq_distances,
    pair_encoder,
)
from quorvix.evaluation.metrics._shared import pair_memo

__all__ = ["MembershipInferenceMetric"]


class MembershipInferenceMetric:
    """AUC of a nearest-neighbour membership attack on the synthetic data.

    The attacker believes a record was used to make the synthetic data when a
    synthetic record lies closer to it than real records usually lie to each
    other. For each sampled real record q the attack compares

    - d_syn(q): distance from q to its nearest synthetic record, with
    - d_real(q): distance from q to its nearest *other* real record,

    where both reference sets have the same size (a random set of m real
    records, at most ``max_reference``, and m - 1 synthetic records), since a
    larger set alone would bring its nearest record closer. The result is
    AUC = P(d_syn(q) < d_real(q')) over sampled real records q, q' (at most
    ``max_queries`` of them), ties counting one half, floored at 0.5.
    Distances are Euclidean in the standardised encoding of
    ``quorvix.evaluation.metrics._prep.Encoder`` (their inner products taken
    from its layout: numeric columns, then agreeing categories; equal to the
    plain products up to rounding).

    - 0.5: no membership signal. This includes synthetic records that lie
      farther from the real records than real records lie from one another:
      that is poor fidelity, not leakage, and an attacker learns nothing
      about membership from it. (Unfloored, such a table would score below
      0.5, and the evaluator's risk 2 * |AUC - 0.5| would report it as a
      privacy risk.)
    - towards 1: synthetic records sit on top of real records (copies).

    Cost is O(max_queries * max_reference * features). On tables larger than
    ``max_reference`` only copies of records that fall in the sampled
    reference set are seen, which dilutes the signal.
    """

    def __init__(self, max_queries: int = 1000, max_reference: int = 20_000,
                 random_seed: Optional[int] = None) -> None:
        if int(max_queries) < 1 or int(max_reference) < 2:
            raise ValueError("max_queries must be >= 1 and max_reference >= 2")
        self.max_queries = int(max_queries)
        self.max_reference = int(max_reference)
        self.random_seed = random_seed

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> float:
        """The attack's AUC in [0.5, 1]; 0.5 means no signal."""
        check_pair(real_data, synthetic_data)
        if not common_columns(real_data, synthetic_data):
            raise ValueError("the tables share no column")
        n_real, n_synth = len(real_data), len(synthetic_data)
        if n_real < 2 or n_synth < 1:
            raise ValueError(
                "membership inference needs at least 2 real rows and 1 synthetic row, "
                f"have {n_real} and {n_synth}")
        m = min(n_real, n_synth + 1, self.max_reference)
        rng = make_rng(self.random_seed)
        real_ref = real_data.iloc[np.sort(rng.choice(n_real, size=m, replace=False))]
        synth_ref = synthetic_data.iloc[np.sort(rng.choice(n_synth, size=m - 1,
                                                           replace=False))]
        # the encoder fitted on the whole pair, shared with alpha-precision and
        # beta-recall of the same evaluation
        enc = pair_encoder(pair_memo(real_data, synthetic_data), real_data, synthetic_data)
        x_real = enc.encode(real_ref)
        x_synth = enc.encode(synth_ref)
        q = np.sort(rng.choice(m, size=min(self.max_queries, m), replace=False))
        queries = x_real.take(q)
        d_syn = nearest_sq_distances(queries, x_synth)
        d_real = nearest_sq_distances(queries, x_real, exclude=q)
        # a smaller distance is the stronger membership signal; synthetic
        # records that are merely far away carry none
        return max(mann_whitney_auc(-d_syn, -d_real), 0.5)
