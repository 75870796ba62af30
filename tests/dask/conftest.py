"""A real distributed cluster with worker processes, shared by the module's tests."""

import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("distributed")

import dask
import dask.dataframe as dd

# The tables here are compared with the single-table results on the very same
# pandas frames; Dask would otherwise turn object columns into its Arrow
# string dtype (and, with pandas 2, text and numbers mixed in one column into
# text) before quorvix sees them.
dask.config.set({"dataframe.convert-string": False})


@pytest.fixture(scope="module")
def cluster_client():
    """Two worker processes. Per test module, so that no scheduler threads
    keep running (and allocating) while the rest of the suite runs, which
    would upset the leak checks."""
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=40)
        client = Client(cluster, set_as_default=False)
    yield client
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        client.close()
        cluster.close()


@pytest.fixture
def client(cluster_client):
    """The cluster as the active scheduler for one test."""
    with cluster_client.as_current():
        with dask.config.set(scheduler=cluster_client):
            yield cluster_client


def partitioned(df: pd.DataFrame, cuts) -> dd.DataFrame:
    """A dask DataFrame whose partitions are df split at the given row
    positions (equal cuts make empty partitions)."""
    bounds = [0, *cuts, len(df)]
    parts = [df.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
    return dd.from_delayed([dask.delayed(p) for p in parts], meta=df.iloc[:0],
                           verify_meta=False)


# Row cuts for a table of at least 600 rows: one partition, odd sizes, empty
# partitions at the start, middle and end, one-row partitions.
CUTS = {
    "one": [],
    "odd": [1, 137, 138, 401],
    "empty": [0, 0, 250, 250, 599, 600],
}


def mixed_table(n: int = 900, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({
        "age": rng.integers(-20, 90, n),
        "income": rng.normal(50_000, 20_000, n),
        "score": rng.random(n),
        "level": rng.integers(0, 4, n).astype(float),
        "city": rng.choice(["north", "south", "east", "west"], n),
        "member": rng.random(n) < 0.3,
        "visits": pd.array(rng.integers(0, 40, n), dtype="Int64"),
        "ratio": rng.normal(0, 1, n).astype("float32"),
    })
    df.loc[::7, "income"] = np.nan
    df.loc[::11, "visits"] = pd.NA
    df.loc[::13, "city"] = None
    df["grade"] = pd.Categorical(rng.choice(["a", "b", "c"], n), categories=["a", "b", "c", "d"])
    return df
