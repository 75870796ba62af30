"""Percentile bootstrap for statistics of a pair of samples."""

from __future__ import annotations

import math
import numbers
import re
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np

__all__ = ["BootstrapResult", "bootstrap_ci", "mean_ks_over_resamples"]

# scipy releases whose ks_2samp statistic mean_ks_over_resamples reproduces
_SCIPY_KS_VERIFIED = ((1, 15), (1, 18))

# Resampled row indices are drawn in batches of about this many values.
_BATCH_VALUES = 4_000_000


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


def _version(text: str) -> tuple:
    return tuple(int(x) for x in re.findall(r"\d+", text)[:2])


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
    same interval.

    A statistic may offer a faster way to its replicates: an attribute
    ``over_resamples``, called once as ``stat_fn.over_resamples(real, synth)``,
    that returns either None (then ``stat_fn`` is called for every replicate)
    or a function taking two 2-D integer arrays of row indices, one resample
    per row (the rows of ``real`` and of ``synth`` drawn for it), and
    returning that batch's replicates: the very numbers ``stat_fn`` would
    return on the resampled arrays. The estimate then comes from that
    function too, given the resample that draws every row once (the full
    samples). The draws are the same either way. The
    index arrays are refilled for the next batch, so that function must not
    keep them.

    An object array that holds only numbers (as pandas gives
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

    n_r, n_s = real.shape[0], synth.shape[0]
    over = getattr(stat_fn, "over_resamples", None)
    batch = over(real, synth) if callable(over) else None
    if batch is None:
        estimate = float(stat_fn(real, synth))
    else:
        # the full samples are the resample that draws every row once
        estimate = float(batch(np.arange(n_r, dtype=np.int64)[None, :],
                               np.arange(n_s, dtype=np.int64)[None, :])[0])
    rng = np.random.default_rng(random_seed)
    reps = np.empty(n_boot, dtype="float64")
    if batch is None:
        for b in range(n_boot):
            r_idx = rng.integers(0, n_r, size=n_r)
            s_idx = rng.integers(0, n_s, size=n_s)
            reps[b] = float(stat_fn(real[r_idx], synth[s_idx]))
    else:
        # the same draws, in the same order, handed over a batch at a time;
        # two pairs of index arrays serve every batch in turn (fresh arrays
        # of tens of megabytes per batch cost more in zeroed pages than the
        # draws)
        per = max(1, min(64, _BATCH_VALUES // (n_r + n_s), n_boot))
        _walk_batches(batch, rng, reps, per, n_r, n_s)

    finite = reps[np.isfinite(reps)]
    if finite.size:
        lower, upper = np.quantile(finite, [alpha / 2.0, 1.0 - alpha / 2.0])
        lower, upper = float(lower), float(upper)
    else:
        lower = upper = float("nan")
    return BootstrapResult(estimate=estimate, lower=lower, upper=upper,
                           n_boot=n_boot, alpha=alpha, n_valid=int(finite.size),
                           replicates=reps)


_INT32_DRAWS: list = []  # [whether int32 draws are the int64 draws]


def _int32_draws_match() -> bool:
    """Whether ``Generator.integers(0, n, dtype=np.int32)`` draws the same
    numbers, and consumes the same stream, as the default int64 draws for
    ranges below 2^31 (numpy draws both from 32-bit values with the same
    rejection step). Checked once per process on a few ranges; the int32
    draws halve what the resampled walk reads."""
    if not _INT32_DRAWS:
        same = True
        for n in (1, 2, 3, 1000, 50_000, 2**31 - 1):
            wide, narrow = np.random.default_rng(n), np.random.default_rng(n)
            for _ in range(3):
                if not np.array_equal(wide.integers(0, n, size=257),
                                      narrow.integers(0, n, size=257, dtype=np.int32)):
                    same = False
        _INT32_DRAWS.append(same)
    return _INT32_DRAWS[0]


def _walk_batches(batch: Callable, rng: np.random.Generator, reps: np.ndarray, per: int,
                  n_r: int, n_s: int) -> None:
    """``reps[start:start + m] = batch(real draws, synthetic draws)`` for
    batches of ``per`` resamples, drawn in order from ``rng``.

    The draws of the next batch are made while a worker thread computes the
    current one (both let other threads run), so the two overlap; the draws
    themselves stay in order, on this thread. Two pairs of index buffers
    take turns, so a batch's draws are never overwritten while it runs."""
    import os

    dtype = np.int32 if _int32_draws_match() and max(n_r, n_s) < 2**31 else np.int64
    bufs = [(np.empty((per, n_r), dtype=dtype), np.empty((per, n_s), dtype=dtype))
            for _ in range(2)]
    starts = list(range(0, len(reps), per))

    def draw(k):
        m = min(per, len(reps) - starts[k])
        r_idx, s_idx = bufs[k % 2][0][:m], bufs[k % 2][1][:m]
        for i in range(m):
            r_idx[i] = rng.integers(0, n_r, size=n_r, dtype=dtype)
            s_idx[i] = rng.integers(0, n_s, size=n_s, dtype=dtype)
        return r_idx, s_idx

    if len(starts) < 2 or (os.cpu_count() or 1) < 2:
        for k, start in enumerate(starts):
            r_idx, s_idx = draw(k)
            reps[start:start + len(r_idx)] = batch(r_idx, s_idx)
        return
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorvix-bootstrap") as pool:
        running = None
        for k, start in enumerate(starts):
            r_idx, s_idx = draw(k)
            if running is not None:
                prev_start, prev_m, future = running
                reps[prev_start:prev_start + prev_m] = future.result()
            running = (start, len(r_idx), pool.submit(batch, r_idx, s_idx))
        prev_start, prev_m, future = running
        reps[prev_start:prev_start + prev_m] = future.result()


def mean_ks_over_resamples(ks_2samp: Callable, mean: Callable) -> Callable:
    """``over_resamples`` (see ``bootstrap_ci``) for the statistic
    ``mean([1.0 - ks_2samp(r[:, j], s[:, j])[0] for j in columns])``, given
    the two functions that statistic calls.

    Each column's pooled values are sorted once; a resample then costs one
    pass over that order with the number of times each row was drawn
    (``quorvix._kernels.ks_resampled``), instead of copying and sorting the
    resampled columns, and the KS statistic is computed with the same
    arithmetic as ``scipy.stats.ks_2samp``, so the replicates are identical.

    Returns None, so that the statistic itself is called, whenever that
    identity is not certain: ``ks_2samp`` is not scipy's own function (it was
    replaced), the installed scipy is not one whose arithmetic this reproduces
    (1.15 to 1.17), the arrays are not 2-D with the same columns, hold other than
    booleans and real numbers, or hold NaN (``ks_2samp`` propagates NaN).
    """
    def over_resamples(real: np.ndarray, synth: np.ndarray) -> Optional[Callable]:
        try:
            import scipy
            from scipy.stats import _stats_py
        except ImportError:
            return None
        if ks_2samp is not getattr(_stats_py, "ks_2samp", None):
            return None
        if not _SCIPY_KS_VERIFIED[0] <= _version(scipy.__version__) < _SCIPY_KS_VERIFIED[1]:
            return None
        if real.ndim != 2 or synth.ndim != 2 or real.shape[1] != synth.shape[1]:
            return None
        n_r, n_s, k = real.shape[0], synth.shape[0], real.shape[1]
        if k == 0 or n_r == 0 or n_s == 0 or n_r + n_s >= 2**31:
            return None
        dtype = np.result_type(real.dtype, synth.dtype)
        if dtype.kind not in "biuf":
            return None
        if dtype.kind == "f" and (np.isnan(real).any() or np.isnan(synth).any()):
            return None
        from quorvix import _kernels

        total = n_r + n_s
        seq = np.empty((k, total), dtype=np.int32)
        ends = np.empty((k, total), dtype=np.uint8)
        def sort_column(j):
            # ks_2samp compares the pooled values in their common dtype
            pooled = np.concatenate([real[:, j], synth[:, j]]).astype(dtype, copy=False)
            order = np.argsort(pooled)  # the order within runs of equal values is free
            values = pooled[order]
            seq[j] = order
            np.not_equal(values[1:], values[:-1], out=ends[j, :-1], casting="unsafe")
            ends[j, -1] = 1

        # each column writes its own rows; numpy's sorts let the other thread run
        from quorvix.evaluation.metrics._prep import per_column

        per_column(sort_column, range(k), total)

        # ks_2samp's default method is exact up to 10,000 values per sample,
        # and then rounds the statistic to a multiple of 1 / lcm(n1, n2)
        exact_lcm = (n_r // math.gcd(n_r, n_s)) * n_s if max(n_r, n_s) <= 10_000 else None

        def replicates(real_idx: np.ndarray, synth_idx: np.ndarray) -> np.ndarray:
            stats = _kernels.ks_resampled(seq, ends, n_r, real_idx, synth_idx)
            if exact_lcm is not None:
                stats = np.round(stats * exact_lcm) * 1.0 / exact_lcm
            vals = 1.0 - stats
            if mean is np.mean:
                # numpy reduces each row as it reduces that row alone: the
                # same numbers without a call per resample
                return np.mean(vals, axis=1)
            return np.array([float(mean(vals[b])) for b in range(vals.shape[0])],
                            dtype="float64")

        return replicates

    return over_resamples
