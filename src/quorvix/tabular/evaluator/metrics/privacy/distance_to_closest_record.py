"""Distance from real records to their closest synthetic record."""

from __future__ import annotations

from typing import Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    categorical_codes,
    check_pair,
    common_columns,
    float_values,
    is_numeric_pair,
    make_rng,
)

__all__ = ["DTCRMetric"]

# Missing numeric entries are encoded as this value; real values are scaled
# into [0, 1] and synthetic ones clipped into [-1, 2], so a missing entry is
# always at least 1 away from a present one and 0 away from another missing one.
_MISSING = 10.0


class DTCRMetric:
    """Mean distance to closest record (DCR) with Gower's distance.

    For each sampled real record the distance to its nearest synthetic record
    is taken, and the result is the mean of these distances. The Gower
    distance of two records is the mean over the shared columns of:

    - numeric columns: min(1, |x - y| / range), range being max - min of the
      real column; for a constant real column, 0 if equal and 1 otherwise;
    - other columns: 0 if the values are equal, 1 otherwise;
    - missing values: 0 when both are missing, 1 when only one is.

    Every term lies in [0, 1], so the result does too: 0 when every real
    record has an exact copy among the synthetic records, larger when the
    synthetic data keeps its distance. At most ``max_queries`` real records
    and ``max_reference`` synthetic records are used (seeded subsamples), so
    the cost is bounded by O(max_queries * max_reference * columns).
    Identical tables larger than ``max_reference`` therefore score above 0.
    """

    def __init__(self, max_queries: int = 2000, max_reference: int = 10_000,
                 random_seed: Optional[int] = None) -> None:
        if int(max_queries) < 1 or int(max_reference) < 1:
            raise ValueError("max_queries and max_reference must be >= 1")
        self.max_queries = int(max_queries)
        self.max_reference = int(max_reference)
        self.random_seed = random_seed

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> float:
        """Mean Gower distance from real records to their closest synthetic
        record, in [0, 1] (higher = synthetic data farther from real data)."""
        check_pair(real_data, synthetic_data)
        cols = common_columns(real_data, synthetic_data)
        if not cols:
            raise ValueError("the tables share no column")
        n_real, n_synth = len(real_data), len(synthetic_data)
        if n_real == 0 or n_synth == 0:
            raise ValueError(
                f"DCR needs rows in both tables, have {n_real} real and {n_synth} synthetic")

        rng = make_rng(self.random_seed)
        q_idx = np.sort(rng.choice(n_real, size=min(self.max_queries, n_real), replace=False))
        r_idx = np.sort(rng.choice(n_synth, size=min(self.max_reference, n_synth),
                                   replace=False))

        num_q, num_r, cat_q, cat_r = [], [], [], []
        for c in cols:
            rc, sc = real_data[c], synthetic_data[c]
            if is_numeric_pair(rc, sc):
                rv, sv = float_values(rc), float_values(sc)
                finite = rv[~np.isnan(rv)]
                lo = finite.min() if finite.size else 0.0
                span = finite.max() - lo if finite.size else 1.0
                qv, ref = rv[q_idx], sv[r_idx]
                if span > 0:
                    qv = (qv - lo) / span
                    ref = np.clip((ref - lo) / span, -1.0, 2.0)
                else:  # constant real column: equal or not
                    qv = np.where(np.isnan(qv), np.nan, 0.0)
                    ref = np.where(np.isnan(ref), np.nan, np.where(ref == lo, 0.0, 2.0))
                num_q.append(np.where(np.isnan(qv), _MISSING, qv))
                num_r.append(np.where(np.isnan(ref), _MISSING, ref))
            else:
                rcodes, scodes, _ = categorical_codes(rc, sc)
                cat_q.append(rcodes[q_idx])  # missing is code -1: equal to itself
                cat_r.append(scodes[r_idx])

        nq = np.array(num_q, dtype="float32").T.reshape(len(q_idx), len(num_q))
        nr = np.array(num_r, dtype="float32").T.reshape(len(r_idx), len(num_r))
        cq = np.array(cat_q, dtype=np.int64).T.reshape(len(q_idx), len(cat_q))
        cr = np.array(cat_r, dtype=np.int64).T.reshape(len(r_idx), len(cat_r))

        n_ref = len(r_idx)
        step = max(1, 2_000_000 // n_ref)
        nearest = np.empty(len(q_idx), dtype="float64")
        for start in range(0, len(q_idx), step):
            stop = min(len(q_idx), start + step)
            acc = np.zeros((stop - start, n_ref), dtype="float32")
            tmp = np.empty_like(acc)
            for j in range(nq.shape[1]):
                np.subtract(nq[start:stop, j, None], nr[None, :, j], out=tmp)
                np.abs(tmp, out=tmp)
                np.minimum(tmp, 1.0, out=tmp)
                acc += tmp
            for j in range(cq.shape[1]):
                acc += cq[start:stop, j, None] != cr[None, :, j]
            nearest[start:stop] = acc.min(axis=1)
        value = float(nearest.mean()) / len(cols)
        return float(min(1.0, max(0.0, value)))
