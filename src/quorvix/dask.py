"""quorvix over partitioned tables, with Dask.

A Dask DataFrame is a sequence of pandas DataFrames (its partitions), so the
native rule engine, the noise processor's mechanisms and the metric code run
unchanged inside Dask tasks. This module holds the per-partition functions and
the merges of their partial results:

- ``validate(engine, ddf)``: the rules run per partition; counts add up and
  the violating labels are merged, so the report equals
  ``engine.validate(ddf.compute())`` without ever building the whole table.
- ``fix(report, ddf, strategy, random_state=None)``: a lazy repaired table.
- ``apply_privex(ddf, ...)``: one pass gathers the per-column facts the noise
  depends on (ranges, whole-number columns, value frequencies), a second adds
  the noise partition by partition.
- ``evaluate(real_ddf, synthetic_ddf, ...)``: the statistical metrics from
  exact, mergeable per-partition summaries; the neighbour-, kernel- and
  model-based metrics on a seeded sample of rows.
- ``read_parquet(path, columns=None)``: Parquet files as a dask DataFrame of
  one partition per file, each read column by column so that reading it costs
  little more memory than the partition itself.

Work is computed with whatever Dask scheduler is active: a ``distributed``
``Client`` when one is set up, Dask's local threaded scheduler otherwise.

Randomness: ``fix(..., "resample")`` and ``apply_privex`` draw from
``numpy.random.Generator`` streams derived from ``random_state`` and the
partition number (``numpy.random.SeedSequence(random_state,
spawn_key=(i,))``), not from numpy's global state. A run is reproducible for a
given ``random_state`` and partitioning; its draws differ from those of the
single-table functions, which use numpy's global stream, but follow the same
distributions. ``random_state=None`` draws fresh entropy on every call.
"""

from __future__ import annotations

import contextlib
import math
import operator
import threading
import time
import warnings
from typing import Any, Callable, Dict, Hashable, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

import dask
import dask.dataframe as dd
from dask import delayed

__all__ = ["apply_privex", "evaluate", "fix", "progress", "read_parquet", "validate"]


# ---------------------------------------------------------------------------
# Running tasks, with optional progress reports
# ---------------------------------------------------------------------------

_progress_local = threading.local()


@contextlib.contextmanager
def progress(callback: Callable[[str, int, int], Any]) -> Iterator[None]:
    """Report finished partition tasks while the block runs.

    ``callback(stage, done, total)`` is called on the calling thread each time
    one partition task of a stage finishes (``stage`` is a short text such as
    "validate" or "evaluate: summaries"). The command-line tool uses this to
    print progress on stderr.
    """
    previous = getattr(_progress_local, "callback", None)
    _progress_local.callback = callback
    try:
        yield
    finally:
        _progress_local.callback = previous


def _active_client():
    try:
        from distributed import default_client
    except ImportError:  # pragma: no cover - distributed is part of the extra
        return None
    try:
        return default_client()
    except ValueError:
        return None


def _run(stage: str, tasks: Sequence[Any]) -> List[Any]:
    """Compute a list of delayed partition tasks; results in task order."""
    tasks = list(tasks)
    if not tasks:
        return []
    callback = getattr(_progress_local, "callback", None)
    if callback is None:
        return list(dask.compute(*tasks))
    total = len(tasks)
    callback(stage, 0, total)
    client = _active_client()
    if client is not None:
        from distributed import as_completed

        futures = client.compute(tasks)
        position = {f.key: i for i, f in enumerate(futures)}
        results: List[Any] = [None] * total
        for done, future in enumerate(as_completed(futures), start=1):
            results[position[future.key]] = future.result()
            callback(stage, done, total)
        return results

    from dask.callbacks import Callback

    keys = {t.key for t in tasks}
    counter = {"done": 0}
    caller = threading.get_ident()
    pending: List[int] = []

    class _Tick(Callback):
        def _posttask(self, key, result, dsk, state, worker_id):
            if key in keys:
                counter["done"] += 1
                if threading.get_ident() == caller:
                    callback(stage, counter["done"], total)
                else:
                    pending.append(counter["done"])

    with _Tick():
        out = list(dask.compute(*tasks))
    for done in pending:
        callback(stage, done, total)
    return out


def _partitions(ddf) -> List[Any]:
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(
            f"expected a dask DataFrame, got {type(ddf).__name__}; "
            "use quorvix's single-table functions for pandas DataFrames")
    return list(ddf.to_delayed())


def _meta(ddf) -> pd.DataFrame:
    return ddf._meta


# ---------------------------------------------------------------------------
# Reading Parquet files with little memory beyond the partitions
# ---------------------------------------------------------------------------

PARQUET_SUFFIXES = (".parquet", ".pq")


def _parquet_files(path) -> List[str]:
    """The files of a folder or a glob in natural order (part.2 before
    part.10, as Dask writes and reads them); a list as given."""
    import glob
    import os

    from dask.utils import natural_sort_key

    if isinstance(path, (list, tuple)):
        files = [os.fspath(p) for p in path]
    else:
        path = os.fspath(path)
        if os.path.isdir(path):
            files = sorted((os.path.join(path, name) for name in os.listdir(path)
                            if name.lower().endswith(PARQUET_SUFFIXES)
                            and not name.startswith((".", "_"))
                            and os.path.isfile(os.path.join(path, name))),
                           key=natural_sort_key)
        elif os.path.isfile(path):
            files = [path]
        else:
            files = sorted((p for p in glob.glob(path) if os.path.isfile(p)),
                           key=natural_sort_key)
    if not files:
        raise FileNotFoundError(f"no Parquet file found at {path!r}")
    return files


def _parquet_layout(schema, columns) -> Tuple[List[str], List[str]]:
    """The stored index columns and the Parquet fields of the data columns to
    read (``columns`` are column labels, which the pandas metadata may map
    to other field names, e.g. integers stored as text)."""
    pandas_meta = schema.pandas_metadata or {}
    index_cols = [c for c in pandas_meta.get("index_columns", []) if isinstance(c, str)]
    fields = [n for n in schema.names if n not in index_cols]
    if columns is None:
        return index_cols, fields
    by_label = _fields_by_label(schema)
    missing = [c for c in columns if c not in by_label]
    if missing:
        raise KeyError(f"columns not in the Parquet files: {missing}")
    return index_cols, [by_label[c] for c in columns]


_LABELS_CACHE: Dict[Any, Dict[Hashable, str]] = {}


def _fields_by_label(schema) -> Dict[Hashable, str]:
    """Column label -> Parquet field, from the pandas metadata (the files
    of one table share it, so it is worked out once per process)."""
    key = (tuple(schema.names), (schema.metadata or {}).get(b"pandas"))
    found = _LABELS_CACHE.get(key)
    if found is None:
        empty = schema.empty_table()
        found = {}
        for name in schema.names:
            label = _arrow_to_frame(empty.select([name]), schema.metadata).columns
            if len(label):  # (a stored index column has no label here)
                found[label[0]] = name
        if len(_LABELS_CACHE) > 64:
            _LABELS_CACHE.clear()
        _LABELS_CACHE[key] = found
    return found


def _arrow_to_frame(table, metadata) -> pd.DataFrame:
    # the file's pandas metadata restores dtypes (nullable integers,
    # categories), column labels and the index as pandas.read_parquet does;
    # self_destruct frees each Arrow column once it is converted
    table = table.replace_schema_metadata(metadata)
    return table.to_pandas(split_blocks=True, self_destruct=True)


def _frame_from_pieces(index: pd.Index, pieces: List[pd.DataFrame]) -> pd.DataFrame:
    if not pieces:
        return pd.DataFrame(index=index)
    positions = pd.RangeIndex(len(index))
    frame = pd.concat([p.set_axis(positions, axis=0) for p in pieces], axis=1)
    return frame.set_axis(index, axis=0)


def _read_parquet_file(path: str, columns: Optional[List[str]] = None) -> pd.DataFrame:
    """One Parquet file as a pandas DataFrame, equal to
    ``pandas.read_parquet(path, columns=columns)``, read one column at a time:
    the peak is the frame plus one column in Arrow form, where reading the
    whole table first holds the file's bytes, the Arrow table and the frame
    at once (about three times the frame). Dask passes ``columns`` when only
    some columns of the partition are used."""
    import pyarrow.parquet as pq

    with pq.ParquetFile(path) as handle:
        schema = handle.schema_arrow
        index_cols, data_cols = _parquet_layout(schema, columns)
        pieces = []
        for name in data_cols:
            pieces.append(_arrow_to_frame(
                handle.read(columns=[name], use_pandas_metadata=False), schema.metadata))
        if index_cols:
            index = _arrow_to_frame(handle.read(columns=index_cols, use_pandas_metadata=False),
                                    schema.metadata).index
        elif pieces:
            # a RangeIndex, rebuilt from the pandas metadata with each column
            index = pieces[0].index
        elif schema.names:
            index = _arrow_to_frame(handle.read(columns=schema.names[:1],
                                                use_pandas_metadata=False),
                                    schema.metadata).index
        else:
            index = pd.RangeIndex(handle.metadata.num_rows)
    return _frame_from_pieces(index, pieces)


def _parquet_meta(schema) -> pd.DataFrame:
    """The empty frame that describes the partitions of files of ``schema``."""
    index_cols, data_cols = _parquet_layout(schema, None)
    empty = schema.empty_table()
    index = _arrow_to_frame(empty.select(index_cols or schema.names[:1]),
                            schema.metadata).index
    meta = _frame_from_pieces(index, [_arrow_to_frame(empty.select([c]), schema.metadata)
                                      for c in data_cols])
    # each file has its own categories
    from dask.dataframe.utils import clear_known_categories

    return clear_known_categories(meta)


def read_parquet(path, columns=None):
    """Parquet files as a dask DataFrame, one partition per file, in file
    order.

    ``path`` is a folder (its ``.parquet``/``.pq`` files in natural order:
    part.2 before part.10), a glob pattern, one file, or a list of files.
    Each partition equals ``pandas.read_parquet(file, columns=columns)``
    (dtypes, column labels and stored index included), but it is read one
    column at a time, so reading a partition needs little more memory than
    the partition itself; a whole-file read holds the file's bytes, the Arrow
    table and the pandas frame at once. Give ``columns`` to read only the
    columns the work needs; Dask also narrows the read to the columns a
    computation uses. Categories are left unknown in the meta, as each file
    has its own.
    """
    import pyarrow.parquet as pq

    files = _parquet_files(path)
    schema = pq.read_schema(files[0])
    meta = _parquet_meta(schema)
    if columns is not None:
        if isinstance(columns, str):
            raise TypeError(f"columns must be a list of column labels, got the text {columns!r}")
        columns = list(columns)
        _parquet_layout(schema, columns)  # unknown columns raise here
    # ``columns`` is the projection Dask narrows further when fewer columns
    # are used, and passes to each call
    return dd.from_map(_read_parquet_file, files, meta=meta, columns=columns,
                       label="read-parquet-by-column", enforce_metadata=False)


# ---------------------------------------------------------------------------
# validate
# ---------------------------------------------------------------------------

# warnings.catch_warnings swaps process-wide state; the threaded scheduler runs
# several partitions at once, so the engine runs one partition at a time per
# process while its warnings are being recorded (it holds the interpreter lock
# for most of its work anyway).
_WARN_LOCK = threading.Lock()


class _PackedLabels:
    """Increasing int64 labels of one partition, as a bitmap over their span
    (a bit per label in the span instead of 64 per violating label)."""

    __slots__ = ("first", "span", "count", "bits")
    dtype = np.dtype(np.int64)

    def __init__(self, labels: np.ndarray):
        self.first = int(labels[0])
        self.span = int(labels[-1]) - self.first + 1
        self.count = len(labels)
        mask = np.zeros(self.span, dtype=bool)
        mask[labels - labels[0]] = True
        self.bits = np.packbits(mask)

    def __len__(self) -> int:
        return self.count

    def to_numpy(self) -> np.ndarray:
        offsets = np.flatnonzero(np.unpackbits(self.bits, count=self.span))
        return offsets.astype(np.int64) + self.first


def _compact_labels(index: pd.Index):
    """A partition's violating labels as they travel to the merge: packed
    when they are increasing int64 labels over a span at most 64 times
    their number (a table read in order), otherwise the index itself."""
    if len(index) < 1024 or index.dtype != np.int64:
        return index
    labels = index.to_numpy()
    if int(labels[-1]) - int(labels[0]) >= 64 * len(labels) \
            or not (labels[1:] > labels[:-1]).all():
        return index
    return _PackedLabels(labels)


def _validate_part(engine, part: pd.DataFrame):
    with _WARN_LOCK:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report = engine.validate(part)
    messages = [(w.category, str(w.message)) for w in caught
                if issubclass(w.category, RuntimeWarning)]
    return len(part), report.violations, messages, _compact_labels(report.violating_rows)


def _labels_in_table_order(part: pd.DataFrame, labels: list) -> list:
    index = part.index
    return index[index.isin(labels)].tolist()


def _rule_warnings(messages: Sequence[Tuple[type, str]], rule: str) -> Optional[Tuple[type, str]]:
    prefix = "Rule " + repr(rule) + " "
    for category, text in messages:
        if text.startswith(prefix):
            return category, text
    return None


def _merge_labels(indexes: list, parts) -> pd.Index:
    """The sorted union of the partitions' violating labels (indexes or
    packed labels), as the engine builds it for a whole table
    (first-appearance order when the labels cannot be ordered)."""
    non_empty = [ix for ix in indexes if len(ix)]
    if not non_empty:
        return pd.Index([])
    dtypes = {str(ix.dtype) for ix in non_empty}
    if dtypes <= {"int64"} and len(dtypes) == 1:
        labels = np.empty(sum(len(ix) for ix in non_empty), dtype=np.int64)
        at = 0
        for ix in non_empty:
            labels[at:at + len(ix)] = ix.to_numpy()
            at += len(ix)
        # partitions of increasing, disjoint labels (a table read in order)
        # are already sorted and free of repeats: no sort, no second copy
        if len(labels) > 1 and not (labels[1:] > labels[:-1]).all():
            labels = np.unique(labels)
        return pd.Index(labels)
    labels = set()
    for ix in non_empty:
        labels.update(ix.tolist())
    try:
        return pd.Index(sorted(labels))
    except TypeError:
        pass
    wanted = list(labels)
    ordered = _run("validate: label order",
                   [delayed(_labels_in_table_order)(p, wanted) for p in parts])
    seen = set()
    out = []
    for chunk in ordered:
        for label in chunk:
            if label not in seen:
                seen.add(label)
                out.append(label)
    return pd.Index(out)


def validate(engine, ddf):
    """Validate every rule of ``engine`` against the dask DataFrame ``ddf``.

    The rules run per partition with the native engine and the partial
    results are merged: the report equals ``engine.validate(ddf.compute())``
    (the same counts per rule in rule order, the same total and rate, the same
    violating labels in the same order). A rule the engine refuses or cannot
    evaluate warns once, as the engine does, and counts 0 violations; a rule
    that fails on some partitions only counts 0 everywhere, as it would on the
    whole table. Only the per-partition counts and violating labels reach the
    caller's process, so memory stays bounded by a few partitions plus the
    violating labels.
    """
    from quorvix.tabular.rulix import ConstraintViolationReport, Rulix

    parts = _partitions(ddf)
    engine_d = delayed(engine, traverse=False)
    results = _run("validate", [delayed(_validate_part)(engine_d, p) for p in parts])

    rules = list(engine._rules)
    n_rows = sum(r[0] for r in results)
    warned: Dict[str, Tuple[type, str]] = {}
    warned_in: Dict[str, int] = {}
    for _, _, messages, _ in results:
        for rule in rules:
            hit = _rule_warnings(messages, rule)
            if hit is not None:
                warned.setdefault(rule, hit)
                warned_in[rule] = warned_in.get(rule, 0) + 1

    # A rule that failed on some partitions but not all: the whole table
    # would fail it, so it counts nothing, and the labels come from a second
    # run without it.
    partial = [r for r in warned if warned_in[r] < len(results)]
    if partial:
        kept = Rulix()
        for text in rules:
            if text not in partial:
                kept.add_rule(text)
        kept_d = delayed(kept, traverse=False)
        second = _run("validate: second run",
                      [delayed(_validate_part)(kept_d, p) for p in parts])
        results = [(n, dict(v, **{r: 0 for r in partial}), m, ix)
                   for (n, v, m, ix) in second]

    violations: Dict[str, int] = {}
    for _, counts, _, _ in results:
        for rule, count in counts.items():
            violations[rule] = violations.get(rule, 0) + int(count)
    for rule in list(violations):
        if rule in warned:
            violations[rule] = 0
    # the engine's own key order (rule order, repeated texts once)
    ordered: Dict[str, int] = {}
    for rule in rules:
        if rule not in ordered:
            ordered[rule] = violations.get(rule, 0)
    violations = ordered

    for rule in ordered:
        if rule in warned:
            category, text = warned[rule]
            warnings.warn(text, category, stacklevel=2)

    total = 0
    for value in violations.values():
        total = total + value
    violating = _merge_labels([r[3] for r in results], parts)
    rate = 0.0 if n_rows == 0 else len(violating) / n_rows
    return ConstraintViolationReport(violations=violations, total_violations=total,
                                     violation_rate=rate, violating_rows=violating)


# ---------------------------------------------------------------------------
# fix
# ---------------------------------------------------------------------------

def _count_rows(part: pd.DataFrame, violating: pd.Index) -> Tuple[int, int]:
    bad = int(part.index.isin(violating).sum())
    return len(part) - bad, bad


def _good_rows(part: pd.DataFrame, violating: pd.Index, start: int) -> pd.DataFrame:
    good = part[~part.index.isin(violating)]
    return good.set_axis(pd.RangeIndex(start, start + len(good)), axis=0)


def _drawn_rows(part: pd.DataFrame, violating: pd.Index, n_draws: int, entropy: int,
                number: int, start: int) -> pd.DataFrame:
    good = part[~part.index.isin(violating)]
    rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(number,)))
    picks = rng.integers(0, len(good), size=n_draws) if n_draws else np.empty(0, dtype=np.int64)
    drawn = good.iloc[picks]
    return drawn.set_axis(pd.RangeIndex(start, start + len(drawn)), axis=0)


def _clip_part(report, part: pd.DataFrame, dtypes: Optional[pd.Series]) -> pd.DataFrame:
    out = report.fix(part, "clip")
    if dtypes is not None:
        for col, dtype in dtypes.items():
            if col in out.columns and out[col].dtype != dtype:
                out[col] = out[col].astype(dtype)
    return out


def _common_dtype(dtypes: list):
    first = dtypes[0]
    if all(d == first for d in dtypes):
        return first
    if all(isinstance(d, np.dtype) and d.kind in "biuf" for d in dtypes):
        return np.result_type(*dtypes)
    return np.dtype(object)


def _clip_dtypes(report, part: pd.DataFrame):
    return len(part), report.fix(part, "clip").dtypes


def _copy_part(part: pd.DataFrame) -> pd.DataFrame:
    return part.copy()


def _entropy(random_state) -> int:
    if random_state is None:
        return int(np.random.SeedSequence().entropy)
    if isinstance(random_state, bool) or not isinstance(random_state, (int, np.integer)):
        try:
            random_state = int(random_state)
        except (TypeError, ValueError):
            raise TypeError(
                "Argument 'random_state' has incorrect type (expected int, got "
                f"{type(random_state).__name__})") from None
    random_state = int(random_state)
    if random_state < 0:
        raise ValueError(f"random_state must be a non-negative integer, got {random_state}")
    return random_state


def fix(report, ddf, strategy, random_state=None):
    """Repair the dask DataFrame ``ddf`` by ``report``; returns a lazy dask DataFrame.

    - "drop": the non-violating rows in table order with a new index
      0..n-1, equal to ``report.fix(ddf.compute(), "drop")``.
    - "clip": every partition clipped as ``report.fix`` clips a table; equal
      to the single-table result (index, order, dtypes). A first pass learns
      the dtypes (pandas widens an integer column only when a value is
      actually clipped off an integer).
    - "resample": the non-violating rows in table order, then as many rows
      drawn with replacement from the non-violating rows of the whole table
      as there are violating rows, index 0..N-1, like ``report.fix``. The
      draws come from streams derived from ``random_state`` and the partition
      number, so they are reproducible for a given seed and partitioning but
      differ from the single-table draws. When no row satisfies the rules the
      table comes back unchanged.

    "drop" and "resample" read the table once when called, to count the rows
    each partition keeps. A report without violating rows gives a copy of the
    table for any strategy; an unknown strategy raises the ``ValueError`` of
    ``report.fix``.
    """
    meta = _meta(ddf)
    parts = _partitions(ddf)
    if len(report.violating_rows) == 0:
        report.fix(meta, strategy)  # the argument checks of the single-table call
        return dd.from_delayed([delayed(_copy_part)(p) for p in parts], meta=meta,
                               verify_meta=False)
    if not isinstance(strategy, str) or strategy not in ("drop", "resample", "clip"):
        report.fix(meta, strategy)  # raises the single-table TypeError / ValueError
        raise ValueError(f"Unknown fix strategy '{strategy}'. Valid: 'resample', 'drop', 'clip'.")

    violating = report.violating_rows
    if strategy == "clip":
        # pandas keeps an integer column's dtype when no value is moved off an
        # integer and widens it otherwise, so a partition's dtypes depend on
        # its values: the whole table's are the common dtypes of the
        # partitions' results, learnt in one pass.
        found = _run("fix: dtypes", [delayed(_clip_dtypes)(report, p) for p in parts])
        found = [d for n, d in found if n] or [d for _, d in found]
        dtypes = pd.Series({col: _common_dtype([d[col] for d in found])
                            for col in found[0].index}, dtype=object) if found else None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out_meta = report.fix(meta, "clip")
        if dtypes is not None:
            out_meta = out_meta.astype(dict(dtypes.items()))
        report_d = delayed(report, traverse=False)
        return dd.from_delayed([delayed(_clip_part)(report_d, p, dtypes) for p in parts],
                               meta=out_meta, verify_meta=False)

    counts = _run("fix: counting", [delayed(_count_rows)(p, violating) for p in parts])
    good_counts = [g for g, _ in counts]
    n_good = sum(good_counts)
    n_bad = sum(b for _, b in counts)
    out_meta = meta.set_axis(pd.RangeIndex(0), axis=0)

    if strategy == "resample" and n_good == 0:
        warnings.warn("No row satisfies the rules, so 'resample' has no rows to draw from: "
                      "the table is returned unchanged, violating rows included.",
                      RuntimeWarning, stacklevel=2)
        return dd.from_delayed([delayed(_copy_part)(p) for p in parts], meta=meta,
                               verify_meta=False)

    out = []
    start = 0
    for p, g in zip(parts, good_counts):
        out.append(delayed(_good_rows)(p, violating, start))
        start += g
    if strategy == "resample":
        entropy = _entropy(random_state)
        # How many of the draws fall in each partition: a multinomial split in
        # proportion to the partitions' good rows, then uniform draws inside
        # each, which is a uniform draw with replacement over all good rows.
        rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(0,)))
        weights = np.asarray(good_counts, dtype=float) / n_good
        per_part = rng.multinomial(n_bad, weights) if n_bad else np.zeros(len(parts), int)
        for i, (p, k) in enumerate(zip(parts, per_part)):
            if k:
                out.append(delayed(_drawn_rows)(p, violating, int(k), entropy, i + 1, start))
                start += int(k)
    return dd.from_delayed(out, meta=out_meta, verify_meta=False)


# ---------------------------------------------------------------------------
# apply_privex
# ---------------------------------------------------------------------------

_CATEGORICAL_KINDS = ["object", "string", "category", "bool"]
_DISTINCT_CAP = 11  # nunique matters only up to the threshold of 10
_NOISE_SCALE = 0.1
_DELTA = 1e-5


def _needs_float64(dtype) -> bool:
    if pd.api.types.is_integer_dtype(dtype):
        return True
    return isinstance(dtype, np.dtype) and dtype.kind == "f" and dtype.itemsize < 8


def _is_whole(col_data: pd.Series) -> bool:
    try:
        return bool(np.all(np.mod(col_data, 1) == 0))
    except Exception:
        return False


def _facts_part(part: pd.DataFrame, numeric: List[Hashable], categorical: List[Hashable],
                minimal: bool):
    num = {}
    for col in numeric:
        s = part[col]
        data = s.dropna()
        if len(data):
            distinct = data.unique()
            # a column with at most 10 distinct values becomes categorical:
            # its frequencies are needed then, and cheap to count
            counts = s.value_counts(sort=False) if len(distinct) < _DISTINCT_CAP else None
            num[col] = (len(data), data.min(), data.max(), _is_whole(data),
                        list(distinct[:_DISTINCT_CAP]), counts)
        else:
            num[col] = (0, None, None, True, [], s.value_counts(sort=False))
    cat = {}
    for col in categorical:
        s = part[col]
        cat[col] = (s.value_counts(sort=False),
                    s.dropna().drop_duplicates() if minimal else None)
    return len(part), num, cat


def _merge_value_counts(pieces: List[pd.Series]) -> pd.Series:
    """Counts of every value over all partitions, in order of first
    appearance, then sorted as ``Series.value_counts`` sorts them."""
    pieces = [p for p in pieces if p is not None]
    # empty pieces add nothing (and pandas 2 warns about concatenating them),
    # but a categorical's unused categories are in every piece
    pieces = [p for p in pieces if len(p)] or pieces[:1]
    if len(pieces) == 1:
        merged = pieces[0]
    else:
        merged = pd.concat(pieces)
        merged = merged.groupby(level=0, sort=False, observed=False, dropna=True).sum()
    if isinstance(merged.index, pd.CategoricalIndex) or isinstance(
            pieces[0].index, pd.CategoricalIndex):
        merged.index = pd.CategoricalIndex(merged.index, dtype=pieces[0].index.dtype)
    return merged.sort_values(ascending=False)


def _plain_text(values: list) -> bool:
    for v in values:
        if type(v) is not str:
            return False
        if v and v[-1] == "\x00":
            return False
        if any(0xD800 <= ord(ch) <= 0xDFFF for ch in v):
            return False
    return True


def _distinct_pool(values: list):
    keep_objects = False
    try:
        pool = np.array(values)
    except ValueError:
        keep_objects = True
    if not keep_objects:
        if pool.ndim != 1:
            keep_objects = True
        elif pool.dtype.kind in "US":
            want = str if pool.dtype.kind == "U" else bytes
            keep_objects = any(not isinstance(v, want) for v in values)
    if not keep_objects:
        return pool
    pool = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        pool[i] = v
    return pool


def _drawn_column(values: list, drawn: np.ndarray):
    """The distinct values at the drawn positions, as the categorical pass
    builds its new column."""
    if not _plain_text(values):
        return _distinct_pool(values)[drawn]
    pool = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        pool[i] = v
    as_series = pd.Series(pool)
    if isinstance(as_series.dtype, np.dtype):
        return pool[drawn]
    return as_series.array.take(drawn)


def _noise_part(part: pd.DataFrame, plan: dict, entropy: int, number: int) -> pd.DataFrame:
    rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(number,)))
    df_dp = part.copy()
    if plan["method"] == "minimal":
        n = len(part)
        for col in plan["numeric"]:
            df_dp[col] = part[col] + rng.normal(0, 0.01, n)
        for col, unique_values in plan["categorical"]:
            mask = rng.random(n) < 0.05
            if not mask.any() or len(unique_values) < 2:
                continue
            df_dp.loc[mask, col] = rng.choice(unique_values, size=int(mask.sum()))
        return df_dp

    for col, lower, upper, scale, is_integer in plan["numeric"]:
        source = part[col]
        present = source.notna().to_numpy()
        values = source[present].to_numpy()
        if plan["method"] == "laplace":
            noisy = values + rng.laplace(0, scale, values.shape)
        else:
            noisy = values + rng.normal(0, scale, values.shape)
        where = df_dp.columns.get_loc(col)
        column = df_dp.iloc[:, where]
        if _needs_float64(column.dtype):
            df_dp.isetitem(where, column.astype("float64"))
        if len(noisy):
            df_dp.iloc[np.flatnonzero(present), where] = noisy
        if plan["method"] == "laplace":
            df_dp[col] = np.clip(df_dp[col], lower, upper)
            if is_integer:
                df_dp[col] = df_dp[col].round()
    for col, values, probs in plan["categorical"]:
        drawn = rng.choice(len(values), size=len(part), p=probs)
        df_dp[col] = _drawn_column(values, drawn)
    return df_dp


def _check_privex_args(epsilon, method, preserve_columns, random_state):
    epsilon = float(epsilon)
    if type(method) is not str:
        raise TypeError("Argument 'method' has incorrect type (expected str, got "
                        f"{type(method).__name__})")
    if preserve_columns is not None and type(preserve_columns) is not list:
        raise TypeError("Argument 'preserve_columns' has incorrect type (expected list, got "
                        f"{type(preserve_columns).__name__})")
    return epsilon, _entropy(random_state)


def apply_privex(ddf, epsilon=1.0, method="laplace", preserve_columns=None, random_state=None):
    """Add privacy noise to the dask DataFrame ``ddf``; returns a lazy dask DataFrame.

    The same noise as ``quorvix.core_generator.privex.apply_privex`` on the
    whole table: a first pass gathers the facts the processor derives from
    the table (column typing, each numerical column's range and whether it
    holds whole numbers, each categorical column's value frequencies); the
    noisy value frequencies are drawn once; a second pass perturbs partition
    by partition with the same mechanisms, scales, clipping, rounding and
    dtypes. Draws come from streams derived from ``random_state`` and the
    partition number (see the module notes), so results are reproducible for
    a given seed and partitioning and differ from the single-table stream.
    An empty table is returned as it is.
    """
    epsilon, entropy = _check_privex_args(epsilon, method, preserve_columns, random_state)
    meta = _meta(ddf)
    parts = _partitions(ddf)
    numeric = meta.select_dtypes(include=[np.number]).columns.tolist()
    categorical = meta.select_dtypes(include=_CATEGORICAL_KINDS).columns.tolist()
    minimal = method == "minimal"

    facts = _run("privatize: facts", [delayed(_facts_part)(p, numeric, categorical, minimal)
                                      for p in parts])
    n_rows = sum(f[0] for f in facts)
    if n_rows == 0 or len(meta.columns) == 0:
        return ddf
    if method not in ("minimal", "laplace", "gaussian"):
        raise ValueError(f"Unknown method: {method}. Use 'minimal', 'laplace', or 'gaussian'")
    preserved = set(preserve_columns) if preserve_columns else set()

    def numeric_facts(col):
        count, low, high, whole, distinct = 0, None, None, True, set()
        for _, num, _ in facts:
            c, lo, hi, w, d, _ = num[col]
            if not c:
                continue
            count += c
            low = lo if low is None or lo < low else low
            high = hi if high is None or hi > high else high
            whole = whole and w
            if len(distinct) < _DISTINCT_CAP:
                distinct.update(d)
        return count, low, high, whole, distinct

    plan: dict = {"method": method}
    if minimal:
        plan["numeric"] = [c for c in numeric if c not in preserved]
        plan["categorical"] = []
        for col in categorical:
            if col in preserved:
                continue
            uniques = [cat[col][1] for _, _, cat in facts]
            uniques = [u for u in uniques if len(u)] or uniques[:1]
            merged = pd.concat(uniques, ignore_index=True).unique() if uniques else []
            plan["categorical"].append((col, merged))
    else:
        threshold = min(n_rows * 0.1, 10.0)
        num_facts = {col: numeric_facts(col) for col in numeric}
        numerical_cols = [c for c in numeric if not len(num_facts[c][4]) <= threshold]
        moved = [c for c in numeric if len(num_facts[c][4]) <= threshold]
        categorical_cols = categorical + moved
        numerical_cols = [c for c in numerical_cols if c not in preserved]
        categorical_cols = [c for c in categorical_cols if c not in preserved]

        plan["numeric"] = []
        for col in numerical_cols:
            count, low, high, whole, _ = num_facts[col]
            if not count:
                continue
            if pd.api.types.is_integer_dtype(meta[col].dtype):
                data_range = int(high) - int(low)
            else:
                data_range = high - low
            if data_range == 0:
                data_range = 1.0
            sensitivity = data_range * _NOISE_SCALE
            if method == "laplace":
                scale = sensitivity / epsilon
            else:
                factor = float(np.sqrt(2 * np.log(1.25 / _DELTA)))
                scale = factor * sensitivity / epsilon
            margin = data_range * 0.1
            plan["numeric"].append((col, low - margin, high + margin, scale, whole))

        # Noisy frequencies, drawn once for the whole table.
        rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(0,)))
        plan["categorical"] = []
        for col in categorical_cols:
            counts = _merge_value_counts([cat[col][0] for _, _, cat in facts]
                                         if col in categorical else
                                         [num[col][5] for _, num, _ in facts])
            if counts is None or int(counts.sum()) == 0:
                continue
            noise = rng.laplace(0, 1.0 / epsilon, len(counts))
            noisy_counts: Dict[Any, Any] = {}
            for (value, count), drawn in zip(counts.items(), noise.tolist()):
                noisy = count + drawn
                noisy_counts[value] = noisy if noisy > 0 else 0
            total_noisy = sum(noisy_counts.values())
            values = list(noisy_counts.keys())
            if total_noisy > 0:
                weights = np.array([v / total_noisy for v in noisy_counts.values()])
            else:
                weights = np.full(len(values), 1.0 / len(counts))
            probs = weights / np.sum(weights)
            plan["categorical"].append((col, values, probs))

    out_meta = _noise_part(meta, plan, entropy, 0)
    plan_d = delayed(plan, traverse=False)
    out = [delayed(_noise_part)(p, plan_d, entropy, i + 1) for i, p in enumerate(parts)]
    return dd.from_delayed(out, meta=out_meta, verify_meta=False)



# ---------------------------------------------------------------------------
# evaluate
# ---------------------------------------------------------------------------

# Metrics computed exactly from mergeable per-partition summaries; the rest of
# the suite runs on a seeded sample of rows.
_EXACT_METRICS = ("ks_complement", "wasserstein", "total_variation", "hellinger",
                  "jensen_shannon", "pearson_correl_diff", "correlation_matrix_distance")
_LOOP_METRICS = ("ks_complement", "wasserstein", "total_variation", "hellinger",
                 "jensen_shannon", "pearson_correl_diff", "spearman_correl_diff",
                 "correlation_matrix_distance", "mmd", "prediction_agreement")
_DESCRIPTIONS = {
    "ks_complement": "1 - KS statistic. Higher = better fidelity.",
    "wasserstein": "Normalised Wasserstein distance. Higher = better fidelity.",
    "total_variation": "1 - Total Variation distance. Higher = better fidelity.",
    "hellinger": "1 - Hellinger distance. Higher = better fidelity.",
    "jensen_shannon": "1 - sqrt(Jensen-Shannon divergence). Higher = better fidelity.",
    "pearson_correl_diff": "1 - avg |Pearson(r_real) - Pearson(r_synth)|. Higher = better.",
    "correlation_matrix_distance": "Frobenius similarity of correlation matrices. Higher = better.",
}
_SAMPLED_NAMES = {"spearman_correl_diff": "spearman_correl_diff", "mmd": "mmd_rbf",
                  "prediction_agreement": "prediction_agreement"}
_N_BINS = 20


def _value_summary(column: pd.Series) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """The finite values of a numeric column, sorted: ``(values, None)`` with
    every value kept, or ``(distinct values, counts)`` when that is at most
    half as long (columns with many ties)."""
    from quorvix.evaluation.metrics._prep import float_values

    v = float_values(column)
    v = v[~np.isnan(v)]
    v.sort()
    if v.size < 4:
        return v, None
    distinct = int(np.count_nonzero(v[1:] != v[:-1])) + 1
    if 2 * distinct > v.size:
        return v, None
    starts = np.flatnonzero(np.concatenate([[True], v[1:] != v[:-1]]))
    counts = np.diff(np.append(starts, v.size)).astype(np.int64)
    return v[starts], counts


class _Sorted:
    """A numeric column as its sorted finite values (``counts`` None: each
    value once, repeats kept), or as its sorted distinct values and their
    counts. Counts of values below or up to given points and order statistics
    come from binary searches, so the column is never sorted again."""

    def __init__(self, values: np.ndarray, counts: Optional[np.ndarray] = None):
        self.values = values
        if counts is None:
            self._cum = None
            self.n = int(values.size)
        else:
            self._cum = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])
            self.n = int(self._cum[-1])

    def count_before(self, positions):
        """The number of values (repeats counted) before the given
        positions of ``values``."""
        return positions if self._cum is None else self._cum[positions]

    def count_le(self, x):
        return self.count_before(np.searchsorted(self.values, x, side="right"))

    def count_lt(self, x):
        return self.count_before(np.searchsorted(self.values, x, side="left"))

    def order_stat(self, k: np.ndarray) -> np.ndarray:
        """The k-th smallest values (0-based, repeats counted)."""
        if self._cum is None:
            return self.values[k]
        return self.values[np.searchsorted(self._cum[1:], k, side="right")]

    def more_distinct_than(self, m: int) -> bool:
        if self._cum is not None:
            return self.values.size > m
        v = self.values
        if v.size <= m:
            return False
        # in slices, so that the comparison never holds a column-sized mask
        distinct, step = 1, 1 << 20
        for lo in range(0, v.size - 1, step):
            hi = min(lo + step, v.size - 1)
            distinct += int(np.count_nonzero(v[lo + 1:hi + 1] != v[lo:hi]))
            if distinct > m:
                return True
        return False

    def distinct(self) -> np.ndarray:
        if self._cum is not None:
            return self.values
        v = self.values
        return v[np.concatenate([[True], v[1:] != v[:-1]])] if v.size else v


def _merge_value_summaries(pieces: list) -> _Sorted:
    """One sorted column from the partitions' summaries. ``pieces`` is
    emptied as it is used, so that each partition's summary is freed once
    copied."""
    pieces[:] = [p for p in pieces if p[0].size]
    if not pieces:
        return _Sorted(np.empty(0))
    if all(c is not None for _, c in pieces):
        # distinct values with counts: the sorted runs are merged (a stable
        # sort finds them) and equal values' counts added
        values = np.concatenate([v for v, _ in pieces])
        counts = np.concatenate([c for _, c in pieces])
        pieces.clear()
        if values.size > 1:
            order = np.argsort(values, kind="stable")
            values, counts = values[order], counts[order]
            del order
            starts = np.flatnonzero(np.concatenate([[True], values[1:] != values[:-1]]))
            values, counts = values[starts], np.add.reduceat(counts, starts)
        return _Sorted(values, counts)
    # every value: the pieces are copied one by one into one array, which is
    # sorted in place (runs of sorted values)
    total = sum(v.size if c is None else int(c.sum()) for v, c in pieces)
    out = np.empty(total)
    at = 0
    while pieces:
        v, c = pieces.pop()
        if c is not None:
            v = np.repeat(v, c)
        out[at:at + v.size] = v
        at += v.size
        del v, c
    out.sort()
    return _Sorted(out)


def _category_summary(column: pd.Series) -> pd.Series:
    from quorvix.evaluation.metrics._prep import _object_values

    values = _object_values(column)
    return pd.Series(values[pd.notna(values)], dtype=object).value_counts(sort=False)


_CHUNK_ROWS = 1 << 16


def _float_block(columns: List[pd.Series], rows) -> np.ndarray:
    """Some rows (a slice or positions) of the columns as one float64
    matrix, missing and non-finite values as NaN."""
    from quorvix.evaluation.metrics._prep import float_values

    first = float_values(columns[0].iloc[rows])
    # column by column into a column-major matrix: each write is contiguous
    out = np.empty((first.size, len(columns)), order="F")
    out[:, 0] = first
    for i in range(1, len(columns)):
        out[:, i] = float_values(columns[i].iloc[rows])
    return out


def _pair_extremes(columns: List[pd.Series], finite: np.ndarray, j: int, col_min: np.ndarray,
                   col_max: np.ndarray, at_min: np.ndarray, at_max: np.ndarray):
    """The smallest and largest value of every column over the rows where
    column j is present (inf / -inf where there is none). Usually a column's
    own extreme lies on such a row and only the rows without j are looked
    at; otherwise the column is searched again."""
    from quorvix.evaluation.metrics._prep import float_values

    present = finite[:, j]
    n_present = int(np.count_nonzero(present))
    n, k = finite.shape
    if n_present == 0:
        return np.full(k, np.inf), np.full(k, -np.inf)
    if n_present == n:
        return col_min, col_max
    if n_present <= n - n_present:
        sub = _float_block(columns, np.flatnonzero(present))
        return (np.where(np.isnan(sub), np.inf, sub).min(axis=0),
                np.where(np.isnan(sub), -np.inf, sub).max(axis=0))
    absent = _float_block(columns, np.flatnonzero(~present))
    lo, hi = col_min.copy(), col_max.copy()
    # a column whose extreme occurs only on rows without j
    for out, extreme, count, smallest in ((lo, col_min, at_min, True),
                                          (hi, col_max, at_max, False)):
        for i in np.flatnonzero((absent == extreme).sum(axis=0) >= count):
            v = float_values(columns[i].iloc[np.flatnonzero(present)])
            v = v[~np.isnan(v)]
            if smallest:
                out[i] = v.min() if v.size else np.inf
            else:
                out[i] = v.max() if v.size else -np.inf
    return lo, hi


def _comoment_summary(part: pd.DataFrame, cols: List[Hashable]) -> dict:
    """Pairwise-complete co-moments of the numeric columns (k x k arrays),
    and each column's extremes over the rows it shares with each other
    column (a column constant there has no correlation with it). The
    partition is converted to floats a slice of rows at a time, so the
    temporaries stay small next to it."""
    k = len(cols)
    shape = (k, k)
    out = {name: np.zeros(shape) for name in ("n", "mx", "my", "sxx", "syy", "sxy")}
    out["minx"] = np.full(shape, np.inf)
    out["maxx"] = np.full(shape, -np.inf)
    n_rows = len(part)
    if not n_rows:
        return out
    columns = [part[c] for c in cols]
    slices = [slice(lo, min(lo + _CHUNK_ROWS, n_rows)) for lo in range(0, n_rows, _CHUNK_ROWS)]
    finite = np.empty((n_rows, k), dtype=bool)
    totals = np.zeros(k)
    col_min = np.full(k, np.nan)
    col_max = np.full(k, np.nan)
    for rows in slices:
        x = _float_block(columns, rows)
        present = ~np.isnan(x)
        finite[rows] = present
        totals += np.where(present, x, 0.0).sum(axis=0)
        # fmin/fmax skip missing values; a column without any stays NaN
        col_min = np.fmin(col_min, np.fmin.reduce(x, axis=0))
        col_max = np.fmax(col_max, np.fmax.reduce(x, axis=0))
    counts = finite.sum(axis=0)
    # Values are shifted by their column's mean, so the centred sums lose
    # little to cancellation. Sums over the rows where both columns are
    # present are products with the presence mask, all pairs at once.
    shift = np.where(counts > 0, totals / np.maximum(counts, 1), 0.0)
    n = np.zeros(shape)
    sx = np.zeros(shape)                  # sum of column i over rows with i and j
    sxx_raw = np.zeros(shape)
    sxy_raw = np.zeros(shape)
    at_min = np.zeros(k, dtype=np.int64)
    at_max = np.zeros(k, dtype=np.int64)
    for rows in slices:
        x = _float_block(columns, rows)
        at_min += (x == col_min).sum(axis=0)
        at_max += (x == col_max).sum(axis=0)
        present = finite[rows]
        m = present.astype(np.float64)
        a = np.where(present, x - shift, 0.0)
        del x
        n += m.T @ m
        sx += a.T @ m
        sxy_raw += a.T @ a
        a *= a
        sxx_raw += a.T @ m
    sy = sx.T                             # sum of column j over the same rows
    with np.errstate(invalid="ignore", divide="ignore"):
        safe = np.where(n > 0, n, 1)
        out["n"] = n
        out["mx"] = np.where(n > 0, shift[:, None] + sx / safe, 0.0)
        out["my"] = np.where(n > 0, shift[None, :] + sy / safe, 0.0)
        out["sxx"] = np.where(n > 0, np.maximum(sxx_raw - sx * sx / safe, 0.0), 0.0)
        out["syy"] = out["sxx"].T.copy()
        out["sxy"] = np.where(n > 0, sxy_raw - sx * sy / safe, 0.0)

    col_min = np.where(counts > 0, col_min, np.inf)
    col_max = np.where(counts > 0, col_max, -np.inf)
    for j in range(k):
        out["minx"][:, j], out["maxx"][:, j] = _pair_extremes(
            columns, finite, j, col_min, col_max, at_min, at_max)
    return out


def _merge_comoments(a: dict, b: dict) -> dict:
    n = a["n"] + b["n"]
    with np.errstate(invalid="ignore", divide="ignore"):
        wb = np.where(n > 0, b["n"] / np.where(n > 0, n, 1), 0.0)
        dx = b["mx"] - a["mx"]
        dy = b["my"] - a["my"]
        cross = a["n"] * b["n"] / np.where(n > 0, n, 1)
    return {
        "n": n,
        "mx": a["mx"] + dx * wb,
        "my": a["my"] + dy * wb,
        "sxx": a["sxx"] + b["sxx"] + dx * dx * cross,
        "syy": a["syy"] + b["syy"] + dy * dy * cross,
        "sxy": a["sxy"] + b["sxy"] + dx * dy * cross,
        "minx": np.minimum(a["minx"], b["minx"]),
        "maxx": np.maximum(a["maxx"], b["maxx"]),
    }


def _correlations(summary: dict) -> np.ndarray:
    """Pearson matrix as the similarity metrics build it: undefined entries
    (fewer than 3 complete rows, a constant column) are 0, clipped to
    [-1, 1], ones on the diagonal."""
    n = summary["n"]
    # constant over the pair's complete rows: x for (i, j), y is x of (j, i)
    const_x = summary["minx"] >= summary["maxx"]
    const = const_x | const_x.T
    with np.errstate(invalid="ignore", divide="ignore"):
        c = summary["sxy"] / np.sqrt(summary["sxx"] * summary["syy"])
    c[(n < 3) | const] = np.nan
    c = np.clip(np.nan_to_num(c, nan=0.0), -1.0, 1.0)
    np.fill_diagonal(c, 1.0)
    return c


def _quantiles(column: _Sorted, qs: np.ndarray) -> np.ndarray:
    """``np.quantile`` (linear method) of the column."""
    n = column.n
    virtual = (n - 1) * qs
    below = np.floor(virtual)
    gamma = virtual - below
    lo = below.astype(np.int64)
    hi = np.minimum(lo + 1, n - 1)
    a = column.order_stat(lo)
    b = column.order_stat(hi)
    diff = b - a
    out = a + diff * gamma
    upper = gamma >= 0.5
    out[upper] = (b - diff * (1 - gamma))[upper]
    return out


def _bin_counts(column: _Sorted, edges: np.ndarray) -> np.ndarray:
    """The counts of ``np.bincount(_quantile_bins(values, edges))``: bin 0
    below the first edge, the inner bins closed on the left, the last inner
    bin closed on both sides, and one bin above the last edge."""
    bounds = np.concatenate([[0], column.count_lt(edges[:-1]), column.count_le(edges[-1:]),
                             [column.n]])
    return np.diff(bounds).astype(float)


def _numeric_distributions(real: _Sorted, synth: _Sorted):
    if real.n == 0 or synth.n == 0:
        return None
    if not real.more_distinct_than(_N_BINS):
        values = np.union1d(real.distinct(), synth.distinct())
        p = (real.count_le(values) - real.count_lt(values)).astype(float)
        q = (synth.count_le(values) - synth.count_lt(values)).astype(float)
    else:
        edges = np.unique(_quantiles(real, np.linspace(0.0, 1.0, _N_BINS + 1)))
        p = _bin_counts(real, edges)
        q = _bin_counts(synth, edges)
    return p / p.sum(), q / q.sum()


def _categorical_distributions(real: pd.Series, synth: pd.Series):
    if not len(real) or not len(synth):
        return None
    keys = np.concatenate([np.asarray(real.index, dtype=object),
                           np.asarray(synth.index, dtype=object)])
    codes, uniques = pd.factorize(keys)
    n = len(uniques)
    p = np.bincount(codes[:len(real)], weights=real.to_numpy(dtype=float), minlength=n)
    q = np.bincount(codes[len(real):], weights=synth.to_numpy(dtype=float), minlength=n)
    if p.sum() == 0 or q.sum() == 0:
        return None
    return p / p.sum(), q / q.sum()


_WINDOW = 1 << 16


def _ks_and_w1(real: _Sorted, synth: _Sorted) -> Tuple[float, float]:
    """The KS statistic (the largest gap between the two distribution
    functions) and W1 (the area between them), exactly, over the pooled
    distinct values. Both functions are constant between consecutive pooled
    values; the pooled values are walked in windows of about ``_WINDOW``
    values of each column, so no column-sized temporary is made and the
    binary searches stay within a window."""
    nr, ns = float(real.n), float(synth.n)
    rv, sv = real.values, synth.values
    edges = np.unique(np.concatenate([rv[::_WINDOW], sv[::_WINDOW]]))
    r_bounds = [*np.searchsorted(rv, edges, side="left").tolist(), rv.size]
    s_bounds = [*np.searchsorted(sv, edges, side="left").tolist(), sv.size]
    ks = 0.0
    areas = []
    for j in range(len(edges)):
        r0, r1, s0, s1 = r_bounds[j], r_bounds[j + 1], s_bounds[j], s_bounds[j + 1]
        r_win, s_win = rv[r0:r1], sv[s0:s1]
        points = np.concatenate([r_win, s_win])
        points.sort()
        points = points[np.concatenate([[True], points[1:] != points[:-1]])]
        # each column's count of values up to each point
        up_r = real.count_before(r0 + np.searchsorted(r_win, points, side="right"))
        up_s = synth.count_before(s0 + np.searchsorted(s_win, points, side="right"))
        gap = np.abs(up_r / nr - up_s / ns)
        ks = max(ks, float(gap.max()))
        # up to the next window's first value; the last value closes the area
        following = points[1:] if j + 1 == len(edges) else np.append(points[1:], edges[j + 1])
        areas.append(float(np.sum(gap[:following.size] * (following - points[:following.size]))))
    return ks, math.fsum(areas)


def _wasserstein_score(real: _Sorted, synth: _Sorted, w1: float) -> float:
    """1 - W1 / range as the similarity metric computes it."""
    r_lo, r_hi = real.values[0], real.values[-1]
    s_lo, s_hi = synth.values[0], synth.values[-1]
    scale = r_hi - r_lo
    if scale <= 0:
        scale = max(r_hi, s_hi) - min(r_lo, s_lo)
    if scale <= 0:
        return 1.0
    return float(np.clip(1.0 - w1 / scale, 0.0, 1.0))


class _MergedUnivariate:
    """The frequency scores of ``UnivariateSimilarityMetrics`` on merged
    distributions (the same formulas, fed with exact global frequencies)."""

    def __init__(self, distributions: Dict[Hashable, Any]):
        from quorvix.evaluation.metrics.similarity import UnivariateSimilarityMetrics

        metric = object.__new__(UnivariateSimilarityMetrics)
        metric._all_distributions = lambda: distributions
        self._metric = metric

    def scores(self, name: str) -> Dict[str, float]:
        method = {"total_variation": "total_variation_distance",
                  "hellinger": "hellinger_distance",
                  "jensen_shannon": "jensen_shannon_divergence"}[name]
        return getattr(self._metric, method)()


def _lengths(parts) -> List[int]:
    return _run("evaluate: row counts", [delayed(len)(p) for p in parts])


def _row_count(ddf) -> int:
    """The number of rows, from a projection on no column (a Parquet read
    then reads at most the index)."""
    return sum(_run("evaluate: row counts", [delayed(len)(p) for p in ddf[[]].to_delayed()]))


def _take_rows(part: pd.DataFrame, positions: np.ndarray) -> pd.DataFrame:
    return part.iloc[positions]


def _sample(parts, lengths: List[int], sample_rows: int, seed: Optional[int],
            stage: str) -> pd.DataFrame:
    """At most ``sample_rows`` rows drawn without replacement across the
    partitions, in table order, seeded (seed None means 0)."""
    total = sum(lengths)
    rng = np.random.default_rng(0 if seed is None else seed)
    if total <= sample_rows:
        chosen = None
    else:
        chosen = np.sort(rng.choice(total, size=int(sample_rows), replace=False))
    tasks = []
    start = 0
    for p, n in zip(parts, lengths):
        if chosen is None:
            tasks.append(p)
        else:
            lo, hi = np.searchsorted(chosen, [start, start + n])
            if hi > lo:
                tasks.append(delayed(_take_rows)(p, chosen[lo:hi] - start))
        start += n
    pieces = _run(stage, tasks)
    if not pieces:
        return pd.DataFrame(columns=[])
    # pandas 2 warns about concatenating empty frames (their dtypes will count)
    non_empty = [p for p in pieces if len(p)] or pieces[:1]
    return pd.concat(non_empty) if len(non_empty) > 1 else non_empty[0]


def evaluate(real_ddf, synthetic_ddf, metrics=None, random_seed=None, compute_privacy=True,
             sample_rows=200_000):
    """Evaluate a synthetic dask DataFrame against a real one.

    Returns an ordinary ``EvaluationReport`` (it renders with ``to_html``,
    saves and compares like any other), with the metrics in the order
    ``TabularEvaluator.evaluate`` gives them.

    - ks_complement, wasserstein, total_variation, hellinger, jensen_shannon,
      pearson_correl_diff and correlation_matrix_distance are computed from
      exact summaries merged over the partitions (each numeric column's
      sorted values, or its distinct values with their counts when it has
      many ties; the value frequencies of each categorical column; pairwise
      co-moments): on tables below the metric classes' sampling caps they
      equal ``TabularEvaluator`` on the whole tables; above them they use
      every row. One column is summarised at a time, so the caller's
      process holds about two sorted columns (one per table) at its peak.
    - The other metrics (Spearman, MMD, prediction agreement, alpha/beta,
      likelihood leak, TSTR and the privacy metrics) run through
      ``TabularEvaluator`` on a seeded sample of at most ``sample_rows`` rows
      of each table, drawn across partitions.

    ``metrics`` is a list of metric names (default: the evaluator's default
    list); ``random_seed`` seeds the sample and the evaluator's own sampling.
    """
    from quorvix.evaluation.metrics._prep import common_columns, is_numeric_pair
    from quorvix.tabular.evaluator.evaluator import TabularEvaluator
    from quorvix.tabular.evaluator.report import EvaluationReport, MetricResult

    if metrics is not None and type(metrics) is not list:
        raise TypeError("Argument 'metrics' has incorrect type (expected list, got "
                        f"{type(metrics).__name__})")
    sample_rows = operator.index(sample_rows)
    if sample_rows < 2:
        raise ValueError(f"sample_rows must be at least 2, got {sample_rows}")
    start_time = time.time()
    evaluator = TabularEvaluator(metrics=metrics, random_seed=random_seed,
                                 compute_privacy=compute_privacy)
    names = list(evaluator.metrics)

    real_meta, synth_meta = _meta(real_ddf), _meta(synthetic_ddf)
    real_parts, synth_parts = _partitions(real_ddf), _partitions(synthetic_ddf)
    report = EvaluationReport(real_data_n_rows=_row_count(real_ddf),
                              synthetic_data_n_rows=_row_count(synthetic_ddf),
                              n_columns=len(real_meta.columns), generator_name="NoneType")

    wanted = set(names)
    exact_wanted = [m for m in _EXACT_METRICS if m in wanted]
    unique_cols = real_meta.columns.is_unique and synth_meta.columns.is_unique
    common = common_columns(real_meta, synth_meta) if unique_cols else []
    numeric = [c for c in common if is_numeric_pair(real_meta[c], synth_meta[c])]
    categorical = [c for c in common if c not in set(numeric)]

    # Per-column summaries, one column at a time so that only one column's
    # summary is held here at once.
    per_column: Dict[Hashable, dict] = {}
    needs_values = any(m in wanted for m in ("ks_complement", "wasserstein", "total_variation",
                                             "hellinger", "jensen_shannon"))
    if needs_values and exact_wanted:
        for col in numeric:
            r, s = _both(f"evaluate: column {col}", _value_summary, _merge_value_summaries,
                         real_ddf[col], synthetic_ddf[col])
            entry: dict = {"dist": _numeric_distributions(r, s)}
            if r.n and s.n:
                ks, w1 = _ks_and_w1(r, s)
                entry["ks"] = float(min(1.0, max(0.0, 1.0 - ks)))
                entry["wasserstein"] = _wasserstein_score(r, s, w1)
            per_column[col] = entry
            del r, s
        if any(m in wanted for m in ("total_variation", "hellinger", "jensen_shannon")):
            for col in categorical:
                r, s = _both(f"evaluate: column {col}", _category_summary,
                             _merge_category_counts, real_ddf[col], synthetic_ddf[col])
                per_column[col] = {"dist": _categorical_distributions(r, s)}

    correlations = None
    if ("pearson_correl_diff" in wanted or "correlation_matrix_distance" in wanted) \
            and len(numeric) >= 2 and report.real_data_n_rows >= 2 \
            and report.synthetic_data_n_rows >= 2:
        cr, cs = _both("evaluate: correlations",
                       lambda part: _comoment_summary(part, numeric),
                       lambda pieces: _tree(_merge_comoments, pieces),
                       real_ddf[numeric], synthetic_ddf[numeric])
        correlations = (_correlations(cr), _correlations(cs))

    # The rest of the suite, on a seeded sample.
    sampled_names = [m for m in names if m not in _EXACT_METRICS]
    sample_report = None
    if sampled_names:
        real_sample = _sample(real_parts, _lengths(real_parts), sample_rows, random_seed,
                              "evaluate: sampling real rows")
        synth_sample = _sample(synth_parts, _lengths(synth_parts), sample_rows,
                               None if random_seed is None else random_seed + 1,
                               "evaluate: sampling synthetic rows")
        sample_report = TabularEvaluator(metrics=sampled_names, random_seed=random_seed,
                                         compute_privacy=compute_privacy).evaluate(
            real_sample, synth_sample)

    def add(name: str, value, kind: str) -> None:
        report.add_metric(MetricResult(name=name, value=value, category="statistical",
                                       higher_is_better=True,
                                       description=_DESCRIPTIONS[kind]))

    freq = _MergedUnivariate({c: per_column[c]["dist"] for c in common if c in per_column})
    for name in names:
        if name not in _LOOP_METRICS:
            continue
        if name == "ks_complement":
            for col in common:
                if "ks" in per_column.get(col, {}):
                    add("ks_complement_" + str(col), per_column[col]["ks"], name)
        elif name == "wasserstein":
            for col in common:
                if "wasserstein" in per_column.get(col, {}):
                    add(f"wasserstein_{col}", per_column[col]["wasserstein"], name)
        elif name in ("total_variation", "hellinger", "jensen_shannon"):
            for key, value in freq.scores(name).items():
                add(key, value, name)
        elif name in ("pearson_correl_diff", "correlation_matrix_distance"):
            if correlations is None:
                continue
            a, b = correlations
            k = len(numeric)
            if name == "pearson_correl_diff":
                iu = np.triu_indices(k, k=1)
                value = float(np.clip(1.0 - float(np.abs(a[iu] - b[iu]).mean()), 0.0, 1.0))
            else:
                frob = float(np.linalg.norm(a - b, "fro"))
                value = float(np.clip(1.0 - frob / np.sqrt(k * (k - 1)), 0.0, 1.0))
            add(name, value, name)
        elif sample_report is not None:
            result = sample_report.aggregate_metrics.get(_SAMPLED_NAMES[name])
            if result is not None:
                report.add_metric(result)
    if sample_report is not None:
        for key, result in sample_report.aggregate_metrics.items():
            if key not in report.aggregate_metrics:
                report.add_metric(result)
        for key, result in sample_report.privacy_metrics.items():
            report.add_metric(result, scope="privacy")
    report.evaluation_time_seconds = time.time() - start_time
    return report


def _both(stage, summarise, merge, real, synthetic):
    """Summaries of every partition of both tables, merged per table. (A
    projection such as ``ddf[col]`` may have fewer partitions than the
    table: Dask can combine small files once fewer columns are read.)"""
    # One table after the other, so that only one table's pieces are held
    # at once (a merge may also empty its list as it goes, freeing each
    # piece once used).
    pieces = _run(stage + " (real)", [delayed(summarise)(p) for p in real.to_delayed()])
    merged_real = merge(pieces)
    del pieces
    pieces = _run(stage + " (synthetic)",
                  [delayed(summarise)(p) for p in synthetic.to_delayed()])
    return merged_real, merge(pieces)


def _merge_category_counts(pieces: List[pd.Series]) -> pd.Series:
    pieces = [p for p in pieces if len(p)]
    if not pieces:
        return pd.Series([], dtype=np.int64)
    if len(pieces) == 1:
        return pieces[0]
    return pd.concat(pieces).groupby(level=0, sort=False).sum()


def _tree(merge, items: list):
    items = list(items)
    while len(items) > 1:
        items = [merge(items[i], items[i + 1]) if i + 1 < len(items) else items[i]
                 for i in range(0, len(items), 2)]
    return items[0]
