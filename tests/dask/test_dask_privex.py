"""quorvix.dask.apply_privex against the single-table apply_privex, on a real cluster."""

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from quorvix.core_generator.privex import apply_privex as single_apply_privex

import quorvix.dask as qd

from .conftest import CUTS, mixed_table, partitioned

METHODS = ["laplace", "gaussian", "minimal"]


def single(df, **kwargs):
    return single_apply_privex(df, **kwargs)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("cuts", list(CUTS.values()), ids=list(CUTS))
def test_same_columns_dtypes_index_and_preserved_values(client, method, cuts):
    df = mixed_table().set_axis(np.arange(900) * 2 + 1, axis=0)
    kwargs = dict(epsilon=2.0, method=method, preserve_columns=["score", "city"], random_state=3)
    want = single(df, **kwargs)
    got = qd.apply_privex(partitioned(df, cuts), **kwargs).compute()
    assert got.columns.equals(want.columns)
    assert got.index.equals(want.index)
    assert got.dtypes.to_dict() == want.dtypes.to_dict()
    for col in ["score", "city"]:
        pd.testing.assert_series_equal(got[col], df[col])
    # missing cells stay missing where the single-table noise keeps them
    for col in ["income", "visits"]:
        assert got[col].isna().equals(want[col].isna())


@pytest.mark.parametrize("method", METHODS)
def test_reproducible_per_seed_and_partitioning(client, method):
    df = mixed_table(600)
    ddf = partitioned(df, [100, 100, 333])
    a = qd.apply_privex(ddf, method=method, random_state=11).compute()
    b = qd.apply_privex(ddf, method=method, random_state=11).compute()
    c = qd.apply_privex(ddf, method=method, random_state=12).compute()
    pd.testing.assert_frame_equal(a, b)
    assert not a["income"].equals(c["income"])


def test_laplace_clips_rounds_and_moves_low_cardinality_columns(client):
    # "level" has 4 distinct values: categorical for the processor, so it
    # keeps exactly its values; "age" holds whole numbers and is rounded, and
    # every value stays within the whole table's range widened by a tenth
    # (before rounding).
    df = mixed_table(2000)
    got = qd.apply_privex(partitioned(df, [1, 1, 999]), epsilon=0.01, random_state=4).compute()
    assert set(got["level"].unique()) <= set(df["level"].unique())
    age = got["age"].to_numpy()
    span = df["age"].max() - df["age"].min()
    lower, upper = df["age"].min() - 0.1 * span, df["age"].max() + 0.1 * span
    # clipped to the bounds, then rounded
    assert (age >= np.round(lower)).all() and (age <= np.round(upper)).all()
    assert (age == np.round(age)).all()
    # small epsilon: values pile up at the table-wide bounds, in every partition
    assert (age == np.round(upper)).sum() > 100 and (age == np.round(lower)).sum() > 100
    assert set(got["city"].dropna().unique()) <= {"north", "south", "east", "west"}
    assert got["city"].notna().all()


@pytest.mark.parametrize("method", ["laplace", "gaussian"])
def test_noise_scale_matches_single_table(client, method):
    # A wide column and a large epsilon: clipping touches no value in the
    # middle of the range, so the residuals there are the pure noise.
    n = 20_000
    rng = np.random.default_rng(0)
    df = pd.DataFrame({"x": rng.uniform(0, 1000, n), "y": rng.uniform(-5, 5, n)})
    epsilon = 40.0
    ddf = partitioned(df, [3, 3, 5000, 12_345])
    got = qd.apply_privex(ddf, epsilon=epsilon, method=method, random_state=1).compute()
    want = single(df, epsilon=epsilon, method=method, random_state=1)
    middle = (df["x"] > 200) & (df["x"] < 800)
    ours = (got["x"] - df["x"])[middle].to_numpy()
    theirs = (want["x"] - df["x"])[middle].to_numpy()
    span = df["x"].max() - df["x"].min()
    scale = span * 0.1 / epsilon
    if method == "gaussian":
        scale *= np.sqrt(2 * np.log(1.25 / 1e-5))
    family = stats.laplace if method == "laplace" else stats.norm
    assert stats.kstest(ours, family(0, scale).cdf).pvalue > 1e-3
    assert stats.ks_2samp(ours, theirs).pvalue > 1e-3
    # a scale off by 10 % would be caught
    wrong = family(0, scale * 1.1)
    assert stats.kstest(ours, wrong.cdf).pvalue < 1e-3


def test_categorical_frequencies_are_global(client):
    # One table-wide distribution: partitions holding only "a" or only "b"
    # still draw both, in the table's proportions.
    n = 30_000
    df = pd.DataFrame({"c": ["a"] * (n // 3) + ["b"] * (2 * n // 3)})
    got = qd.apply_privex(partitioned(df, [n // 3]), epsilon=5.0, random_state=2).compute()
    first, second = got["c"].iloc[: n // 3], got["c"].iloc[n // 3:]
    for part in (first, second):
        share = (part == "a").mean()
        assert abs(share - 1 / 3) < 0.02


def test_value_counts_order_with_ties_matches(client):
    # The noisy counts are drawn in value_counts order; with many tied counts
    # the merged counts must come out in the very order pandas gives.
    from quorvix.dask import _merge_value_counts

    values = [f"v{i}" for i in np.random.default_rng(3).permutation(40)]
    s = pd.Series(np.repeat(values, 3))
    s = s.sample(frac=1, random_state=1).reset_index(drop=True)
    pieces = [s.iloc[a:b].value_counts(sort=False) for a, b in [(0, 17), (17, 17), (17, 120)]]
    merged = _merge_value_counts(pieces)
    assert merged.index.tolist() == s.value_counts().index.tolist()
    assert merged.tolist() == s.value_counts().tolist()


def test_argument_errors_and_empty_tables(client):
    df = mixed_table(100)
    ddf = partitioned(df, [50])
    with pytest.raises(ValueError, match="Unknown method: Laplace"):
        qd.apply_privex(ddf, method="Laplace")
    with pytest.raises(TypeError, match="method"):
        qd.apply_privex(ddf, method=None)
    with pytest.raises(TypeError, match="preserve_columns"):
        qd.apply_privex(ddf, preserve_columns=("age",))
    with pytest.raises(ZeroDivisionError):
        qd.apply_privex(ddf, epsilon=0)
    empty = partitioned(df.iloc[:0], [])
    assert qd.apply_privex(empty, method="anything") is empty
