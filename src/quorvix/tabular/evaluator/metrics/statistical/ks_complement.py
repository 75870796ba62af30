"""Kolmogorov–Smirnov complement per numeric column."""

from __future__ import annotations

from typing import Dict, Hashable, Optional, Sequence

import numpy as np
import pandas as pd

from quorvix import _kernels
from quorvix.evaluation.metrics._prep import (
    common_columns,
    float_values,
    is_numeric_pair,
    per_column,
)

__all__ = ["KSComplementMetric", "ks_statistic"]


def ks_statistic(a: np.ndarray, b: np.ndarray) -> float:
    """Two-sample KS statistic: sup |F_a(t) - F_b(t)| over the pooled values."""
    a = np.sort(a)
    b = np.sort(b)
    if a.dtype == np.float64 and b.dtype == np.float64 and a.size and b.size \
            and not (np.isnan(a[-1]) or np.isnan(b[-1])):
        # the same numbers, from one walk through both sorted samples
        return _kernels.ks_sorted(a, b)
    pooled = np.concatenate([a, b])
    cdf_a = np.searchsorted(a, pooled, side="right") / a.size
    cdf_b = np.searchsorted(b, pooled, side="right") / b.size
    return float(np.max(np.abs(cdf_a - cdf_b)))


class KSComplementMetric:
    """1 minus the two-sample Kolmogorov–Smirnov statistic, per column.

    The KS statistic is the largest absolute difference between the empirical
    cumulative distribution functions of the real and the synthetic column,
    so the complement is 1 for identical distributions and 0 for samples with
    disjoint ranges. Only columns numeric in both tables are scored (booleans
    count as 0/1, datetimes as timestamps); missing and non-finite values are
    dropped first, and a column left with no value in either table is
    skipped, as is a label that names more than one column in either table.
    Tables that merely have nothing to compare give an empty mapping rather
    than an error. The full columns are used: the statistic costs
    O(n log n), and no p-value is computed.
    """

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame,
                columns: Optional[Sequence[Hashable]] = None) -> Dict[Hashable, float]:
        """Map each scored column label to its KS complement in [0, 1].

        ``columns`` restricts the columns considered (labels missing from
        either table are ignored); by default every shared column is
        considered. Columns come out in the real table's order.
        """
        for label, df in (("real_data", real_data), ("synthetic_data", synthetic_data)):
            if not isinstance(df, pd.DataFrame):
                raise TypeError(f"{label} must be a pandas DataFrame, "
                                f"got {type(df).__name__}")
        if isinstance(columns, (str, bytes)):
            raise TypeError("columns must be a list of column labels, not a string")
        if columns is not None:
            columns = list(columns)
        ambiguous = set(real_data.columns[real_data.columns.duplicated()]) | set(
            synthetic_data.columns[synthetic_data.columns.duplicated()])
        wanted = []
        for col in common_columns(real_data, synthetic_data, columns):
            if col in ambiguous or col in wanted:
                continue
            if not is_numeric_pair(real_data[col], synthetic_data[col]):
                continue
            wanted.append(col)

        def score(pair):
            r = float_values(pair[0])
            s = float_values(pair[1])
            r = r[~np.isnan(r)]
            s = s[~np.isnan(s)]
            if r.size == 0 or s.size == 0:
                return None
            return float(min(1.0, max(0.0, 1.0 - ks_statistic(r, s))))

        # the columns are taken here; only the numeric work runs on two threads
        pairs = [(real_data[col], synthetic_data[col]) for col in wanted]
        scores = per_column(score, pairs, len(real_data))
        return {col: value for col, value in zip(wanted, scores) if value is not None}
