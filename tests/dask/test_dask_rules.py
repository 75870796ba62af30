"""quorvix.dask.validate and fix against the single-table engine, on a real cluster."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from quorvix.tabular.rulix import ConstraintViolationReport, Rulix

import quorvix.dask as qd

from .conftest import CUTS, mixed_table, partitioned

RULES = [
    "age > 0",
    "income >= 10000",
    "if member then score < 0.5",
    "nope > 1",          # refused: no such column
    "level != 2",
    " age <= 80 ",
    "city == 'north'",   # evaluated by pandas
    "city > 3",          # fails to evaluate
    "age > 0",           # repeated text: one key
]


def engine_of(rules):
    engine = Rulix()
    for rule in rules:
        engine.add_rule(rule)
    return engine


def with_index(df, kind):
    n = len(df)
    if kind == "range":
        return df
    if kind == "offset":
        return df.set_axis(np.arange(n) * 3 + 7, axis=0)
    if kind == "shuffled":
        return df.set_axis(np.random.default_rng(5).permutation(n), axis=0)
    if kind == "strings":
        return df.set_axis([f"row{i:05d}" for i in range(n)][::-1], axis=0)
    if kind == "duplicates":
        return df.set_axis(np.arange(n) % 250, axis=0)
    if kind == "unsortable":  # ints, then text: no order between them
        return df.set_axis([*range(n // 2, 0, -1), *[f"s{i}" for i in range(n - n // 2)]][:n],
                           axis=0)
    raise AssertionError(kind)


def recorded(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same_report(got, want):
    assert got.violations == want.violations
    assert list(got.violations) == list(want.violations)
    assert got.total_violations == want.total_violations
    assert got.violation_rate == want.violation_rate
    assert got.violating_rows.equals(want.violating_rows)
    assert got.violating_rows.dtype == want.violating_rows.dtype
    assert got.violating_rows.tolist() == want.violating_rows.tolist()


@pytest.mark.parametrize("index_kind",
                         ["range", "offset", "shuffled", "strings", "duplicates", "unsortable"])
@pytest.mark.parametrize("cuts", list(CUTS.values()), ids=list(CUTS))
def test_validate_equals_whole_table(client, index_kind, cuts):
    df = with_index(mixed_table(), index_kind)
    engine = engine_of(RULES)
    want, want_warnings = recorded(lambda: engine.validate(df))
    got, got_warnings = recorded(lambda: qd.validate(engine, partitioned(df, cuts)))
    assert_same_report(got, want)
    # every refused or failing rule warns once, in rule order, with the engine's text
    assert got_warnings == want_warnings
    assert len(got_warnings) == 2


@pytest.mark.parametrize("rules", [[], ["age > -1000"], ["age < -1000"]],
                         ids=["no rules", "none violate", "all violate"])
def test_validate_edge_reports(client, rules):
    df = mixed_table(300)
    engine = engine_of(rules)
    assert_same_report(qd.validate(engine, partitioned(df, [0, 100, 100])),
                       engine.validate(df))


def test_validate_empty_table(client):
    df = mixed_table(600).iloc[:0]
    engine = engine_of(["age > 0", "if member then score < 0.5"])
    got = qd.validate(engine, partitioned(df, []))
    assert_same_report(got, engine.validate(df))
    assert got.violation_rate == 0.0


@pytest.mark.parametrize("labels", ["range", "offset", "sparse", "shuffled", "near the top"])
def test_violating_labels_of_large_partitions(client, labels):
    # partitions with thousands of violating labels: increasing labels over
    # a narrow span travel packed, the others as they are
    n = 12_000
    df = mixed_table(n, seed=3)
    index = {"range": np.arange(n), "offset": np.arange(n) * 3 - 5_000,
             "sparse": np.arange(n) * 1_000, "near the top": np.arange(n) + (2**63 - n - 1),
             "shuffled": np.random.default_rng(0).permutation(n)}[labels]
    df = df.set_axis(index, axis=0)
    engine = engine_of(["age > 0", "score < 0.7"])
    want = engine.validate(df)
    assert len(want.violating_rows) > 3_000
    assert_same_report(qd.validate(engine, partitioned(df, [0, 4_000, 4_001, 9_000])), want)


def test_packed_labels_round_trip():
    rng = np.random.default_rng(1)
    for first in (-(2**63), -7, 0, 2**63 - 10_000):
        labels = np.sort(rng.choice(9_000, size=2_000, replace=False)) + np.int64(first)
        packed = qd._compact_labels(pd.Index(labels))
        assert isinstance(packed, qd._PackedLabels) and len(packed) == 2_000
        np.testing.assert_array_equal(packed.to_numpy(), labels)
    # too sparse, repeated, decreasing or few: left as they are
    for labels in (np.arange(2_000) * 100, np.repeat(np.arange(1_000), 2),
                   np.arange(2_000)[::-1], np.arange(10)):
        assert isinstance(qd._compact_labels(pd.Index(labels)), pd.Index)


def test_validate_refuses_a_pandas_frame():
    with pytest.raises(TypeError, match="dask DataFrame"):
        qd.validate(engine_of(["age > 0"]), mixed_table(10))


def test_validate_on_parquet_files(client, tmp_path):
    import dask.dataframe as dd

    df = mixed_table(700).drop(columns=["grade"])
    for i, (a, b) in enumerate([(0, 0), (0, 333), (333, 700)]):
        df.iloc[a:b].to_parquet(tmp_path / f"part{i}.parquet")
    ddf = dd.read_parquet(str(tmp_path / "*.parquet"))
    whole = ddf.compute()
    engine = engine_of(["age > 0", "income >= 10000", "if member then score < 0.5"])
    assert_same_report(qd.validate(engine, ddf), engine.validate(whole))


# -- fix ---------------------------------------------------------------------

FIX_RULES = ["age > 0", "age <= 80", "income >= 10000", "score < 0.9", "level < 2.5",
             "ratio > -1", "if member then score < 0.5"]


@pytest.mark.parametrize("strategy", ["drop", "clip"])
@pytest.mark.parametrize("index_kind", ["range", "shuffled", "strings", "duplicates"])
@pytest.mark.parametrize("cuts", list(CUTS.values()), ids=list(CUTS))
def test_drop_and_clip_equal_single_table(client, strategy, index_kind, cuts):
    df = with_index(mixed_table(), index_kind)
    report = engine_of(FIX_RULES).validate(df)
    assert len(report.violating_rows)
    want = report.fix(df, strategy)
    got = qd.fix(report, partitioned(df, cuts), strategy).compute()
    pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("strategy", ["drop", "clip", "resample", "other"])
def test_fix_without_violations_copies(client, strategy):
    df = mixed_table(200)
    report = ConstraintViolationReport()
    got = qd.fix(report, partitioned(df, [50, 50]), strategy).compute()
    pd.testing.assert_frame_equal(got, df)


@pytest.mark.parametrize("strategy,error", [("Drop", ValueError), (None, TypeError)])
def test_fix_rejects_strategies_like_the_report(client, strategy, error):
    df = mixed_table(200)
    report = engine_of(["age > 0"]).validate(df)
    with pytest.raises(error) as single:
        report.fix(df, strategy)
    with pytest.raises(error) as distributed:
        qd.fix(report, partitioned(df, [50]), strategy)
    assert str(distributed.value) == str(single.value)


@pytest.mark.parametrize("cuts", list(CUTS.values()), ids=list(CUTS))
def test_resample_keeps_good_rows_and_draws_from_them(client, cuts):
    df = with_index(mixed_table(), "shuffled").drop(columns=["grade"])
    df["row_id"] = np.arange(len(df))
    report = engine_of(["age > 0", "income >= 10000"]).validate(df)
    ddf = partitioned(df, cuts)
    got = qd.fix(report, ddf, "resample", random_state=7).compute()
    good = df[~df.index.isin(report.violating_rows)]
    assert len(got) == len(df)
    assert got.index.equals(pd.RangeIndex(len(df)))
    pd.testing.assert_frame_equal(got.iloc[:len(good)], good.reset_index(drop=True))
    drawn = got.iloc[len(good):]
    assert drawn["row_id"].isin(good["row_id"]).all()
    assert (got.dtypes == df.dtypes).all()
    # reproducible for a seed and a partitioning, different for another seed
    again = qd.fix(report, ddf, "resample", random_state=7).compute()
    pd.testing.assert_frame_equal(again, got)
    other = qd.fix(report, ddf, "resample", random_state=8).compute()
    assert not other["row_id"].equals(got["row_id"])


def test_resample_draws_uniformly_across_partitions(client):
    # 4000 good rows spread over very unequal partitions; 6000 draws must hit
    # every partition in proportion to its good rows.
    n = 10_000
    df = pd.DataFrame({"x": np.arange(n), "bad": np.arange(n) % 5 < 3})
    report = engine_of(["not bad"]).validate(df)
    cuts = [10, 10, 2000, 9990]
    got = qd.fix(report, partitioned(df, cuts), "resample", random_state=1).compute()
    drawn = got["x"].to_numpy()[4000:]
    bounds = [0, *cuts, n]
    observed = np.array([((drawn >= a) & (drawn < b)).sum() for a, b in zip(bounds, bounds[1:])])
    expected = np.array([0.4 * (b - a) for a, b in zip(bounds, bounds[1:])]) * 6000 / 4000
    keep = expected > 0
    from scipy.stats import chisquare
    assert observed[~keep].sum() == 0
    assert chisquare(observed[keep], expected[keep]).pvalue > 1e-4


def test_resample_with_no_good_rows_returns_the_table(client):
    df = mixed_table(100)
    report = engine_of(["age < -1000"]).validate(df)
    with pytest.warns(RuntimeWarning, match="No row satisfies the rules"):
        got = qd.fix(report, partitioned(df, [30]), "resample", random_state=1)
    pd.testing.assert_frame_equal(got.compute(), df)


# -- the native objects cross process boundaries -------------------------------

def _roundtrip(obj):
    return obj


def _validate_remote(engine, df):
    return engine.validate(df)


def _fix_remote(report, df):
    return report.fix(df, "drop")


def test_native_objects_travel_to_workers_and_back(client):
    from quorvix.core_generator.privex import PrivexProcessor

    df = mixed_table(300)
    engine = engine_of(FIX_RULES)
    local_report = engine.validate(df)

    back = client.submit(_roundtrip, engine, pure=False).result()
    assert isinstance(back, Rulix) and back._rules == engine._rules
    remote_report = client.submit(_validate_remote, engine, df, pure=False).result()
    assert_same_report(remote_report, local_report)
    pd.testing.assert_frame_equal(
        client.submit(_fix_remote, local_report, df, pure=False).result(),
        local_report.fix(df, "drop"))

    processor = PrivexProcessor(epsilon=2.5, noise_scale=0.2, random_state=None)
    back = client.submit(_roundtrip, processor, pure=False).result()
    assert isinstance(back, PrivexProcessor)
    assert back.get_privacy_info() == processor.get_privacy_info()
    # and it works over there
    noisy = client.submit(lambda p, d: p.apply_dp(d, method="laplace"), processor, df,
                          pure=False).result()
    assert noisy.shape == df.shape
    assert pickle.loads(pickle.dumps(local_report)).violations == local_report.violations
