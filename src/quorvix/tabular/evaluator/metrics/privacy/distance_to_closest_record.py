"""Distance from real records to their closest synthetic record, as a privacy
score calibrated against a fresh sample of the same population."""

from __future__ import annotations

from typing import List, Optional, Tuple

import numpy as np
import pandas as pd

from quorvix import _kernels
from quorvix.evaluation.metrics._prep import (
    check_pair,
    common_columns,
    float_values,
    is_numeric_pair,
    make_rng,
)
from quorvix.evaluation.metrics._shared import shared_categorical_codes

__all__ = ["DTCRMetric"]

# Missing numeric entries are encoded as this value; real values are scaled
# into [0, 1] and synthetic ones clipped into [-1, 2], so a missing entry is
# always at least 1 away from a present one and 0 away from another missing one.
_MISSING = 10.0


class DTCRMetric:
    """Distance to closest record (DCR) as a privacy score in [0, 1]:
    1 = synthetic records lie as far from the real records as a fresh sample
    of the same population would, 0 = they copy real records.

    Distances are Gower distances over the shared columns: the mean over the
    columns of

    - numeric columns: min(1, |x - y| / range), range being max - min of the
      real column; for a constant real column, 0 if equal and 1 otherwise;
    - other columns: 0 if the values are equal, 1 otherwise;
    - missing values: 0 when both are missing, 1 when only one is.

    A seeded sample R of m real records and a sample S of m - 1 synthetic
    records are drawn, m = min(real rows, synthetic rows + 1,
    ``max_reference``), so that both reference sets have the same size (a
    larger set alone would bring its nearest record closer). For each of at
    most ``max_queries`` real records q of R:

    - d_syn(q): the distance from q to its closest record of S;
    - d_real(q): the distance from q to its closest *other* record of R:
      where a record of a fresh sample of the population would lie.

    Exact copies are looked up in the whole tables, beyond the samples: when
    q occurs in the synthetic table d_syn(q) = 0, and when it occurs twice in
    the real table d_real(q) = 0. The score is

        DCR = min(1, sum_q d_syn(q) / sum_q d_real(q))

    (1 when every d_real is 0: every sampled real record has a duplicate, so
    a copy cannot be told from a fresh sample). A fresh sample scores about 1,
    a verbatim copy 0, records with a little noise added well below the
    evaluation report's 0.65 pass mark, unrelated (random) data 1.

    Cost: O(max_queries * max_reference * columns) for the distances plus
    one hashing pass over both tables for the exact copies. On tables larger
    than ``max_reference`` a synthetic record that is a near (not exact) copy
    of a real one is only seen when it falls in the sample S, which dilutes
    that signal.
    """

    def __init__(self, max_queries: int = 1000, max_reference: int = 10_000,
                 random_seed: Optional[int] = None) -> None:
        if int(max_queries) < 1 or int(max_reference) < 2:
            raise ValueError("max_queries must be >= 1 and max_reference >= 2")
        self.max_queries = int(max_queries)
        self.max_reference = int(max_reference)
        self.random_seed = random_seed
        self.last_details: dict = {}

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> float:
        """The DCR privacy score in [0, 1] (higher = more private). Details of
        the last call (the two mean distances, the share of queries with an
        exact synthetic copy) are kept in ``last_details``."""
        check_pair(real_data, synthetic_data)
        cols = common_columns(real_data, synthetic_data)
        if not cols:
            raise ValueError("the tables share no column")
        n_real, n_synth = len(real_data), len(synthetic_data)
        if n_real < 2 or n_synth < 1:
            raise ValueError(
                "DCR needs at least 2 real rows and 1 synthetic row, "
                f"have {n_real} real and {n_synth} synthetic")

        rng = make_rng(self.random_seed)
        m = min(n_real, n_synth + 1, self.max_reference)
        r_idx = np.sort(rng.choice(n_real, size=m, replace=False))
        s_idx = np.sort(rng.choice(n_synth, size=m - 1, replace=False))
        q = np.sort(rng.choice(m, size=min(self.max_queries, m), replace=False))

        real_cols, synth_cols = _encode(real_data, synthetic_data, cols)
        rn, rc = real_cols
        sn, sc = synth_cols
        q_num, q_cat = rn[r_idx][q], rc[r_idx][q]
        d_syn = _nearest(q_num, q_cat, sn[s_idx], sc[s_idx]) / len(cols)
        d_real = _nearest(q_num, q_cat, rn[r_idx], rc[r_idx], exclude=q) / len(cols)

        # exact copies anywhere in the tables
        real_keys = np.sort(_row_keys(rn, rc))
        q_keys = _row_keys(rn[r_idx][q], rc[r_idx][q])
        copied = np.isin(q_keys, _row_keys(sn, sc))
        d_syn[copied] = 0.0
        # how often each query's row occurs in the real table
        occurrences = (np.searchsorted(real_keys, q_keys, side="right")
                       - np.searchsorted(real_keys, q_keys, side="left"))
        d_real[occurrences >= 2] = 0.0

        total_real = float(d_real.sum())
        total_syn = float(d_syn.sum())
        value = 1.0 if total_real <= 0.0 else min(1.0, total_syn / total_real)
        self.last_details = {
            "mean_distance_synthetic": total_syn / len(q),
            "mean_distance_real": total_real / len(q),
            "share_exact_copies": float(copied.mean()),
            "n_queries": int(len(q)),
            "n_reference": int(m),
        }
        return float(max(0.0, value))


def _encode(real: pd.DataFrame, synth: pd.DataFrame, cols: List) -> Tuple[tuple, tuple]:
    """Both whole tables as (numeric float32 matrix scaled by the real
    ranges, categorical int64 code matrix)."""
    num_r, num_s, cat_r, cat_s = [], [], [], []
    for c in cols:
        rcol, scol = real[c], synth[c]
        if is_numeric_pair(rcol, scol):
            rv, sv = float_values(rcol), float_values(scol)
            finite = rv[~np.isnan(rv)]
            lo = finite.min() if finite.size else 0.0
            span = finite.max() - lo if finite.size else 0.0
            if span > 0:
                rv = (rv - lo) / span
                sv = np.clip((sv - lo) / span, -1.0, 2.0)
            else:  # constant real column: equal or not
                rv = np.where(np.isnan(rv), np.nan, 0.0)
                sv = np.where(np.isnan(sv), np.nan, np.where(sv == lo, 0.0, 2.0))
            num_r.append(np.where(np.isnan(rv), _MISSING, rv))
            num_s.append(np.where(np.isnan(sv), _MISSING, sv))
        else:
            rcodes, scodes, _ = shared_categorical_codes(real, synth, c)
            cat_r.append(rcodes)  # missing is code -1: equal to itself
            cat_s.append(scodes)

    def stack(parts, n, dtype):
        return np.array(parts, dtype=dtype).T.reshape(n, len(parts))

    n_r, n_s = len(real), len(synth)
    return ((stack(num_r, n_r, "float32"), stack(cat_r, n_r, np.int64)),
            (stack(num_s, n_s, "float32"), stack(cat_s, n_s, np.int64)))


def _row_keys(num: np.ndarray, cat: np.ndarray) -> np.ndarray:
    """One 64-bit hash per row of the encoded columns (equal rows, equal
    keys; unequal rows collide with a chance of about 2^-64)."""
    return _kernels.row_keys(np.ascontiguousarray(num, dtype=np.float32),
                             np.ascontiguousarray(cat, dtype=np.int64))


def _nearest(q_num: np.ndarray, q_cat: np.ndarray, r_num: np.ndarray, r_cat: np.ndarray,
             exclude: Optional[np.ndarray] = None) -> np.ndarray:
    """Sum over the columns of the per-column Gower terms from each query to
    its closest reference row (not divided by the column count). With
    ``exclude``, query i is never matched with reference row exclude[i]."""
    codes_fit = all(c.size == 0 or (c.min() >= -2**31 and c.max() < 2**31) for c in (q_cat, r_cat))
    if q_num.dtype == np.float32 and r_num.dtype == np.float32 and len(r_num) and codes_fit:
        # the same float32 sums and minima, one native pass per query
        ex = np.empty(0, dtype=np.int64) if exclude is None else \
            np.ascontiguousarray(exclude, dtype=np.int64)
        return _kernels.gower_nearest(
            np.ascontiguousarray(q_num), np.ascontiguousarray(q_cat, dtype=np.int32),
            np.ascontiguousarray(r_num), np.ascontiguousarray(r_cat, dtype=np.int32), ex)
    n_ref = len(r_num)
    step = max(1, 250_000 // max(1, n_ref))
    nearest = np.empty(len(q_num), dtype="float64")
    for start in range(0, len(q_num), step):
        stop = min(len(q_num), start + step)
        acc = np.zeros((stop - start, n_ref), dtype="float32")
        tmp = np.empty_like(acc)
        for j in range(q_num.shape[1]):
            np.subtract(q_num[start:stop, j, None], r_num[None, :, j], out=tmp)
            np.abs(tmp, out=tmp)
            np.minimum(tmp, 1.0, out=tmp)
            acc += tmp
        for j in range(q_cat.shape[1]):
            acc += q_cat[start:stop, j, None] != r_cat[None, :, j]
        if exclude is not None:
            acc[np.arange(stop - start), exclude[start:stop]] = np.inf
        nearest[start:stop] = acc.min(axis=1)
    return nearest
