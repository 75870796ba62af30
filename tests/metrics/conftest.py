import numpy as np
import pandas as pd
import pytest


def make_table(n: int, seed: int, shift: float = 0.0) -> pd.DataFrame:
    """Mixed table: two correlated numeric columns, an integer count, a
    categorical column that depends on x, a boolean and some missing values."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n) + shift
    y = 2.0 * x + rng.normal(size=n)
    count = rng.poisson(3.0, size=n)
    city = np.where(x + 0.5 * rng.normal(size=n) > shift, "north", "south")
    flag = rng.random(n) < 0.3
    df = pd.DataFrame({"x": x, "y": y, "count": count, "city": city, "flag": flag})
    df.loc[rng.random(n) < 0.05, "y"] = np.nan
    return df


@pytest.fixture(scope="session")
def real_table():
    return make_table(1500, seed=0)


@pytest.fixture(scope="session")
def twin_table():
    """Independent sample from the same distribution as ``real_table``."""
    return make_table(1500, seed=1)


@pytest.fixture(scope="session")
def shifted_table():
    return make_table(1500, seed=2, shift=2.0)


@pytest.fixture
def fresh_pair():
    """A new (real, synthetic) pair of mixed tables that the test may change."""
    return make_table(600, seed=0), make_table(500, seed=1)
