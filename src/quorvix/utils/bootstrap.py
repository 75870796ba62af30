"""Percentile bootstrap for statistics of a pair of samples."""

from __future__ import annotations

import numbers
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

__all__ = ["BootstrapResult", "bootstrap_ci"]


@dataclass(frozen=True)
class BootstrapResult:
    """Outcome of ``bootstrap_ci``.

    ``estimate`` is the statistic on the full samples; ``lower`` and ``upper``
    are the alpha/2 and 1 - alpha/2 percentiles of the finite bootstrap
    replicates (NaN when no replicate is finite); ``n_valid`` counts the
    finite replicates; ``replicates`` holds all of them in drawing order.
    """

    estimate: float
    lower: float
    upper: float
    n_boot: int
    alpha: float
    n_valid: int
    replicates: np.ndarray = field(repr=False, compare=False)

    def as_tuple(self):
        return (self.lower, self.upper)


def _check_n_boot(n_boot) -> int:
    if isinstance(n_boot, bool) or not isinstance(n_boot, numbers.Integral):
        raise ValueError(f"n_boot must be a whole number >= 1, got {n_boot!r}")
    if n_boot < 1:
        raise ValueError(f"n_boot must be >= 1, got {n_boot}")
    return int(n_boot)


def _check_alpha(alpha) -> float:
    try:
        a = float(alpha)
    except (TypeError, ValueError):
        raise ValueError(f"alpha must be a number in (0, 1), got {alpha!r}") from None
    if not 0.0 < a < 1.0:  # also refuses NaN
        raise ValueError(f"alpha must be in (0, 1), got {alpha!r}")
    return a


def _as_sample(arr, label: str) -> np.ndarray:
    a = np.asarray(arr)
    if a.dtype == object:
        # tables mixing booleans, integers and floats come out of pandas as
        # object arrays; sorting and comparing those is many times slower
        try:
            a = a.astype(np.float64)
        except (TypeError, ValueError):
            pass
    if a.ndim == 0:
        raise ValueError(f"{label} must be an array of rows, got a scalar")
    if a.shape[0] == 0:
        raise ValueError(f"{label} has no rows to resample")
    return a


def bootstrap_ci(real_arr, synth_arr, stat_fn: Callable[[np.ndarray, np.ndarray], float],
                 n_boot: int = 1000, alpha: float = 0.05,
                 random_seed: Optional[int] = None) -> BootstrapResult:
    """Percentile bootstrap confidence interval of ``stat_fn(real, synth)``.

    Each replicate resamples the rows of ``real_arr`` and of ``synth_arr``
    independently, with replacement and at their original sizes, and calls
    ``stat_fn`` with the two resampled arrays (same column layout as the
    inputs; 1-D inputs stay 1-D). The interval is given by the alpha/2 and
    1 - alpha/2 percentiles of the replicates; replicates that are NaN or
    infinite are left out. Draws come from
    ``np.random.default_rng(random_seed)``, so a given seed always gives the
    same interval. An object array that holds only numbers (as pandas gives
    for a table mixing booleans, integers and floats) is converted to
    float64 first; other arrays are passed on with their own dtype.

    Raises ``ValueError`` when ``n_boot`` is not a whole number >= 1, when
    ``alpha`` is not strictly between 0 and 1, or when an array has no rows.
    """
    n_boot = _check_n_boot(n_boot)
    alpha = _check_alpha(alpha)
    if not callable(stat_fn):
        raise TypeError("stat_fn must be callable")
    real = _as_sample(real_arr, "real_arr")
    synth = _as_sample(synth_arr, "synth_arr")

    estimate = float(stat_fn(real, synth))
    rng = np.random.default_rng(random_seed)
    n_r, n_s = real.shape[0], synth.shape[0]
    reps = np.empty(n_boot, dtype="float64")
    for b in range(n_boot):
        r_idx = rng.integers(0, n_r, size=n_r)
        s_idx = rng.integers(0, n_s, size=n_s)
        reps[b] = float(stat_fn(real[r_idx], synth[s_idx]))

    finite = reps[np.isfinite(reps)]
    if finite.size:
        lower, upper = np.quantile(finite, [alpha / 2.0, 1.0 - alpha / 2.0])
        lower, upper = float(lower), float(upper)
    else:
        lower = upper = float("nan")
    return BootstrapResult(estimate=estimate, lower=lower, upper=upper,
                           n_boot=n_boot, alpha=alpha, n_valid=int(finite.size),
                           replicates=reps)
