"""Similarity of a synthetic table to a real one.

Every score here is a similarity in [0, 1]: 1 for matching distributions,
lower for a worse match. Column typing, missing values and randomness follow
the rules of :mod:`quorvix.evaluation.metrics._prep`: a column is numeric when
it is numeric in both tables, missing and non-finite entries are dropped (or,
for the multivariate kernel, imputed), and subsampling is seeded.

Cost in the number of rows n: no score compares all pairs of rows. The
per-column scores sort each column (O(n log n)); the correlation scores work
on at most ``max_rows`` rows per table; the kernel statistic (MMD) is the
only pairwise step and uses at most ``max_samples`` rows per table, plus at
most 1000 pooled rows for its bandwidth.
"""

from __future__ import annotations

from typing import Dict, Hashable, List, Optional, Tuple

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    Encoder,
    categorical_codes,
    check_pair,
    common_columns,
    float_values,
    is_numeric_pair,
    make_rng,
    numeric_columns,
    on_two_threads,
    pairwise_sq_distances,
    per_column,
    scratch_matrix,
    subsample,
)
from quorvix import _kernels
from quorvix.evaluation.metrics._shared import (
    evaluation_memo,
    pair_memo,
    shared_categorical_codes,
)

__all__ = [
    "CorrelationSimilarityMetrics",
    "MultivariateSimilarityMetrics",
    "UnivariateSimilarityMetrics",
]


def _finite(values: np.ndarray) -> np.ndarray:
    return values[~np.isnan(values)]


def _quantile_bins(x: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Bin index of each value: 0 below the first edge, 1..K the K inner bins
    (the last one closed on the right), K+1 above the last edge."""
    k = len(edges) - 1
    b = np.searchsorted(edges, x, side="right")
    b[x == edges[-1]] = k
    return b


def _distributions(rc: pd.Series, sc: pd.Series, n_bins: int, codes=None
                   ) -> Optional[Tuple[np.ndarray, np.ndarray]]:
    """Relative frequencies (p, q) of one column in both tables over shared
    bins or values; None when either side has no value left. ``codes``, when
    given, returns the column's ``categorical_codes``."""
    if is_numeric_pair(rc, sc):
        r = _finite(float_values(rc))
        s = _finite(float_values(sc))
        if r.size == 0 or s.size == 0:
            return None
        if not _kernels.more_distinct_than(r, n_bins):
            values = np.union1d(np.unique(r), np.unique(s))
            rb = np.searchsorted(values, r)
            sb = np.searchsorted(values, s)
            n = values.size
            p = np.bincount(rb, minlength=n).astype(float)
            q = np.bincount(sb, minlength=n).astype(float)
        else:
            # the quantiles of the sorted values are the same numbers, found
            # without the partitions np.quantile runs on unsorted ones
            edges = np.unique(np.quantile(np.sort(r), np.linspace(0.0, 1.0, n_bins + 1)))
            # the counts of np.bincount(_quantile_bins(.., edges)), in one pass
            p = _kernels.bin_counts(r, edges).astype(float)
            q = _kernels.bin_counts(s, edges).astype(float)
    else:
        rcodes, scodes, n = codes() if codes is not None else categorical_codes(rc, sc)
        rcodes, scodes = rcodes[rcodes >= 0], scodes[scodes >= 0]
        if rcodes.size == 0 or scodes.size == 0:
            return None
        p = np.bincount(rcodes, minlength=n).astype(float)
        q = np.bincount(scodes, minlength=n).astype(float)
    return p / p.sum(), q / q.sum()


_W1_SUM: list = []  # [the sum scipy's distance is formed with, or None]


def _w1_sum(wasserstein_distance):
    """How to finish scipy's first Wasserstein distance from the two factors
    ``_kernels.w1_terms`` forms (the same arrays scipy forms): the sum of
    their products, taken as the installed scipy takes it (scipy has used
    both ``np.vecdot`` and ``np.sum`` of the products, which differ in the
    last bits). Found once per process by comparing with scipy on pairs of
    samples that tell the two apart. None means "call
    ``wasserstein_distance`` itself": when it is not scipy's own function
    (a replacement is honoured) or when neither sum matches it."""
    if (getattr(wasserstein_distance, "__module__", None) != "scipy.stats._stats_py"
            or getattr(wasserstein_distance, "__name__", None) != "wasserstein_distance"):
        return None
    if not _W1_SUM:
        candidates = [lambda g, d: float(np.sum(np.multiply(g, d)))]
        if hasattr(np, "vecdot"):
            candidates.insert(0, lambda g, d: float(np.vecdot(g, d)))
        rng = np.random.default_rng(1009)
        choice = None
        for _ in range(20):
            u = np.sort(rng.normal(size=int(rng.integers(200, 400))))
            v = np.sort(rng.normal(size=int(rng.integers(200, 400))) * 1.3 + 0.1)
            terms = _kernels.w1_terms(u, v)
            sums = [f(*terms) for f in candidates]
            if len(set(sums)) == len(sums):
                want = float(wasserstein_distance(u, v))
                choice = next((f for f, x in zip(candidates, sums) if x == want), None)
                break
        _W1_SUM.append(choice)
    return _W1_SUM[0]


class UnivariateSimilarityMetrics:
    """Per-column similarity of the real and synthetic distributions.

    Columns are those present in both tables, in the real table's order;
    results are keyed "<metric>_<column label>". Missing values are dropped,
    and a column with no remaining value in either table is skipped.

    Frequency-based scores (total variation, Hellinger, Jensen–Shannon) compare
    two discrete distributions p (real) and q (synthetic):

    - categorical columns: the frequencies of each value;
    - numeric columns with at most ``n_bins`` distinct real values: the
      frequencies of each value seen in either table;
    - other numeric columns: ``n_bins`` quantile bins of the real column plus
      one bin below and one above its range, so synthetic values outside the
      real range are counted as mismatched mass.

    Every score costs a sort of each column, O(n log n) for n rows. The
    frequency tables are computed once per pair of tables: the three
    frequency scores of one evaluation share them (see
    :mod:`quorvix.evaluation.metrics._shared`).
    """

    def __init__(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame,
                 n_bins: int = 20) -> None:
        check_pair(real_data, synthetic_data)
        if int(n_bins) < 1:
            raise ValueError(f"n_bins must be >= 1, got {n_bins}")
        self.real_data = real_data
        self.synthetic_data = synthetic_data
        self.n_bins = int(n_bins)
        self._columns = common_columns(real_data, synthetic_data)

    # -- helpers ---------------------------------------------------------------

    def _all_distributions(self) -> Dict[Hashable, Optional[Tuple[np.ndarray, np.ndarray]]]:
        """(p, q) of every column, or None for a column with no value left in
        either table. The three frequency scores of one evaluation share them
        through the pair's memo (see ``_shared``)."""
        columns = tuple(self._columns)
        return pair_memo(self.real_data, self.synthetic_data).get(
            ("frequencies", self.n_bins, columns),
            lambda: dict(zip(columns, per_column(
                lambda item: _distributions(item[0], item[1], self.n_bins, item[2]),
                [(self.real_data[c], self.synthetic_data[c], self._codes(c)) for c in columns],
                len(self.real_data)))))

    def _codes(self, label):
        real, synth = self.real_data, self.synthetic_data
        return lambda: shared_categorical_codes(real, synth, label)

    def _per_column(self, prefix: str, score) -> Dict[str, float]:
        out: Dict[str, float] = {}
        for col, dist in self._all_distributions().items():
            if dist is None:
                continue
            out[f"{prefix}_{col}"] = float(np.clip(score(*dist), 0.0, 1.0))
        return out

    # -- metrics ---------------------------------------------------------------

    def wasserstein_distance_metric(self) -> Dict[str, float]:
        """1 - W1 / range, per numeric column ("wasserstein_<col>").

        W1 is the first Wasserstein (earth mover's) distance between the real
        and synthetic values; it is divided by the range (max - min) of the
        real column, or of both columns together when the real column is
        constant, and the complement is clipped to [0, 1]. Two constant
        columns with the same value score 1. Categorical columns are skipped.
        """
        import scipy.stats

        wasserstein_distance = scipy.stats.wasserstein_distance
        summed = _w1_sum(wasserstein_distance)

        def score(pair):
            rc, sc = pair
            if not is_numeric_pair(rc, sc):
                return None
            r = _finite(float_values(rc))
            s = _finite(float_values(sc))
            if r.size == 0 or s.size == 0:
                return None
            scale = r.max() - r.min()
            if scale <= 0:
                scale = max(r.max(), s.max()) - min(r.min(), s.min())
            if scale <= 0:
                return 1.0
            # the distance depends on the sorted values only: scipy gets them
            # sorted (its own argsort and merge are then cheap), and w1_terms
            # forms scipy's terms from them in one walk
            r, s = np.sort(r), np.sort(s)
            if summed is None:
                w = wasserstein_distance(r, s)
            else:
                w = summed(*_kernels.w1_terms(r, s))
            return float(np.clip(1.0 - w / scale, 0.0, 1.0))

        # the columns are taken here; only the numeric work runs on two threads
        pairs = [(self.real_data[c], self.synthetic_data[c]) for c in self._columns]
        scores = per_column(score, pairs, len(self.real_data))
        return {f"wasserstein_{col}": value for col, value in zip(self._columns, scores)
                if value is not None}

    def total_variation_distance(self) -> Dict[str, float]:
        """1 - TV(p, q) per column ("total_variation_<col>"), where
        TV = 1/2 * sum |p_i - q_i|."""
        return self._per_column("total_variation",
                                lambda p, q: 1.0 - 0.5 * np.abs(p - q).sum())

    def hellinger_distance(self) -> Dict[str, float]:
        """1 - H(p, q) per column ("hellinger_<col>"), where
        H = sqrt(1 - sum sqrt(p_i q_i)) lies in [0, 1]."""
        def score(p, q):
            bc = float(np.sqrt(p * q).sum())
            return 1.0 - np.sqrt(max(0.0, 1.0 - bc))
        return self._per_column("hellinger", score)

    def jensen_shannon_divergence(self) -> Dict[str, float]:
        """1 - sqrt(JSD(p, q)) per column ("jensen_shannon_<col>"), with the
        Jensen–Shannon divergence in base 2 (so it lies in [0, 1])."""
        def score(p, q):
            m = 0.5 * (p + q)
            with np.errstate(divide="ignore", invalid="ignore"):
                kl_p = np.where(p > 0, p * np.log2(p / m), 0.0).sum()
                kl_q = np.where(q > 0, q * np.log2(q / m), 0.0).sum()
            jsd = max(0.0, 0.5 * (kl_p + kl_q))
            return 1.0 - np.sqrt(min(1.0, jsd))
        return self._per_column("jensen_shannon", score)


def _numeric_frame(df: pd.DataFrame, columns: List[Hashable]) -> pd.DataFrame:
    """Float copy of the given columns, labelled 0..k-1."""
    return pd.DataFrame({i: float_values(df[c]) for i, c in enumerate(columns)},
                        index=pd.RangeIndex(len(df)))


def _correlation_pair(real: pd.DataFrame, synth: pd.DataFrame, method: str,
                      max_rows: Optional[int], seed: Optional[int]
                      ) -> Tuple[np.ndarray, np.ndarray, List[Hashable]]:
    """Correlation matrices of the shared numeric columns of both tables.

    Correlations use pairwise-complete rows; one that cannot be computed (a
    constant column, fewer than three shared rows) is set to 0. Tables larger
    than ``max_rows`` are subsampled with a seeded generator. Within an
    evaluation the Pearson pair serves both metrics that use it.
    """
    memo = evaluation_memo(real, synth)
    if memo is None:
        return _compute_correlation_pair(real, synth, method, max_rows, seed)
    cr, cs, cols = memo.get(("correlations", method, max_rows, seed),
                            lambda: _compute_correlation_pair(real, synth, method, max_rows, seed))
    return cr, cs, list(cols)


def _compute_correlation_pair(real: pd.DataFrame, synth: pd.DataFrame, method: str,
                              max_rows: Optional[int], seed: Optional[int]):
    cols = numeric_columns(real, synth)
    if len(cols) < 2:
        raise ValueError(
            f"correlation similarity needs at least two numeric columns shared by "
            f"both tables, found {len(cols)}")
    if len(real) < 2 or len(synth) < 2:
        raise ValueError("correlation similarity needs at least two rows in each table")
    rng = make_rng(seed)
    mats = []
    for df in (real, synth):
        # the same rows as subsampling the whole table, taken from the numeric
        # columns alone
        sub = subsample(df[cols], max_rows, rng)
        frame = _numeric_frame(sub, cols)
        if method == "spearman":
            # pandas' own algorithm (ranks within each pair's complete rows),
            # with each column sorted once instead of once per pair
            c = _kernels.spearman_matrix(frame.to_numpy(dtype="float64"), 3)
        else:
            c = frame.corr(method=method, min_periods=3).to_numpy()
        c = np.clip(np.nan_to_num(c, nan=0.0), -1.0, 1.0)
        np.fill_diagonal(c, 1.0)
        mats.append(c)
    return mats[0], mats[1], cols


class CorrelationSimilarityMetrics:
    """Agreement of pairwise correlations between numeric columns.

    Uses the columns numeric in both tables (at least two, else
    ``ValueError``). For every pair of them the correlation is computed in
    each table on pairwise-complete rows; a correlation that cannot be
    computed (constant column, fewer than three rows) counts as 0. The score
    is 1 - mean |r_real - r_synth| over the pairs, clipped at 0 (a mean
    difference above 1 means the signs of strong correlations are reversed).
    Tables longer than ``max_rows`` rows are subsampled (seeded), so for k
    numeric columns the cost is at most O(k^2 * max_rows) for Pearson and
    O(k * max_rows log max_rows + k^2 * max_rows) for Spearman (each column is
    sorted once; each pair is ranked on its complete rows from that order).
    """

    def __init__(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame,
                 max_rows: Optional[int] = 50_000, random_seed: Optional[int] = None) -> None:
        check_pair(real_data, synthetic_data)
        self.real_data = real_data
        self.synthetic_data = synthetic_data
        self.max_rows = max_rows
        self.random_seed = random_seed

    def _difference(self, method: str) -> float:
        cr, cs, cols = _correlation_pair(self.real_data, self.synthetic_data, method,
                                         self.max_rows, self.random_seed)
        iu = np.triu_indices(len(cols), k=1)
        mean_abs = float(np.abs(cr[iu] - cs[iu]).mean())
        return float(np.clip(1.0 - mean_abs, 0.0, 1.0))

    def pearson_correlation_difference(self) -> float:
        """1 - mean |Pearson r_real - Pearson r_synth| over column pairs."""
        return self._difference("pearson")

    def spearman_correlation_difference(self) -> float:
        """1 - mean |Spearman rho_real - Spearman rho_synth| over column pairs."""
        return self._difference("spearman")


class MultivariateSimilarityMetrics:
    """Similarity of the joint distributions of the numeric columns.

    Both scores use the columns numeric in both tables; see the methods.
    ``max_rows`` bounds the rows used for correlations and ``max_samples``
    the rows per table used for the kernel statistic; both subsamples are
    seeded with ``random_seed``.
    """

    def __init__(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame,
                 max_samples: int = 2000, max_rows: Optional[int] = 50_000,
                 random_seed: Optional[int] = None) -> None:
        check_pair(real_data, synthetic_data)
        if int(max_samples) < 2:
            raise ValueError(f"max_samples must be >= 2, got {max_samples}")
        self.real_data = real_data
        self.synthetic_data = synthetic_data
        self.max_samples = int(max_samples)
        self.max_rows = max_rows
        self.random_seed = random_seed

    def correlation_matrix_distance(self) -> float:
        """1 - ||C_real - C_synth||_F / sqrt(k (k - 1)), clipped at 0.

        C are the k x k Pearson correlation matrices (undefined entries 0,
        as in ``CorrelationSimilarityMetrics``). The Frobenius norm over the
        k (k - 1) off-diagonal entries, divided by sqrt(k (k - 1)), is the
        root-mean-square difference of the correlations, so this is the RMS
        counterpart of the Pearson correlation difference: it weighs a few
        large discrepancies more than many small ones.
        """
        cr, cs, cols = _correlation_pair(self.real_data, self.synthetic_data,
                                         "pearson", self.max_rows, self.random_seed)
        k = len(cols)
        frob = float(np.linalg.norm(cr - cs, "fro"))
        return float(np.clip(1.0 - frob / np.sqrt(k * (k - 1)), 0.0, 1.0))

    def mmd_rbf(self) -> float:
        """max(0, 1 - MMD) with a Gaussian (RBF) kernel.

        The numeric columns are standardised with the real table's mean and
        standard deviation; missing entries are imputed with the mean (0) and
        flagged by an indicator column. At most ``max_samples`` rows of each
        table are used. The kernel is k(x, y) = exp(-|x - y|^2 / (2 s^2)) with
        s the median distance between pooled points (median heuristic; 1 when
        that median is 0). MMD^2 is the unbiased estimate
        mean_{i != j} k(x_i, x_j) + mean_{i != j} k(y_i, y_j) - 2 mean k(x_i, y_j),
        set to 0 when negative; it is 0 for identical samples, close to 0 for
        two samples of one distribution whatever their size, and at most 2.
        Needs at least two rows in each table. The kernel sums cost
        O(max_samples^2 * features) however long the tables are.
        """
        cols = numeric_columns(self.real_data, self.synthetic_data)
        if not cols:
            raise ValueError("MMD needs at least one numeric column shared by both tables")
        if len(self.real_data) < 2 or len(self.synthetic_data) < 2:
            raise ValueError("MMD needs at least two rows in each table")
        enc = Encoder(self.real_data, self.synthetic_data, cols, numeric_only=True)
        rng = make_rng(self.random_seed)
        x = enc.transform(subsample(self.real_data, self.max_samples, rng))
        y = enc.transform(subsample(self.synthetic_data, self.max_samples, rng))

        pooled = np.vstack([x, y])
        if len(pooled) > 1000:
            pooled = pooled[rng.choice(len(pooled), size=1000, replace=False)]
        d2 = pairwise_sq_distances(pooled, pooled)
        iu = np.triu_indices(len(pooled), k=1)
        med = float(np.median(np.sqrt(d2[iu]))) if iu[0].size else 0.0
        sigma2 = med * med if med > 0 else 1.0
        gamma = 1.0 / (2.0 * sigma2)

        def kernel_sum(a, b):
            # float(np.exp(-gamma * pairwise_sq_distances(a, b)).sum()), the
            # same steps done in place in one reused matrix
            d2 = np.matmul(a, b.T, out=scratch_matrix(len(a), len(b)))
            _kernels.sq_distances_in_place(d2, np.einsum("ij,ij->i", a, a),
                                           np.einsum("ij,ij->i", b, b))
            np.multiply(-gamma, d2, out=d2)
            np.exp(d2, out=d2)
            return float(d2.sum())

        nx, ny = len(x), len(y)
        # three independent sums, two at a time
        sum_xx, sum_yy, sum_xy = on_two_threads(
            lambda ab: kernel_sum(*ab), [(x, x), (y, y), (x, y)], nx * ny >= 1_000_000)
        # k(a, a) = 1 on the diagonals, which the unbiased estimate leaves out
        within_x = (sum_xx - nx) / (nx * (nx - 1))
        within_y = (sum_yy - ny) / (ny * (ny - 1))
        mmd2 = within_x + within_y - 2.0 * sum_xy / (nx * ny)
        mmd = float(np.sqrt(max(0.0, mmd2)))
        return float(np.clip(1.0 - mmd, 0.0, 1.0))
