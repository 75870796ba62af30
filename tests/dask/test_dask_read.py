"""quorvix.dask.read_parquet: one partition per file, read column by column,
equal to pandas.read_parquet file by file."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from pandas.testing import assert_frame_equal

from quorvix.tabular.rulix import Rulix

import quorvix.dask as qd

from .conftest import mixed_table


def _write(kind, path):
    n = 9
    if kind == "no-pandas-metadata":
        pq.write_table(pa.table({"a": np.arange(n), "b": [f"t{i}" for i in range(n)]}), path)
        return
    if kind == "mixed, stored index":
        df = mixed_table(n).set_axis(pd.Index(np.arange(10, 10 + n) * 3, name="row_id"), axis=0)
        df["when"] = pd.date_range("2021-03-01", periods=n, tz="UTC")
    elif kind == "range index with a step":
        df = pd.DataFrame({"a": np.arange(n), "s": ["x", None, "y"] * 3},
                          index=pd.RangeIndex(5, 5 + 2 * n, 2))
    elif kind == "default index":
        df = pd.DataFrame({"a": np.arange(n, dtype=float)})
    elif kind == "text index, duplicates":
        df = pd.DataFrame({"a": np.arange(n)}, index=[f"r{i % 4}" for i in range(n)])
    elif kind == "integer column labels":
        df = pd.DataFrame({0: np.arange(n), 1: np.linspace(0, 1, n), 2: list("abcdefghi")})
    elif kind == "empty":
        df = mixed_table(20).iloc[:0]
    elif kind == "several row groups":
        df = mixed_table(n * 50)
        df.to_parquet(path, row_group_size=70)
        return
    else:
        raise AssertionError(kind)
    df.to_parquet(path)


KINDS = ["mixed, stored index", "range index with a step", "default index",
         "text index, duplicates", "integer column labels", "empty", "several row groups",
         "no-pandas-metadata"]


@pytest.mark.parametrize("kind", KINDS)
def test_a_file_reads_as_pandas_reads_it(tmp_path, kind):
    path = tmp_path / "t.parquet"
    _write(kind, path)
    expected = pd.read_parquet(path)
    assert_frame_equal(qd._read_parquet_file(str(path)), expected)
    # the empty frame that describes the partitions has the same dtypes
    # (categories are left unknown: each file has its own)
    meta = qd._parquet_meta(pq.read_schema(path))
    assert meta.dtypes.astype(str).equals(expected.dtypes.astype(str))
    assert meta.index.dtype == expected.index.dtype
    # a subset of the columns, in the order asked for
    wanted = list(expected.columns[::-2])
    assert_frame_equal(qd._read_parquet_file(str(path), wanted), expected[wanted])


def test_reads_one_column_at_a_time_and_only_the_columns_used(tmp_path, monkeypatch):
    _write("mixed, stored index", tmp_path / "a.parquet")
    _write("mixed, stored index", tmp_path / "b.parquet")
    reads = []
    original = pq.ParquetFile.read

    def spy(self, columns=None, **kwargs):
        reads.append(None if columns is None else tuple(columns))
        return original(self, columns=columns, **kwargs)

    monkeypatch.setattr(pq.ParquetFile, "read", spy)
    ddf = qd.read_parquet(tmp_path)
    ddf[["score", "city"]].compute(scheduler="sync")
    # per file: each column on its own, then the stored index
    assert reads == [("score",), ("city",), ("row_id",)] * 2
    reads.clear()
    ddf.compute(scheduler="sync")
    assert all(r is not None and len(r) == 1 for r in reads)
    assert len(reads) == 2 * (len(ddf.columns) + 1)


def test_folder_on_the_cluster(tmp_path, client):
    frames = []
    for i, n in enumerate([0, 300, 1, 250]):
        df = mixed_table(n, seed=i).set_axis(pd.Index(np.arange(n) + 1000 * i, name="row_id"),
                                             axis=0)
        # part.0, part.5, part.10, part.15: natural order, not text order
        df.to_parquet(tmp_path / f"part.{5 * i}.parquet")
        frames.append(pd.read_parquet(tmp_path / f"part.{5 * i}.parquet"))
    (tmp_path / "_SUCCESS.parquet").write_text("")  # not data: skipped
    (tmp_path / "notes.txt").write_text("not a table")
    # (pandas would turn the categories into text on meeting the empty file's
    # empty categories; Dask unites them)
    whole = pd.concat([f for f in frames if len(f)])

    ddf = qd.read_parquet(tmp_path)
    assert ddf.npartitions == 4
    assert_frame_equal(ddf.compute(), whole)
    for form in (str(tmp_path / "part.*.parquet"),
                 [str(tmp_path / f"part.{5 * i}.parquet") for i in range(4)]):
        assert_frame_equal(qd.read_parquet(form).compute(), whole)
    assert_frame_equal(qd.read_parquet(tmp_path, columns=["income", "age"]).compute(),
                       whole[["income", "age"]])

    engine = Rulix()
    for rule in ["age > 0", "income >= 10000", "city == 'north'"]:
        engine.add_rule(rule)
    got = qd.validate(engine, qd.read_parquet(tmp_path))
    expected = engine.validate(whole)
    assert got.violations == expected.violations
    assert got.violating_rows.equals(expected.violating_rows)


def test_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="no Parquet file"):
        qd.read_parquet(tmp_path)
    with pytest.raises(FileNotFoundError, match="no Parquet file"):
        qd.read_parquet(str(tmp_path / "*.parquet"))
    _write("default index", tmp_path / "a.parquet")
    with pytest.raises(KeyError, match="nope"):
        qd.read_parquet(tmp_path, columns=["a", "nope"])
    with pytest.raises(TypeError, match="list of column labels"):
        qd.read_parquet(tmp_path, columns="a")
