"""Differential checks of rule validation: the native path against pandas' own.

A DataFrame subclass always takes pandas' path (its eval may be overridden):
the same table and rules, once as a plain DataFrame and once as a subclass,
must produce identical reports and warnings.
"""

import warnings

import numpy as np
import pandas as pd

from quorvix.tabular.rulix import Rulix


class ThroughPandas(pd.DataFrame):
    """Same data; validation always evaluates it with DataFrame.eval."""

    @property
    def _constructor(self):
        return ThroughPandas


def run(df, rules):
    engine = Rulix()
    for r in rules:
        engine.add_rule(r)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        report = engine.validate(df)
    return report, [str(w.message) for w in caught]


def assert_same(df, rules):
    fast, fast_warnings = run(df, rules)
    slow, slow_warnings = run(ThroughPandas(df), rules)
    assert list(fast.violations.items()) == list(slow.violations.items())
    assert all(type(v) is int for v in fast.violations.values())
    assert fast.total_violations == slow.total_violations
    assert fast.violation_rate == slow.violation_rate
    pd.testing.assert_index_equal(fast.violating_rows, slow.violating_rows, exact=True)
    assert fast_warnings == slow_warnings
    return fast


def make_index(kind, n, rng):
    if kind == "range":
        return pd.RangeIndex(n)
    if kind == "shifted-range":
        return pd.RangeIndex(10, 10 + 3 * n, 3)
    if kind == "int-increasing":
        return pd.Index(np.cumsum(rng.integers(1, 4, n)) - 5, dtype="int64")
    if kind == "int-shuffled":
        return pd.Index(rng.permutation(n), dtype="int64")
    if kind == "int-duplicates":
        return pd.Index(rng.integers(0, max(n // 2, 1), n), dtype="int64")
    if kind == "str":
        return pd.Index([f"r{k}" for k in rng.permutation(n)])
    if kind == "mixed":
        return pd.Index([k if k % 2 else f"r{k}" for k in range(n)], dtype=object)
    if kind == "int32":
        return pd.Index(np.arange(n), dtype="int32")
    return pd.Index(np.arange(n) / 2.0)
