"""Rules evaluated together in one pass over row blocks, on two threads for
long tables.

Every result must equal pandas' own (a DataFrame subclass takes that path),
whatever the number of threads, across block, share and Arrow chunk
boundaries, and with rules of other kinds in between.
"""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from quorvix.tabular.rulix import Rulix

from support.rules import ThroughPandas, assert_same, make_index, run

# Longer than the two-thread threshold (65,536 rows), not a multiple of the
# 4,096-row blocks nor of the 16,384-row shares.
ROWS = 70_001


def _arrow_text(values, chunk_rows, na_value=np.nan):
    """A pyarrow-backed text column made of chunks of `chunk_rows` rows."""
    dtype = pd.StringDtype("pyarrow", na_value=na_value)
    parts = [pd.Series(values[k : k + chunk_rows], dtype=dtype) for k in range(0, len(values), chunk_rows)]
    column = pd.concat(parts, ignore_index=True) if parts else pd.Series([], dtype=dtype)
    assert column.array._pa_array.num_chunks == max(len(parts), 1) or not parts
    return column


def _table(n, seed=0):
    rng = np.random.default_rng(seed)
    f = rng.normal(size=n)
    f[rng.random(n) < 0.02] = np.nan
    f[rng.random(n) < 0.001] = np.inf
    words = np.array(["open", "closed", "", "é", "日本", "pending!", "a much longer value", "XX"], dtype=object)
    text = words[rng.integers(0, len(words), n)]
    text[rng.random(n) < 0.02] = None
    nullable = pd.array(rng.integers(-5, 5, n), dtype="Int64")
    nullable[rng.random(n) < 0.03] = pd.NA
    flags = pd.array(rng.random(n) < 0.5, dtype="boolean")
    flags[rng.random(n) < 0.03] = pd.NA
    dates = pd.Series(pd.to_datetime("2020-01-01") + pd.to_timedelta(rng.integers(0, 1000, n), unit="D"))
    dates[rng.random(n) < 0.02] = pd.NaT
    return pd.DataFrame(
        {
            "f": f,
            "g": rng.normal(size=n) * 3,
            "f32": rng.normal(size=n).astype("float32"),
            "i": rng.integers(-(2**40), 2**40, n),
            "small": rng.integers(-1000, 1000, n),
            "i8": rng.integers(-128, 128, n).astype("int8"),
            "u64": rng.integers(0, 2**63, n, dtype="uint64") * np.uint64(2),
            "b": rng.random(n) < 0.3,
            "I": nullable,
            "B": flags,
            "obj": pd.Series(text, dtype=object),
            "arrow": _arrow_text(list(text), 6_000),
            "arrow2": _arrow_text(list(text[::-1]), 9_999),
            "arrowna": _arrow_text(list(text), 7_000, pd.NA),
            "py": pd.Series(text, dtype="string[python]"),
            "cat": pd.Series(text, dtype="category"),
            "d1": dates,
            "d2": dates.sample(frac=1.0, random_state=1).reset_index(drop=True),
        }
    )


# One or more of each shape the one-pass evaluation takes.
RULES = [
    "f > -1.5", "g <= 4", "f32 > 0.25", "i < 2**39", "small >= -900", "i8 != 7", "u64 > 12345", "u64 >= -1",
    "f + g < 2", "f * 2 - g > -7", "abs(g) < 5", "small - i >= -(2**40)", "small % 7 != 3", "small // -3 < 200",
    "i % 1000003 > 5", "f < g", "small > f", "i8 < small",
    "if f > 1 then g > -2", "if obj == 'open' then f <= 1", "if B then small > 0", "if I > 0 then f > 0",
    "f > -2 and g < 2", "not (f < -1) | small == 0", "b or f > 0", "~b & (g > 0)",
    "obj in ['open', 'closed', 'pending!']", "arrow in ['open', 'closed', 'pending!', 'XX', 'é']",
    "arrow != 'XX'", "py not in ['a much longer value', '']", "cat == 'é'", "cat not in ['open']",
    "obj >= 'd'", "arrow < 'p'", "arrow == arrow2", "arrow <= arrow2", "obj != obj", "arrowna == 'open'",
    "if arrowna < 'p' then f > 0", "if py > 'e' then small > 0",
    "small in [1, 2, 3, -5]", "I in [1, 2]", "f in [0.5, 1]", "d1 <= d2", "d1 != d2",
    "if py > 'c' then I != 2", "if (I > 0) | (f > 0) then B or small > 0", "if not (py > 'c') & (I != 1) then ~B",
]


# Rules whose outcome is NA where a boolean is needed: pandas decides them.
TO_PANDAS = ["I > 0 or f > 0"]


@pytest.mark.parametrize("index", ["range", "int-increasing", "str"])
def test_one_pass_equals_pandas(index, monkeypatch):
    df = _table(ROWS)
    df.index = make_index(index, ROWS, np.random.default_rng(2))
    calls = []
    original = pd.DataFrame.eval

    def spy(self, *args, **kwargs):
        if type(self) is pd.DataFrame:
            calls.append(args[0])
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pd.DataFrame, "eval", spy)
    report = assert_same(df, RULES + TO_PANDAS)
    assert calls == TO_PANDAS
    assert report.total_violations > 0


def test_two_threads_give_what_one_gives(monkeypatch):
    df = _table(ROWS + 12_345, seed=3)
    two, two_warnings = run(df, RULES)
    monkeypatch.setenv("QUORVIX_RULE_THREADS", "1")
    one, one_warnings = run(df, RULES)
    assert list(two.violations.items()) == list(one.violations.items())
    pd.testing.assert_index_equal(two.violating_rows, one.violating_rows, exact=True)
    assert two.violation_rate == one.violation_rate
    assert two_warnings == one_warnings == []


@pytest.mark.parametrize("rows", [0, 1, 4_095, 4_097, 65_535, 65_536 + 4_096 * 4 + 1])
def test_row_counts_around_block_and_share_boundaries(rows):
    df = _table(rows, seed=rows)
    rules = ["f > -1.5", "small % 7 != 3", "arrow in ['open', 'XX']", "if obj == 'open' then f <= 1", "f < g"]
    assert_same(df, rules)


def test_rules_of_every_kind_in_between_keep_their_order():
    # Rules evaluated natively one by one (math functions), by pandas (a
    # nullable result, an error) or refused sit between rules evaluated
    # together: counts, warnings and the report's order are pandas' own.
    df = _table(ROWS, seed=5)
    rules = [
        "f > -1.5",
        "sin(f) > -0.9",
        "small % 7 != 3",
        "I > 0",  # NA where a boolean is needed: pandas decides
        "arrow != 'XX'",
        "f >",  # refused
        "obj > 1",  # an error on both paths
        "if f > 1 then g > -2",
        "f > -1.5",  # the same rule twice
        "unknown > 0",
        "g < 4",
    ]
    fast, fast_warnings = run(df, rules)
    slow, slow_warnings = run(ThroughPandas(df), rules)
    assert list(fast.violations.items()) == list(slow.violations.items())
    pd.testing.assert_index_equal(fast.violating_rows, slow.violating_rows, exact=True)
    assert fast_warnings == slow_warnings
    assert len(fast_warnings) >= 3


@pytest.mark.parametrize("divisor", [1, -1, 2, 7, -7, 1_000_003, 2**31 - 1, -(2**31) + 1, 2**31, -(2**31), 2**53 + 1])
def test_integer_remainder_and_floor_division_by_literals(divisor):
    # Quotients from a multiplication by 1/divisor are corrected exactly:
    # exact multiples, values next to them and the 2**31 limits included.
    k = np.arange(-3000, 3000, dtype=np.int64)
    edges = np.array([2**31 - 1, 2**31, -(2**31), -(2**31) + 1, 2**53, -(2**53), 2**62, -(2**63), 2**63 - 1])
    x = np.concatenate([k, k * divisor, k * divisor + 1, k * divisor - 1, edges, edges + 1, edges - 1])
    df = pd.DataFrame({"x": x})
    rules = [f"x % {divisor} != 0", f"x % {divisor} < {abs(divisor) // 2}", f"x // {divisor} > 5", f"x // {divisor} <= -7"]
    report = assert_same(df, rules)
    assert report.violations[f"x % {divisor} != 0"] > 0


def test_the_table_may_change_between_calls():
    # Nothing of a call's columns is kept for the next one.
    engine = Rulix().add_rule("f > 0").add_rule("arrow != 'XX'")
    df = _table(ROWS, seed=7)
    first = engine.validate(df)
    df["f"] = -df["f"]
    df["arrow"] = _arrow_text(["XX"] * ROWS, 50_000)
    second = engine.validate(df)
    assert second.violations["arrow != 'XX'"] == ROWS
    assert second.violations["f > 0"] == int((~(df["f"] > 0)).sum()) != first.violations["f > 0"]
