"""Work shared by the metrics that look at the same pair of tables.

An evaluation runs many metric classes, one after another, on one (real,
synthetic) pair, and several of them begin with the same step: the frequency
tables of every column (total variation, Hellinger and Jensen–Shannon) and
the encoder fitted on the whole pair (alpha-precision, beta-recall and
membership inference). Each metric asks ``pair_memo(real, synthetic)`` for
the memo of its pair and takes such intermediate results from it, computing
them only when no earlier metric did.

A memo is reused only while it is certain to be right:

- for the very same two table objects, checked by identity through weak
  references, so a memo never keeps a table alive and goes away with it;
- with the same content: every ``pair_memo`` call takes a digest of both
  tables (their column labels, dtypes and every value; a few tens of
  milliseconds for 100,000 rows x 20 columns) and compares it with the digest taken when the
  memo was made. A table changed in place between two evaluations gets a new
  memo, whatever the kind of change.

The digest is exact for numbers, booleans, dates, nullable and categorical
columns and for text held by pyarrow (its buffers are hashed), and uses
pandas' 64-bit value hashes for other text. Columns whose values it
cannot tell apart reliably (object columns holding anything but text,
categories that are not text or integers, other extension types) make a pair
uncacheable: ``pair_memo`` then hands out a memo that serves only the calling
metric, which computes everything itself as it would without this module.

Inside an evaluation (``TabularEvaluator.evaluate`` opens one with
``begin_evaluation`` and closes it with ``end_evaluation``) no digest is
taken: the evaluation's tables are not changed while its metrics run (no
code but the metrics runs between them), so for those two objects
``pair_memo`` hands out the evaluation's own memo at once, and it is dropped
when the evaluation ends. Metric classes called on their own are not in an
evaluation and take the digest as described above.

Only the most recent pair's memo is kept, and it stores at most
``MAX_STORED_BYTES`` of arrays (frequency tables grow with the number of
distinct values of a column); a value beyond that is handed out but not
kept. A metric must take the memo at the start of its computation and must
not keep it: the digest is only valid for the call that took it. Values in
a memo are shared between metrics and must not be modified; arrays are
stored read-only.
"""

from __future__ import annotations

import hashlib
import threading
import weakref
from typing import Any, Callable, Dict, Hashable, Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    blas_single_threaded,
    categorical_codes,
    reuse_buffers,
)

__all__ = ["MAX_STORED_BYTES", "PairMemo", "begin_evaluation", "clear", "end_evaluation",
           "evaluation_memo", "pair_memo", "shared_categorical_codes", "table_digest"]

MAX_STORED_BYTES = 64 * 2**20


_NULLABLE_NUMBER_DTYPES = (
    pd.Int8Dtype, pd.Int16Dtype, pd.Int32Dtype, pd.Int64Dtype,
    pd.UInt8Dtype, pd.UInt16Dtype, pd.UInt32Dtype, pd.UInt64Dtype,
    pd.Float32Dtype, pd.Float64Dtype, pd.BooleanDtype,
)


def _column_bytes(s: pd.Series) -> Optional[list]:
    """Buffers (objects with the buffer protocol) that tell apart any two
    versions of the column that a metric could treat differently, or None
    when no cheap exact form exists."""
    dtype = s.dtype
    if isinstance(dtype, np.dtype):
        if dtype.kind in "biufcmM":
            # exact bit patterns: -0.0 and 0.0, NaN and NaT all stay distinct
            return [np.ascontiguousarray(s.to_numpy()).view(np.uint8)]
        if dtype.kind == "O" and pd.api.types.infer_dtype(s, skipna=True) in ("string", "empty"):
            return [_hashed(s)]
        return None  # e.g. objects of mixed types: pandas hashes 1 and "1" alike
    if isinstance(dtype, pd.StringDtype):
        buffers = _arrow_buffers(s)
        return buffers if buffers is not None else [_hashed(s)]
    if isinstance(dtype, pd.DatetimeTZDtype):
        # zoned timestamps by their integer value (the zone and the unit are
        # part of the dtype's text)
        return [_hashed(s)]
    if isinstance(dtype, pd.CategoricalDtype):
        cats = dtype.categories
        if (pd.api.types.is_integer_dtype(cats.dtype) or pd.api.types.is_bool_dtype(cats.dtype)
                or pd.api.types.infer_dtype(cats, skipna=True) in ("string", "empty")):
            return [_hashed(s)]
        return None
    if isinstance(dtype, _NULLABLE_NUMBER_DTYPES):
        # values with the missing entries set to 0, then the missing mask
        missing = s.isna().to_numpy()
        values = s.to_numpy(dtype=dtype.numpy_dtype, na_value=dtype.numpy_dtype.type(0))
        return [np.ascontiguousarray(values).view(np.uint8), np.packbits(missing)]
    return None


def _arrow_buffers(s: pd.Series) -> Optional[list]:
    """The Arrow memory of a text column held by pyarrow, with each chunk's
    position in it, or None for another storage. Equal buffers and positions
    mean equal text; different ones (even for equal text, say after slicing)
    only cost a memo."""
    to_arrow = getattr(s.array, "__arrow_array__", None)
    if to_arrow is None:
        return None
    try:
        chunked = to_arrow()
        chunks = chunked.chunks
    except Exception:  # not pyarrow-backed after all
        return None
    out: list = [repr((str(chunked.type), len(chunks))).encode()]
    for chunk in chunks:
        out.append(repr((chunk.offset, len(chunk), chunk.null_count)).encode())
        for buf in chunk.buffers():
            out.append(b"-" if buf is None else memoryview(buf))
    return out


def _hashed(s: pd.Series) -> bytes:
    return pd.util.hash_pandas_object(s, index=False).to_numpy().tobytes()


def table_digest(df: pd.DataFrame) -> Optional[bytes]:
    """Digest of a table's column labels, dtypes and values, in order; None
    when a column cannot be digested exactly (see the module docstring).
    The row labels are left out: no metric looks at them."""
    h = hashlib.sha256()
    h.update(repr(df.shape).encode())
    for i, label in enumerate(df.columns):
        col = df.iloc[:, i]
        try:
            data = _column_bytes(col)
        except Exception:  # a column pandas cannot convert or hash: no digest
            return None
        if data is None:
            return None
        sizes = [memoryview(b).nbytes for b in data]
        h.update(repr((type(label).__module__, type(label).__qualname__, label,
                       str(col.dtype), sizes)).encode())
        for b in data:
            h.update(b)
    return h.digest()


def _pair_digests(real: pd.DataFrame, synth: pd.DataFrame):
    """(table_digest(real), table_digest(synth)); on long tables the two are
    taken at the same time (hashing lets other threads run)."""
    if len(real) + len(synth) < 200_000:
        return table_digest(real), table_digest(synth)
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=1) as pool:
        other = pool.submit(table_digest, synth)
        mine = table_digest(real)
        return mine, other.result()


class PairMemo:
    """Results computed about one pair of tables, by key."""

    def __init__(self) -> None:
        self._values: Dict[Hashable, Any] = {}
        self._stored_bytes = 0
        self._lock = threading.Lock()  # metrics' column work may store from two threads

    def get(self, key: Hashable, compute: Callable[[], Any]) -> Any:
        """The value stored under ``key``, computed by ``compute()`` first if
        no metric has stored it yet. numpy arrays among the value (itself, or
        the items of a tuple, list or dict) are made read-only."""
        try:
            return self._values[key]
        except KeyError:
            pass
        value = compute()
        size = _freeze(value)
        with self._lock:
            if key not in self._values and self._stored_bytes + size <= MAX_STORED_BYTES:
                self._values[key] = value
                self._stored_bytes += size
        return value


def _freeze(value: Any) -> int:
    """Make the arrays in ``value`` read-only; their total size in bytes."""
    if isinstance(value, np.ndarray):
        value.setflags(write=False)
        return value.nbytes
    if isinstance(value, (tuple, list)):
        return sum(_freeze(v) for v in value)
    if isinstance(value, dict):
        return sum(_freeze(v) for v in value.values())
    return 0


class _Slot:
    __slots__ = ("real", "synth", "digests", "memo")

    def __init__(self, real, synth, digests, memo):
        self.real = weakref.ref(real, _forget)
        self.synth = weakref.ref(synth, _forget)
        self.digests = digests
        self.memo = memo


_slot: Optional[_Slot] = None


def _forget(ref) -> None:
    # a table of the kept pair was garbage-collected: drop its memo
    global _slot
    slot = _slot
    if slot is not None and (slot.real is ref or slot.synth is ref):
        _slot = None


def pair_memo(real: pd.DataFrame, synth: pd.DataFrame) -> PairMemo:
    """The memo of this pair of tables in their current state.

    The same memo comes back as long as the same two objects are passed with
    unchanged content; otherwise a new one replaces it (or, for a pair that
    cannot be digested, a memo just for the caller is returned).
    """
    global _slot
    memo = evaluation_memo(real, synth)
    if memo is not None:
        return memo
    digests = _pair_digests(real, synth)
    if digests[0] is None or digests[1] is None:
        return PairMemo()
    slot = _slot
    if (slot is not None and slot.real() is real and slot.synth() is synth
            and slot.digests == digests):
        return slot.memo
    memo = PairMemo()
    _slot = _Slot(real, synth, digests, memo)
    return memo


class _Evaluation:
    """An evaluation under way: its two tables (weakly) and its memo."""

    __slots__ = ("real", "synth", "memo", "__weakref__")

    def __init__(self, real, synth):
        self.real = weakref.ref(real)
        self.synth = weakref.ref(synth)
        self.memo = PairMemo()


_evaluations: list = []  # evaluations under way, innermost last


def evaluation_memo(real: pd.DataFrame, synth: pd.DataFrame) -> Optional[PairMemo]:
    """The memo of the evaluation under way on these two objects, or None
    outside one. For results cheap enough that taking digests to share them
    outside an evaluation would cost more than computing them again."""
    for scope in reversed(_evaluations):
        if scope.real() is real and scope.synth() is synth:
            return scope.memo
    return None


def shared_categorical_codes(real: pd.DataFrame, synth: pd.DataFrame, label: Hashable):
    """``categorical_codes(real[label], synth[label])``, computed once per
    evaluation of this pair (the frequency tables and the distance to the
    closest record both ask for them); outside an evaluation, computed."""
    memo = evaluation_memo(real, synth)
    if memo is None:
        return categorical_codes(real[label], synth[label])
    key = ("categorical_codes", type(label).__module__, type(label).__qualname__, label)
    return memo.get(key, lambda: categorical_codes(real[label], synth[label]))


def begin_evaluation(real: pd.DataFrame, synth: pd.DataFrame) -> Optional[_Evaluation]:
    """Open an evaluation of this pair: until ``end_evaluation`` is called
    with the returned token, ``pair_memo`` of these two objects returns one
    memo without taking digests. The caller promises not to change the
    tables in between. Meanwhile BLAS runs on one thread (the metrics use
    two threads of their own; see ``_prep.blas_single_threaded``) and the
    distance blocks reuse their buffers (``_prep.reuse_buffers``)."""
    try:
        scope = _Evaluation(real, synth)
    except TypeError:  # not tables (the metrics will say so): nothing to share
        return None
    _evaluations.append(scope)
    blas_single_threaded(True)
    reuse_buffers(True)
    return scope


def end_evaluation(scope: Optional[_Evaluation]) -> None:
    """Close an evaluation opened by ``begin_evaluation`` (its memo goes)."""
    for i in range(len(_evaluations) - 1, -1, -1):
        if _evaluations[i] is scope:
            del _evaluations[i]
            blas_single_threaded(False)
            reuse_buffers(False)
            return


def clear() -> None:
    """Drop the kept memo."""
    global _slot
    _slot = None
