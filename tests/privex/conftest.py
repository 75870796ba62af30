import logging
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quorvix.core_generator import privex as privex_module

# The step-by-step reference passes next to these tests are importable as `privex_reference`.
sys.path.insert(0, str(Path(__file__).parent))

LOGGER = "quorvix.core_generator.privex"


@pytest.fixture
def privex():
    return privex_module


@pytest.fixture
def info_logs(caplog):
    """caplog listening at INFO on the module's logger; yields the captured (level, text) pairs."""
    caplog.set_level(logging.INFO, logger=LOGGER)
    caplog.clear()

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]

    return lines


@pytest.fixture
def mixed_df():
    """A table with every kind of column the passes tell apart (40 rows: threshold 4.0)."""
    rng = np.random.default_rng(7)
    n = 40
    return pd.DataFrame(
        {
            "income": rng.normal(50_000, 8_000, n),
            "age": rng.integers(18, 90, n),
            "score": np.where(np.arange(n) % 7 == 0, np.nan, rng.normal(0, 1, n)),
            "flag": rng.integers(0, 2, n),  # numeric, low cardinality -> categorical
            "city": rng.choice(["Oslo", "Lima", "Pune"], n).astype(object),
            "member": rng.random(n) < 0.5,
            "tier": pd.Categorical(rng.choice(["gold", "silver"], n)),
        }
    )
