"""quorvix.dask.evaluate against TabularEvaluator, on a real cluster."""

import json
import warnings

import numpy as np
import pandas as pd
import pytest

from quorvix.tabular.evaluator.evaluator import TabularEvaluator
from quorvix.tabular.evaluator.report import EvaluationReport

import quorvix.dask as qd

from .conftest import partitioned

EXACT = ["ks_complement", "wasserstein", "total_variation", "hellinger", "jensen_shannon",
         "pearson_correl_diff", "correlation_matrix_distance"]


def table(n, shift, seed):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({
        "a": rng.normal(shift, 1, n),                       # continuous: quantile bins
        "b": rng.integers(0, 6, n),                         # few levels: value frequencies
        "c": rng.choice(["x", "y", "z", 1], n),             # mixed objects
        "d": rng.exponential(1 + shift, n).round(1),        # many ties
        "e": rng.random(n) < 0.4 + shift / 10,              # bool: numeric 0/1
        "t": pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 10**6, n), "s"),
        "k": np.full(n, 3.0),                               # constant
    })
    df.loc[::9, "a"] = np.nan
    df.loc[::13, "c"] = None
    df.loc[rng.random(n) < 0.1, "d"] = np.inf
    return df


CASES = {
    "one partition each": ([], []),
    "odd and empty": ([0, 17, 17, 1500, 1501], [700, 700, 2499]),
    "many small": (list(range(100, 3000, 97)), list(range(3, 2500, 251))),
}


@pytest.mark.parametrize("window", [None, 7], ids=["one window", "windows of 7"])
@pytest.mark.parametrize("cuts", list(CASES.values()), ids=list(CASES))
def test_statistical_metrics_equal_the_evaluator(client, cuts, window, monkeypatch):
    if window:
        # KS and W1 walk the pooled values in windows; small ones put the
        # window boundaries among ties and between the two tables' values
        monkeypatch.setattr(qd, "_WINDOW", window)
    real, synth = table(3000, 0.0, 1), table(2500, 0.3, 2)
    want = TabularEvaluator(metrics=EXACT, random_seed=5).evaluate(real, synth)
    got = qd.evaluate(partitioned(real, cuts[0]), partitioned(synth, cuts[1]),
                      metrics=EXACT, random_seed=5)
    assert list(got.aggregate_metrics) == list(want.aggregate_metrics)
    assert len(want.aggregate_metrics) > 25
    for name, result in want.aggregate_metrics.items():
        mine = got.aggregate_metrics[name]
        assert mine.value == pytest.approx(result.value, abs=1e-9), name
        assert (mine.category, mine.description, mine.higher_is_better) == (
            result.category, result.description, result.higher_is_better)
    assert (got.real_data_n_rows, got.synthetic_data_n_rows, got.n_columns) == (3000, 2500, 7)


@pytest.mark.parametrize("levels", [None, 5, 400], ids=["continuous", "5 levels", "400 levels"])
def test_merged_summaries_describe_the_whole_column(levels):
    # partitions of every size, so that some keep each value and some keep
    # distinct values with counts; the merge must describe the whole column
    rng = np.random.default_rng(len(str(levels)))
    sizes = [0, 1, 3, 4, 9, 250, 1000, 2]
    pieces, whole = [], []
    for size in sizes:
        x = rng.normal(size=size) if levels is None else rng.integers(0, levels, size) / 4
        x = x.astype(float)
        x[rng.random(size) < 0.1] = np.nan
        pieces.append(qd._value_summary(pd.Series(x)))
        whole.append(x[~np.isnan(x)])
    assert {c is None for _, c in pieces[1:]} == ({True} if levels is None else {True, False})
    whole = np.sort(np.concatenate(whole))
    merged = qd._merge_value_summaries(pieces)
    assert pieces == [] and merged.n == whole.size
    grid = np.concatenate([whole, whole + 1e-9, whole - 1e-9, [-np.inf, np.inf]])
    np.testing.assert_array_equal(merged.count_le(grid), np.searchsorted(whole, grid, "right"))
    np.testing.assert_array_equal(merged.count_lt(grid), np.searchsorted(whole, grid, "left"))
    k = np.arange(whole.size)
    np.testing.assert_array_equal(merged.order_stat(k), whole)
    np.testing.assert_array_equal(merged.distinct(), np.unique(whole))
    for m in (0, 3, 5, 6, 399, 400, 10**6):
        assert merged.more_distinct_than(m) == (np.unique(whole).size > m)


def test_identical_tables_score_one(client):
    real = table(1200, 0.0, 3)
    got = qd.evaluate(partitioned(real, [400, 400]), partitioned(real, [5, 900]),
                      metrics=EXACT)
    assert all(r.value == pytest.approx(1.0, abs=1e-7) for r in got.aggregate_metrics.values())


def test_pearson_with_gaps_and_near_constant_columns(client):
    # pairwise-complete rows differ per pair; a column constant on the rows
    # it shares with another has an undefined correlation (0)
    rng = np.random.default_rng(4)
    n = 2000
    real = pd.DataFrame({"u": rng.normal(size=n), "v": rng.normal(size=n),
                         "w": np.where(np.arange(n) < 1000, 2.5, np.nan)})
    real["v"] += 0.7 * real["u"]
    real.loc[rng.random(n) < 0.2, "u"] = np.nan
    synth = real.sample(frac=1, random_state=1).reset_index(drop=True)
    synth["u"] = synth["u"] * 1.5 + rng.normal(size=n)
    names = ["pearson_correl_diff", "correlation_matrix_distance"]
    want = TabularEvaluator(metrics=names).evaluate(real, synth)
    got = qd.evaluate(partitioned(real, [1, 999, 1001]), partitioned(synth, [0, 1000]),
                      metrics=names)
    for name in ("pearson_correl_diff", "correlation_matrix_distance"):
        assert got.aggregate_metrics[name].value == pytest.approx(
            want.aggregate_metrics[name].value, abs=1e-9)


@pytest.mark.parametrize("seed", range(4))
def test_pair_extremes_over_shared_rows(seed, monkeypatch):
    # each column's smallest and largest value over the rows it shares with
    # each other column: extremes that sit only on rows where the other
    # column is missing, mostly-missing columns, ties at the extremes
    monkeypatch.setattr(qd, "_CHUNK_ROWS", 16)
    rng = np.random.default_rng(seed)
    n = 60
    df = pd.DataFrame({
        "wide": rng.normal(size=n),
        "ties": rng.integers(0, 3, n).astype(float),
        "sparse": np.where(rng.random(n) < 0.8, np.nan, rng.normal(size=n)),
        "gappy": np.where(rng.random(n) < 0.3, np.nan, rng.normal(size=n)),
        "empty": np.full(n, np.nan),
    })
    # the extremes of "wide" only where "gappy" is missing
    gaps = np.flatnonzero(df["gappy"].isna())
    df.loc[gaps[0], "wide"] = 50.0
    df.loc[gaps[1], "wide"] = -50.0
    cols = list(df.columns)
    got = qd._comoment_summary(df, cols)
    x = df.to_numpy()
    for i in range(len(cols)):
        for j in range(len(cols)):
            rows = ~np.isnan(x[:, i]) & ~np.isnan(x[:, j])
            lo = x[rows, i].min() if rows.any() else np.inf
            hi = x[rows, i].max() if rows.any() else -np.inf
            assert (got["minx"][i, j], got["maxx"][i, j]) == (lo, hi), (cols[i], cols[j])
            assert got["n"][i, j] == rows.sum()
            if rows.sum() > 1:
                xi, xj = x[rows, i], x[rows, j]
                assert got["sxy"][i, j] == pytest.approx(
                    ((xi - xi.mean()) * (xj - xj.mean())).sum(), abs=1e-9)


def test_full_suite_is_an_ordinary_report(client, tmp_path):
    real, synth = table(1500, 0.0, 6), table(1200, 0.2, 7)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = TabularEvaluator(random_seed=2).evaluate(real, synth)
        got = qd.evaluate(partitioned(real, [500, 500, 1000]), partitioned(synth, [600]),
                          random_seed=2, sample_rows=800)
    assert isinstance(got, EvaluationReport)
    assert list(got.aggregate_metrics) == list(want.aggregate_metrics)
    assert list(got.privacy_metrics) == list(want.privacy_metrics)
    for result in got.all_metrics.values():
        assert 0.0 <= result.value <= 1.0
    again = EvaluationReport.from_json(got.to_json())
    assert list(again.all_metrics) == list(got.all_metrics)
    json.loads(got.to_json())
    html = TabularEvaluator().to_html(got, str(tmp_path / "r.html"), real.iloc[:300],
                                      synth.iloc[:300])
    assert "ks_complement_a" in html


def test_sample_is_seeded_and_capped(client):
    real, synth = table(3000, 0.0, 8), table(3000, 0.5, 9)
    rd, sd = partitioned(real, [1000, 1000, 2000]), partitioned(synth, [1500])
    names = ["mmd", "spearman_correl_diff"]
    a = qd.evaluate(rd, sd, metrics=names, random_seed=3, sample_rows=500)
    b = qd.evaluate(rd, sd, metrics=names, random_seed=3, sample_rows=500)
    assert {k: r.value for k, r in a.aggregate_metrics.items()} == \
        {k: r.value for k, r in b.aggregate_metrics.items()}
    assert list(a.aggregate_metrics) == ["mmd_rbf", "spearman_correl_diff"]
    # the sampled rows, drawn across partitions, in table order
    parts = rd.to_delayed()
    sample = qd._sample(parts, [1000, 0, 1000, 1000], 500, 3, "test")
    assert len(sample) == 500 and sample.index.is_monotonic_increasing
    assert sample.index.isin(real.index).all()
    assert (sample.index < 1000).any() and (sample.index >= 2000).any()
    # below the cap every row takes part
    full = qd._sample(parts, [1000, 0, 1000, 1000], 5000, 3, "test")
    pd.testing.assert_frame_equal(full, real)


def test_argument_checks():
    real = partitioned(table(50, 0.0, 1), [])
    with pytest.raises(TypeError, match="metrics"):
        qd.evaluate(real, real, metrics=("ks_complement",))
    with pytest.raises(ValueError, match="sample_rows"):
        qd.evaluate(real, real, sample_rows=1)


def test_parquet_folder_whose_column_reads_combine_files(client, tmp_path):
    # Reading one column of many small files, Dask may combine files into
    # fewer partitions than the whole table has: summaries must still be
    # matched to the right table.
    import dask.dataframe as dd

    real, synth = table(900, 0.0, 10).drop(columns=["t"]), table(700, 0.4, 11).drop(columns=["t"])
    for name, df, cuts in (("real", real, [0, 0, 100, 101, 600]), ("synth", synth, [350])):
        folder = tmp_path / name
        folder.mkdir()
        bounds = [0, *cuts, len(df)]
        for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
            df.iloc[a:b].to_parquet(folder / f"p{i}.parquet")
    rd = dd.read_parquet(str(tmp_path / "real"))
    sd = dd.read_parquet(str(tmp_path / "synth"))
    want = TabularEvaluator(metrics=EXACT).evaluate(rd.compute(), sd.compute())
    got = qd.evaluate(rd, sd, metrics=EXACT)
    assert list(got.aggregate_metrics) == list(want.aggregate_metrics)
    for name, result in want.aggregate_metrics.items():
        assert got.aggregate_metrics[name].value == pytest.approx(result.value, abs=1e-9), name
