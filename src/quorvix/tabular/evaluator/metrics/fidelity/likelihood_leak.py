"""Likelihood leak: are synthetic records more likely than unseen real ones?"""

from __future__ import annotations

from typing import Optional

import numpy as np
import pandas as pd

from quorvix import _kernels
from quorvix.evaluation.metrics._prep import (
    Encoded,
    Encoder,
    check_pair,
    common_columns,
    inner_products,
    make_rng,
    mann_whitney_auc,
    nearest_sq_distances,
    on_two_threads,
    pairwise_sq_distances,
    scratch_matrix,
)
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["LikelihoodLeakMetric"]


def _kde_log_density(queries, fit, bandwidth: float) -> np.ndarray:
    """Log density of a Gaussian kernel density estimate at each query
    (queries and fit both float matrices, or both ``Encoded`` rows).

    The kernel sums are taken natively from the distances (see
    ``quorvix._kernels.kernel_log_sums``): the log-sum-exp of scipy's
    ``logsumexp``, leaving out the terms too small to change the sum and
    adding the others in another order, so the result may differ from
    scipy's in the last few bits."""
    if isinstance(fit, Encoded) or isinstance(queries, Encoded):
        scan = Encoded.scan_args(queries, fit)
        n, d = len(fit), fit.dimensions
        const = -np.log(n) - 0.5 * d * np.log(2.0 * np.pi * bandwidth ** 2)
        divisor = 2.0 * bandwidth ** 2
        if not divisor > 0:
            raise ValueError("the bandwidth must be positive")
        return _kernels.layout_kernel_log_sums(*scan, divisor) + const
    n, d = fit.shape
    fit_sq = np.einsum("ij,ij->i", fit, fit)
    const = -np.log(n) - 0.5 * d * np.log(2.0 * np.pi * bandwidth ** 2)
    divisor = 2.0 * bandwidth ** 2
    out = np.empty(len(queries))
    step = max(1, 1_000_000 // max(1, n))
    native = queries.dtype == np.float64 and fit.dtype == np.float64 and divisor > 0
    products = inner_products(queries, fit)

    def block(start):
        q = queries[start:start + step]
        if native:
            gram = products(start, start + len(q), scratch_matrix(len(q), n))
            sums = _kernels.kernel_log_sums(gram, np.einsum("ij,ij->i", q, q), fit_sq, divisor)
            out[start:start + step] = sums + const
            return
        from scipy.special import logsumexp

        d2 = pairwise_sq_distances(q, fit, fit_sq)
        out[start:start + step] = logsumexp(-d2 / divisor, axis=1) + const

    # independent blocks of queries, two at a time
    on_two_threads(block, range(0, len(queries), step), len(queries) * n >= 4_000_000)
    return out


class LikelihoodLeakMetric:
    """1 - leak, where the leak measures how much more likely synthetic
    records are than unseen real records under a density fitted on real data.

    The real table is split at random into a fitting part and a hold-out part
    (a quarter of the rows, at most ``max_eval`` rows). A Gaussian kernel
    density estimate is fitted on the fitting part (at most ``max_fit`` rows)
    in the standardised encoding of ``quorvix.evaluation.metrics._prep.Encoder``.
    Its bandwidth is a quarter of the median distance from a fitting record to
    its nearest other fitting record (zero distances left out; 0.25 when all
    are zero): narrow enough for the estimate to resolve individual records,
    which is where a memorising generator puts its mass. Rules such as
    Scott's, made for smooth densities, wash that signal out as soon as there
    are more than a few columns. Each hold-out record and each of at
    most ``max_eval`` synthetic records is scored by its log-density. With
    AUC = P(log-density of a synthetic record > that of a hold-out record),
    the leak is max(0, 2 * AUC - 1) and the value is 1 - leak:

    - synthetic records that are copies of (or hug) real training records sit
      on the density's peaks, so AUC approaches 1 and the value 0;
    - synthetic data as typical as unseen real data gives AUC about 0.5 and a
      value about 1;
    - synthetic data less likely than real data (a fidelity problem, not a
      leak) also scores 1.

    Subsampling bounds the cost at O((max_eval) * max_fit) kernel
    evaluations; on tables much larger than ``max_fit`` only copies of the
    sampled fitting records can be detected, which dilutes the signal. The
    log-densities are the log-sum-exp of scipy's ``logsumexp`` computed
    natively (terms below 2^-60 of a sum left out, the others added in
    another order, inner products from the encoding's layout), so they may
    differ from scipy's in the last few bits.
    Needs at least 4 real rows and 1 synthetic row, else ``ValueError``.
    """

    def __init__(self, random_seed: Optional[int] = None, max_fit: int = 10_000,
                 max_eval: int = 1000) -> None:
        if int(max_fit) < 2 or int(max_eval) < 1:
            raise ValueError("max_fit must be >= 2 and max_eval >= 1")
        self.random_seed = random_seed
        self.max_fit = int(max_fit)
        self.max_eval = int(max_eval)

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> MetricResult:
        """The "likelihood_leak" result (category "privacy") in [0, 1],
        1 = no leak."""
        check_pair(real_data, synthetic_data)
        if not common_columns(real_data, synthetic_data):
            raise ValueError("the tables share no column")
        n_real, n_synth = len(real_data), len(synthetic_data)
        if n_real < 4:
            raise ValueError(f"likelihood leak needs at least 4 real rows, have {n_real}")
        if n_synth < 1:
            raise ValueError("likelihood leak needs at least one synthetic row")

        rng = make_rng(self.random_seed)
        order = rng.permutation(n_real)
        n_hold = min(self.max_eval, n_real // 4)
        hold_idx = np.sort(order[:n_hold])
        fit_idx = np.sort(order[n_hold:][: self.max_fit])
        synth_idx = np.sort(rng.choice(n_synth, size=min(self.max_eval, n_synth),
                                       replace=False))
        fit_df = real_data.iloc[fit_idx]
        enc = Encoder(fit_df, synthetic_data)
        x_fit = enc.encode(fit_df)
        x_hold = enc.encode(real_data.iloc[hold_idx])
        x_synth = enc.encode(synthetic_data.iloc[synth_idx])

        n = len(x_fit)
        probe = np.sort(rng.choice(n, size=min(n, 1000), replace=False))
        nn = np.sqrt(nearest_sq_distances(x_fit.take(probe), x_fit, exclude=probe))
        nn = nn[nn > 0]
        bandwidth = 0.25 * (float(np.median(nn)) if nn.size else 1.0)
        ll_hold = _kde_log_density(x_hold, x_fit, bandwidth)
        ll_synth = _kde_log_density(x_synth, x_fit, bandwidth)
        auc = mann_whitney_auc(ll_synth, ll_hold)
        leak = min(1.0, max(0.0, 2.0 * auc - 1.0))
        return MetricResult(
            name="likelihood_leak",
            value=1.0 - leak,
            category="privacy",
            higher_is_better=True,
            description=("1 - excess likelihood of synthetic over held-out real "
                         "records under a density fitted on real data. "
                         "Higher = less leakage."),
            details={
                "auc": auc,
                "bandwidth": bandwidth,
                "mean_log_density_synthetic": float(np.mean(ll_synth)),
                "mean_log_density_holdout": float(np.mean(ll_hold)),
                "n_fit": int(n),
                "n_holdout": int(len(x_hold)),
                "n_synthetic": int(len(x_synth)),
            },
        )
