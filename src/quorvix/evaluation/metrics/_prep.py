"""Column typing, encoding and distance helpers shared by the metric classes.

Every metric compares a real table with a synthetic one, so the helpers here
always look at a *pair* of tables:

- A column is treated as numeric when it is numeric in both tables. Booleans
  count as numeric (0/1), as do nullable integer/float/boolean columns;
  datetimes and timedeltas count as numeric (nanoseconds) when both tables hold
  the same kind. Every other column, and a column whose kinds disagree between
  the tables, is treated as categorical and compared by value.
- Non-finite numbers (NaN, +inf, -inf) and missing values (None, NaN, NaT,
  ``pd.NA``) are all "missing".
- Random steps draw from ``np.random.default_rng(seed)``. A seed of ``None``
  means the fixed default seed 0, so evaluations are reproducible unless the
  caller asks for another seed.
"""

from __future__ import annotations

import os
import threading
from typing import Dict, Hashable, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from quorvix import _kernels

DEFAULT_SEED = 0

__all__ = [
    "DEFAULT_SEED",
    "Encoded",
    "Encoder",
    "categorical_codes",
    "blas_single_threaded",
    "check_pair",
    "reuse_buffers",
    "scratch_matrix",
    "column_kind",
    "common_columns",
    "float_values",
    "is_numeric_pair",
    "inner_products",
    "kth_smallest_per_row",
    "make_rng",
    "mann_whitney_auc",
    "nearest_sq_distances",
    "numeric_columns",
    "on_two_threads",
    "per_column",
    "pair_encoder",
    "pairwise_sq_distances",
    "subsample",
]


# ---------------------------------------------------------------------------
# Table checks and column typing
# ---------------------------------------------------------------------------


def check_pair(real, synthetic) -> None:
    """Refuse inputs that are not DataFrames or that have duplicate labels."""
    for label, df in (("real", real), ("synthetic", synthetic)):
        if not isinstance(df, pd.DataFrame):
            raise TypeError(
                f"{label} data must be a pandas DataFrame, got {type(df).__name__}"
            )
        if not df.columns.is_unique:
            dupes = df.columns[df.columns.duplicated()].unique().tolist()
            raise ValueError(
                f"{label} data has duplicate column labels {dupes!r}; "
                "column labels must be unique"
            )


def common_columns(real: pd.DataFrame, synthetic: pd.DataFrame,
                   columns: Optional[Sequence[Hashable]] = None) -> List[Hashable]:
    """Labels present in both tables, in the real table's column order.

    With ``columns`` given, only those labels are kept (still in real order).
    """
    synth_cols = set(synthetic.columns)
    wanted = None if columns is None else set(columns)
    return [c for c in real.columns
            if c in synth_cols and (wanted is None or c in wanted)]


def column_kind(s: pd.Series) -> str:
    """'number', 'datetime', 'timedelta' or 'category' for one column."""
    dtype = s.dtype
    if pd.api.types.is_datetime64_any_dtype(dtype):
        return "datetime"
    if pd.api.types.is_timedelta64_dtype(dtype):
        return "timedelta"
    if (pd.api.types.is_numeric_dtype(dtype)
            and not pd.api.types.is_complex_dtype(dtype)):
        return "number"
    return "category"


def is_numeric_pair(real_col: pd.Series, synth_col: pd.Series) -> bool:
    kind = column_kind(real_col)
    return kind != "category" and kind == column_kind(synth_col)


def numeric_columns(real: pd.DataFrame, synthetic: pd.DataFrame,
                    columns: Optional[Sequence[Hashable]] = None) -> List[Hashable]:
    """Shared columns that are numeric in both tables, in real order."""
    return [c for c in common_columns(real, synthetic, columns)
            if is_numeric_pair(real[c], synthetic[c])]


def float_values(s: pd.Series) -> np.ndarray:
    """The column as a float64 array; missing and non-finite entries are NaN."""
    kind = column_kind(s)
    if kind == "datetime":
        if getattr(s.dtype, "tz", None) is not None:
            s = s.dt.tz_convert("UTC").dt.tz_localize(None)
        missing = s.isna().to_numpy()
        out = s.to_numpy(dtype="datetime64[ns]").astype("int64").astype("float64")
        out[missing] = np.nan
        return out
    if kind == "timedelta":
        missing = s.isna().to_numpy()
        out = s.to_numpy(dtype="timedelta64[ns]").astype("int64").astype("float64")
        out[missing] = np.nan
        return out
    out = np.array(s.to_numpy(dtype="float64", na_value=np.nan), dtype="float64")
    out[~np.isfinite(out)] = np.nan
    return out


def _object_values(s: pd.Series) -> np.ndarray:
    """The column as an object array of hashable values; missing is None."""
    missing = s.isna().to_numpy()
    values = np.asarray(s, dtype=object).copy()
    values[missing] = None
    try:
        pd.factorize(values[~missing])
    except TypeError:  # unhashable entries such as lists: compare their text
        values[~missing] = [str(v) for v in values[~missing]]
    return values


def categorical_codes(real_col: pd.Series, synth_col: pd.Series
                      ) -> Tuple[np.ndarray, np.ndarray, int]:
    """Integer codes over the union of both columns' values.

    Returns ``(real_codes, synth_codes, n_categories)``; missing values get
    code -1. Equal values share a code in both tables (values are compared
    with Python equality, so 1, 1.0 and True are the same category).
    """
    if _holds_text_only(real_col) and _holds_text_only(synth_col):
        return _text_codes(real_col, synth_col)
    r = _object_values(real_col)
    s = _object_values(synth_col)
    codes, uniques = pd.factorize(np.concatenate([r, s]), use_na_sentinel=True)
    return codes[: len(r)], codes[len(r):], len(uniques)


def _holds_text_only(s: pd.Series) -> bool:
    """Whether every present value of the column is a str (so that pandas can
    factorize the column as it stands, without a copy as Python objects)."""
    if isinstance(s.dtype, pd.StringDtype):
        return True
    return s.dtype == object and pd.api.types.infer_dtype(s, skipna=True) == "string"


def _text_codes(real_col: pd.Series, synth_col: pd.Series) -> Tuple[np.ndarray, np.ndarray, int]:
    """``categorical_codes`` of two text columns: each column is factorized on
    its own and the synthetic codes are mapped onto the real ones, new values
    numbered on in their order of appearance, which gives the codes of
    factorizing the two columns one after the other."""
    r_codes, r_uniques = pd.factorize(real_col, use_na_sentinel=True)
    s_codes, s_uniques = pd.factorize(synth_col, use_na_sentinel=True)
    known = pd.Index(np.asarray(r_uniques, dtype=object), dtype=object)
    where = known.get_indexer(np.asarray(s_uniques, dtype=object))
    new = where < 0
    where[new] = len(known) + np.arange(int(new.sum()))
    mapped = np.where(s_codes >= 0, where[np.maximum(s_codes, 0)], -1) if len(where) else s_codes
    return (np.asarray(r_codes, dtype=np.intp), np.asarray(mapped, dtype=np.intp),
            len(known) + int(new.sum()))


# ---------------------------------------------------------------------------
# Column work on both cores

# Below this many rows per column (or distances in all) the second thread
# costs more than it saves.
_PARALLEL_MIN_ROWS = 50_000
_PARALLEL_MIN_CELLS = 4_000_000
_pool = None


_blas_lock = threading.Lock()
_blas_users = 0
_blas_limit = None
_blas_controller = None


def blas_single_threaded(enter: bool) -> None:
    """Hold (``enter``) or release the BLAS libraries at one thread each.

    The distance blocks run two at a time on our own two threads; BLAS
    threads of their own on top of those only compete for the cores, and
    idle BLAS threads keep spinning for a while after each product. While at
    least one holder remains (an evaluation under way) numpy's BLAS uses
    one thread; the last release restores the previous setting. Without
    threadpoolctl nothing changes."""
    global _blas_users, _blas_limit, _blas_controller
    with _blas_lock:
        if enter:
            _blas_users += 1
            if _blas_users > 1:
                return
            try:
                if _blas_controller is None:
                    from threadpoolctl import ThreadpoolController

                    _blas_controller = ThreadpoolController()
                _blas_limit = _blas_controller.limit(limits=1, user_api="blas")
            except Exception:  # no threadpoolctl, or a library it cannot set
                _blas_limit = None
            return
        if _blas_users == 0:
            return
        _blas_users -= 1
        if _blas_users == 0 and _blas_limit is not None:
            limit, _blas_limit = _blas_limit, None
            limit.restore_original_limits()


_scratch_lock = threading.Lock()
_scratch_users = 0
_scratch: Dict[int, np.ndarray] = {}  # thread id -> its buffer, while in use


def reuse_buffers(enter: bool) -> None:
    """Start (``enter``) or stop handing out reused buffers from
    ``scratch_matrix``. While at least one holder remains (an evaluation
    under way) each thread keeps one buffer for its distance blocks instead
    of asking the system for tens of megabytes, zeroed page by page, per
    block; the last release frees them."""
    global _scratch_users
    with _scratch_lock:
        if enter:
            _scratch_users += 1
        elif _scratch_users > 0:
            _scratch_users -= 1
            if _scratch_users == 0:
                _scratch.clear()


def scratch_matrix(rows: int, cols: int) -> np.ndarray:
    """An uninitialised C-contiguous float64 (rows, cols) array. While
    buffers are reused (see ``reuse_buffers``) it is a view of the calling
    thread's buffer, overwritten by that thread's next call: use it within
    one step and keep nothing that points into it."""
    n = int(rows) * int(cols)
    if not _scratch_users:
        return np.empty((rows, cols))
    key = threading.get_ident()
    buf = _scratch.get(key)
    if buf is None or buf.size < n:
        buf = np.empty(max(n, 1))
        with _scratch_lock:
            if _scratch_users:
                _scratch[key] = buf
    return buf[:n].reshape(rows, cols)


def per_column(fn, columns: Sequence, n_rows: int) -> list:
    """``[fn(c) for c in columns]``, on two threads for long columns.

    For independent per-column work whose heavy steps (sorting, searching,
    counting) run in numpy or native code that lets other threads run while
    it works; the results are the same and in the same order, and an error
    is raised as the loop would raise it (the first column's first).
    """
    return on_two_threads(fn, columns, n_rows >= _PARALLEL_MIN_ROWS)


def on_two_threads(fn, items: Sequence, worth_it: bool = True) -> list:
    """``[fn(x) for x in items]``, spread over two threads when ``worth_it``
    and the machine has two cores; results in order, the first failing
    item's error raised."""
    global _pool
    items = list(items)
    if len(items) < 2 or not worth_it or (os.cpu_count() or 1) < 2:
        return [fn(x) for x in items]
    if _pool is None:
        from concurrent.futures import ThreadPoolExecutor

        _pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="quorvix-metrics")
    futures = [_pool.submit(fn, x) for x in items]
    return [f.result() for f in futures]


# ---------------------------------------------------------------------------
# Randomness
# ---------------------------------------------------------------------------


def make_rng(seed: Optional[int]) -> np.random.Generator:
    return np.random.default_rng(DEFAULT_SEED if seed is None else seed)


def subsample(df: pd.DataFrame, max_rows: Optional[int],
              rng: np.random.Generator) -> pd.DataFrame:
    """At most ``max_rows`` rows drawn without replacement, in table order."""
    if max_rows is None or len(df) <= max_rows:
        return df
    idx = np.sort(rng.choice(len(df), size=int(max_rows), replace=False))
    return df.iloc[idx]


# ---------------------------------------------------------------------------
# Encoding into a numeric matrix
# ---------------------------------------------------------------------------


class Encoder:
    """Encode the shared columns of a table pair into one numeric layout.

    Fitted on the real table:

    - numeric columns are standardised with the real column's mean and
      standard deviation (a zero or undefined deviation counts as 1, an
      all-missing column has mean 0); missing entries become 0, the mean, and
      when either table has missing entries in the column an extra 0/1
      indicator column records them;
    - categorical columns are one-hot encoded over the ``max_categories`` most
      frequent real values plus one slot for any other value and one for
      missing; the one-hot block is scaled by 1/sqrt(2) so that two records
      differing in the column are at distance 1, like one standard deviation
      of a numeric column.

    With ``numeric_only`` the categorical columns are left out.
    """

    def __init__(self, real: pd.DataFrame, synthetic: pd.DataFrame,
                 columns: Optional[Sequence[Hashable]] = None,
                 numeric_only: bool = False, max_categories: int = 20):
        self.columns = common_columns(real, synthetic, columns)
        self.numeric: List[Hashable] = []
        self.categorical: List[Hashable] = []
        self._stats: Dict[Hashable, Tuple[float, float, bool]] = {}
        self._levels: Dict[Hashable, pd.Index] = {}
        for c in self.columns:
            if is_numeric_pair(real[c], synthetic[c]):
                v = float_values(real[c])
                finite = v[~np.isnan(v)]
                mean = float(finite.mean()) if finite.size else 0.0
                std = float(finite.std()) if finite.size > 1 else 0.0
                if not np.isfinite(std) or std <= 0.0:
                    std = 1.0
                if not np.isfinite(mean):
                    mean = 0.0
                has_missing = bool(np.isnan(v).any()
                                   or np.isnan(float_values(synthetic[c])).any())
                self.numeric.append(c)
                self._stats[c] = (mean, std, has_missing)
            elif not numeric_only:
                col = real[c]
                if _holds_text_only(col):
                    # value_counts of the texts' codes: codes appear in the
                    # texts' order of appearance, so the same call orders
                    # them as it orders the texts (ties included)
                    codes, uniques = pd.factorize(col, use_na_sentinel=True)
                    present_codes = codes[codes >= 0]
                    if present_codes.size:
                        counts = pd.Series(present_codes).value_counts(sort=True)
                        texts = np.asarray(uniques, dtype=object)
                        top = list(texts[counts.index[:max_categories].to_numpy()])
                    else:
                        top = []
                else:
                    vals = _object_values(col)
                    present = vals[pd.notna(vals)]
                    if present.size:
                        counts = pd.Series(present).value_counts(sort=True)
                        top = list(counts.index[:max_categories])
                    else:
                        top = []
                self.categorical.append(c)
                self._levels[c] = pd.Index(top, dtype=object)
        self.n_features = sum(1 + int(self._stats[c][2]) for c in self.numeric) \
            + sum(len(self._levels[c]) + 2 for c in self.categorical)

    def feature_slices(self) -> Dict[Hashable, slice]:
        """The columns of ``transform``'s output that encode each column."""
        out: Dict[Hashable, slice] = {}
        j = 0
        for c in self.numeric:
            width = 1 + int(self._stats[c][2])
            out[c] = slice(j, j + width)
            j += width
        for c in self.categorical:
            width = len(self._levels[c]) + 2
            out[c] = slice(j, j + width)
            j += width
        return out

    def _native_args(self, df: pd.DataFrame) -> tuple:
        """The arguments of ``_kernels.encode_rows``/``encode_parts`` for
        the rows of ``df``: the numeric columns with their statistics, and
        the slot of every row in each one-hot block."""
        n = len(df)
        numeric = [np.ascontiguousarray(float_values(df[c]), dtype=np.float64)
                   for c in self.numeric]
        stats = [self._stats[c] for c in self.numeric]
        slots = []
        for c in self.categorical:
            levels = self._levels[c]
            col = df[c]
            if _holds_text_only(col):
                # look up each distinct text once, then spread by its codes
                codes, uniques = pd.factorize(col, use_na_sentinel=True)
                pos = levels.get_indexer(np.asarray(uniques, dtype=object)) if len(levels) \
                    else np.full(len(uniques), -1, dtype=np.intp)
                per_unique = np.where(pos >= 0, pos, len(levels)).astype(np.int64)
                slot = np.full(n, len(levels) + 1, dtype=np.int64)  # missing
                present = codes >= 0
                slot[present] = per_unique[codes[present]]
            else:
                vals = _object_values(col)
                missing = pd.isna(vals)
                slot = np.full(n, len(levels), dtype=np.int64)  # "other"
                if len(levels) and (~missing).any():
                    pos = levels.get_indexer(vals[~missing])
                    slot[~missing] = np.where(pos >= 0, pos, len(levels))
                slot[missing] = len(levels) + 1
            slots.append(slot)
        return (numeric, [m for m, _, _ in stats], [sd for _, sd, _ in stats],
                [int(flag) for _, _, flag in stats], slots,
                [len(self._levels[c]) + 2 for c in self.categorical], 1.0 / np.sqrt(2.0), n)

    def transform(self, df: pd.DataFrame) -> np.ndarray:
        # the matrix is written natively, row after row
        return _kernels.encode_rows(*self._native_args(df))

    def encode(self, df: pd.DataFrame) -> "Encoded":
        """The rows of ``transform`` in the parts the distance scans read,
        without the one-hot matrix (see ``Encoded``)."""
        dense, slots, flags, sq = _kernels.encode_parts(*self._native_args(df))
        w = 1.0 / np.sqrt(2.0)
        return Encoded(dense, slots, flags, sq, w * w, self.n_features)


class Encoded:
    """Rows of an ``Encoder`` in parts: ``dense`` (the standardised numeric
    columns), ``slots`` (the hot position of each one-hot block, one byte
    each), ``flags`` (the missing-value indicators, one byte each), ``sq``
    (the rows' squared norms), ``weight`` (the product of two agreeing hot
    entries) and ``dimensions`` (the width of ``transform``'s matrix).

    The inner product of two such rows is the dense parts' product plus
    ``weight`` for every block whose slots agree plus 1 for every indicator
    set in both, so the distance functions take them in place of
    ``transform``'s matrices: the native scans (``_kernels.layout_*``) make
    the squared distances of a few queries at a time to every reference
    row, in tiles that stay in the processor's cache, on up to two threads,
    from a product over the few dense columns and counts of agreeing slots
    and shared indicators instead of a product over every column. No
    matrix of queries x references is stored. The distances equal the
    matrices' up to rounding."""

    __slots__ = ("dense", "slots", "flags", "sq", "weight", "dimensions")

    def __init__(self, dense: np.ndarray, slots: np.ndarray, flags: np.ndarray, sq: np.ndarray,
                 weight: float, dimensions: int):
        self.dense, self.slots, self.flags, self.sq = dense, slots, flags, sq
        self.weight, self.dimensions = float(weight), int(dimensions)

    def __len__(self) -> int:
        return len(self.dense)

    def take(self, rows) -> "Encoded":
        rows = np.asarray(rows)
        return Encoded(*(np.ascontiguousarray(a[rows])
                         for a in (self.dense, self.slots, self.flags, self.sq)),
                       self.weight, self.dimensions)

    def scan_args(self, reference: "Encoded") -> tuple:
        """The leading arguments of the ``_kernels.layout_*`` scans, these
        rows as the queries."""
        if not isinstance(self, Encoded) or not isinstance(reference, Encoded):
            raise TypeError("encoded rows can only be compared with encoded rows")
        return (self.dense, self.slots, self.flags, reference.dense, reference.slots,
                reference.flags, self.weight, self.sq, reference.sq)


def pair_encoder(memo, real: pd.DataFrame, synthetic: pd.DataFrame) -> Encoder:
    """``Encoder(real, synthetic)`` with the default settings, fitted once per
    pair: ``memo`` is the pair's memo from ``_shared.pair_memo``."""
    return memo.get(("encoder",), lambda: Encoder(real, synthetic))


# ---------------------------------------------------------------------------
# Distances and ranks
# ---------------------------------------------------------------------------


def _chunk_rows(n_ref: int, budget: int = 1_000_000) -> int:
    return max(1, budget // max(1, n_ref))


def pairwise_sq_distances(a: np.ndarray, b: np.ndarray,
                          b_sq: Optional[np.ndarray] = None) -> np.ndarray:
    """Squared Euclidean distances between the rows of ``a`` and ``b``."""
    if b_sq is None:
        b_sq = np.einsum("ij,ij->i", b, b)
    a_sq = np.einsum("ij,ij->i", a, a)
    d2 = a_sq[:, None] + b_sq[None, :] - 2.0 * (a @ b.T)
    np.maximum(d2, 0.0, out=d2)
    return d2


# Up to this k the k-th smallest entry of a row is found by k - 1 passes of
# argmin (each taking one entry out) and a final min; a pass costs a small
# fraction of np.partition, which is slow on short rows of floats.
_SELECT_BY_MIN_MAX_K = 16


def kth_smallest_per_row(values: np.ndarray, k: int) -> np.ndarray:
    """The k-th smallest entry (k >= 1, counting repeats) of every row of a
    2-D float array: ``np.partition(values, k - 1, axis=1)[:, k - 1]``.

    For small k it is computed with row minima instead of a partition, which
    gives the same numbers many times faster. Rows holding NaN, which a
    partition sorts after every number, go through ``np.partition``.
    ``values`` may be overwritten.
    """
    n_rows, n_cols = values.shape
    if not 1 <= k <= n_cols:
        raise ValueError(f"k must be in [1, {n_cols}], got {k}")
    if k > _SELECT_BY_MIN_MAX_K:
        return np.partition(values, k - 1, axis=1)[:, k - 1]
    out = values.min(axis=1)
    nan_rows = np.isnan(out)  # the minimum of a row is NaN iff the row holds one
    if nan_rows.any():
        out[nan_rows] = np.partition(values[nan_rows], k - 1, axis=1)[:, k - 1]
    if k == 1:
        return out
    rows = np.flatnonzero(~nan_rows)
    sub = values if rows.size == n_rows else values[rows]
    at = np.arange(len(sub))
    for _ in range(k - 1):
        # take one occurrence of the current minimum out of every row; a row
        # whose minimum is already +inf keeps it, and its answer is +inf anyway
        sub[at, sub.argmin(axis=1)] = np.inf
    out[rows] = sub.min(axis=1)
    return out


def inner_products(queries: np.ndarray, reference: np.ndarray):
    """A function ``block(start, stop, out)`` that writes the inner products
    of queries[start:stop] with every reference row into ``out`` (a
    C-contiguous (stop - start, len(reference)) float64 array)."""
    def block(start, stop, out):
        return np.matmul(queries[start:stop], reference.T, out=out)
    return block


def nearest_sq_distances(queries, reference, k: int = 1,
                         exclude: Optional[np.ndarray] = None) -> np.ndarray:
    """Squared distance from each query to its k-th nearest reference row.

    ``exclude[i]``, when given, is the row of ``reference`` that query ``i``
    must not be matched with (itself, for leave-one-out distances); use -1 for
    none. Work is done in row chunks so memory stays bounded; the cost is
    O(len(queries) * len(reference) * features), so callers bound both sizes.
    Both sides are float matrices, or both ``Encoded`` rows: then the
    distances come from a native scan of their parts (``Encoded``; equal to
    the matrices' up to rounding, and cheaper).
    """
    n_q, n_r = len(queries), len(reference)
    avail = n_r - (0 if exclude is None else 1)
    if k < 1 or k > avail:
        raise ValueError(f"need at least {k} reference rows, have {avail}")
    if isinstance(queries, Encoded) or isinstance(reference, Encoded):
        ex = np.empty(0, dtype=np.int64) if exclude is None else np.ascontiguousarray(
            exclude, dtype=np.int64)
        return _kernels.layout_kth_nearest(*Encoded.scan_args(queries, reference), k, ex)
    native = (queries.dtype == np.float64 and reference.dtype == np.float64
              and queries.ndim == 2 and reference.ndim == 2)
    ref_sq = np.einsum("ij,ij->i", reference, reference)
    out = np.empty(n_q, dtype="float64")
    step = _chunk_rows(n_r)

    no_exclude = np.empty(0, dtype=np.int64)
    products = inner_products(queries, reference)

    def block(start):
        stop = min(n_q, start + step)
        q = queries[start:stop]
        if native:
            # the distances of pairwise_sq_distances from the same products
            # and norms, selected natively in one pass
            a_sq = np.einsum("ij,ij->i", q, q)
            gram = products(start, stop, scratch_matrix(len(q), n_r))
            ex = no_exclude if exclude is None else np.ascontiguousarray(
                exclude[start:stop], dtype=np.int64)
            out[start:stop] = _kernels.kth_nearest(gram, a_sq, ref_sq, k, ex)
            return
        d2 = pairwise_sq_distances(q, reference, ref_sq)
        if exclude is not None:
            rows = np.arange(stop - start)
            ex = exclude[start:stop]
            ok = ex >= 0
            d2[rows[ok], ex[ok]] = np.inf
        out[start:stop] = kth_smallest_per_row(d2, k)

    # blocks are independent (each writes its own rows): two at a time
    on_two_threads(block, range(0, n_q, step), n_q * n_r >= _PARALLEL_MIN_CELLS)
    return out


def mann_whitney_auc(positive: np.ndarray, negative: np.ndarray) -> float:
    """P(score of a positive > score of a negative), ties counting one half."""
    from scipy.stats import rankdata

    positive = np.asarray(positive, dtype="float64")
    negative = np.asarray(negative, dtype="float64")
    n_pos, n_neg = positive.size, negative.size
    if n_pos == 0 or n_neg == 0:
        raise ValueError("AUC needs at least one score in each group")
    ranks = rankdata(np.concatenate([positive, negative]))
    u = ranks[:n_pos].sum() - n_pos * (n_pos + 1) / 2.0
    return float(u / (n_pos * n_neg))
