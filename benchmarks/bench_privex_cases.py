"""Privacy noise cases for benchmarks/run.py.

Baselines are the straightforward pandas/numpy code for the same semantics,
written as one would in Python:

- "privex categorical pass": ``value_counts``, a Python loop with one scalar
  ``np.random.laplace`` draw per distinct value, dicts of noisy counts and of
  probabilities, ``np.random.choice(values, size=len(df), p=probs)`` and the
  column assignment, on a copy of the table. Ours is
  ``PrivexProcessor._apply_categorical_dp`` on the same column.
- "privex apply_dp laplace": the column typing, the copy of the table, the numerical
  pass (Laplace noise per non-missing value, clip to the widened range, round
  whole-number columns) and then the categorical pass above, each as plain
  pandas code. Ours is ``PrivexProcessor.apply_dp(df, method="laplace")``.

Each ``check`` seeds numpy's global random state, runs ours and the baseline
from the same seed and asserts equal tables (values, dtypes, index) and the
same random state afterwards.

The "table" column of apply_dp also gives the table's own memory,
``df.memory_usage(deep=True).sum()``, next to which the harness's peak reads
as a ratio. Run on its own, the script prints apply_dp's peak as a multiple of
the table's memory, both as resident memory and as traced allocations:

    python benchmarks/bench_privex_cases.py [--quick]
"""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd

CATEGORICAL_KINDS = ["object", "string", "category", "bool"]
SEED = 0


def _quiet():
    from quorvix.core_generator import privex

    # the module logs every call at INFO; the benchmark's output is its table
    logging.getLogger(privex.__name__).setLevel(logging.WARNING)
    return privex


# ---------------------------------------------------------------------------
# Baselines


def baseline_categorical(df, categorical_cols, epsilon):
    df_dp = df.copy()
    for col in categorical_cols:
        if col not in df.columns:
            continue
        value_counts = df[col].value_counts()
        if len(df[col].dropna()) == 0:
            continue
        noisy_counts = {}
        for value, count in value_counts.items():
            noisy_count = count + np.random.laplace(0, 1.0 / epsilon)
            noisy_counts[value] = max(0, noisy_count)
        total_noisy = sum(noisy_counts.values())
        if total_noisy > 0:
            probabilities = {v: c / total_noisy for v, c in noisy_counts.items()}
        else:
            probabilities = {v: 1.0 / len(value_counts) for v in value_counts.index}
        values = list(probabilities.keys())
        weights = list(probabilities.values())
        probs = np.array(weights) / np.sum(weights)
        df_dp[col] = np.random.choice(values, size=len(df), p=probs)
    return df_dp


def baseline_numerical(df, numerical_cols, epsilon, noise_scale):
    df_dp = df.copy()
    for col in numerical_cols:
        if col not in df.columns:
            continue
        col_data = df[col].dropna()
        if len(col_data) == 0:
            continue
        try:
            is_integer = bool(np.all(np.mod(col_data, 1) == 0))
        except Exception:
            is_integer = False
        data_range = col_data.max() - col_data.min()
        if data_range == 0:
            data_range = 1.0
        noisy = col_data.values + np.random.laplace(0, data_range * noise_scale / epsilon, col_data.shape)
        if pd.api.types.is_integer_dtype(df_dp[col].dtype):
            df_dp[col] = df_dp[col].astype("float64")  # the noisy values are floats
        df_dp.loc[col_data.index, col] = noisy
        df_dp[col] = np.clip(df_dp[col], col_data.min() - data_range * 0.1, col_data.max() + data_range * 0.1)
        if is_integer:
            df_dp[col] = df_dp[col].round()
    return df_dp


def baseline_apply_laplace(df, epsilon, noise_scale=0.1):
    numerical_cols = df.select_dtypes(include=[np.number]).columns.tolist()
    categorical_cols = df.select_dtypes(include=CATEGORICAL_KINDS).columns.tolist()
    threshold = min(len(df) * 0.1, 10.0)
    for col in list(numerical_cols):
        if df[col].nunique() <= threshold:
            numerical_cols.remove(col)
            categorical_cols.append(col)
    df_dp = df.copy()
    df_dp = baseline_numerical(df_dp, numerical_cols, epsilon, noise_scale)
    return baseline_categorical(df_dp, categorical_cols, epsilon)


# ---------------------------------------------------------------------------
# Tables


def wide_vocabulary_table(n_rows, n_distinct, seed=SEED):
    """One text column of n_distinct values, every one present, skewed frequencies."""
    rng = np.random.default_rng(seed)
    vocab = np.array([f"v{j:05d}" for j in range(n_distinct)], dtype=object)
    rest = rng.zipf(1.3, n_rows - n_distinct) % n_distinct
    codes = np.concatenate([np.arange(n_distinct), rest])
    rng.shuffle(codes)
    return pd.DataFrame({"code": vocab[codes]})


def mixed_table(n_rows, seed=SEED):
    """20 columns: 14 floats (five with about 2 % missing), 2 wide integer
    columns, a 5-valued integer column (categorical by cardinality), a bool and
    two text columns of 40 and 8 values. The values of each text column have
    equal lengths, so the table's deep memory grows exactly with its rows."""
    rng = np.random.default_rng(seed)
    cols = {}
    for i in range(14):
        x = rng.normal(i, 1 + i, n_rows)
        if i % 3 == 0:
            x[rng.random(n_rows) < 0.02] = np.nan
        cols[f"f{i}"] = x
    cols["n0"] = rng.integers(0, 100_000, n_rows)
    cols["n1"] = rng.integers(-500, 500, n_rows)
    cols["level"] = rng.integers(1, 6, n_rows)
    cols["member"] = rng.random(n_rows) < 0.3
    cities = np.array([f"city {j:02d}" for j in range(40)], dtype=object)
    cols["city"] = cities[rng.integers(0, 40, n_rows)]
    tiers = np.array(["gold", "iron", "wood", "opal", "jade", "ruby", "onyx", "zinc"], dtype=object)
    cols["tier"] = tiers[rng.integers(0, 8, n_rows)]
    return pd.DataFrame(cols)


def _mib(n_bytes):
    return f"{n_bytes / 2**20:.0f} MiB"


# ---------------------------------------------------------------------------
# Cases


def _assert_same_run(ours, baseline, seed=SEED):
    np.random.seed(seed)
    got = ours()
    state = np.random.get_state()
    np.random.seed(seed)
    expected = baseline()
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    after = np.random.get_state()
    assert (state[1] == after[1]).all() and state[2:] == after[2:]


def categorical_case(n_rows, n_distinct, epsilon=1.0):
    def setup():
        privex = _quiet()
        df = wide_vocabulary_table(n_rows, n_distinct)
        return {"df": df, "processor": privex.PrivexProcessor(epsilon=epsilon)}

    def ours(s):
        return s["processor"]._apply_categorical_dp(s["df"], ["code"])

    def baseline(s):
        return baseline_categorical(s["df"], ["code"], epsilon)

    def check(s):
        before = s["df"].copy()
        _assert_same_run(lambda: ours(s), lambda: baseline(s))
        pd.testing.assert_frame_equal(s["df"], before, check_exact=True)

    return {
        "name": "privex categorical pass",
        "size": f"{n_rows:,} x 1",
        "what": f"{n_distinct:,} distinct values",
        "setup": setup,
        "ours": ours,
        "baseline": baseline,
        "check": check,
    }


def table_bytes(n_rows):
    """mixed_table(n_rows).memory_usage(deep=True).sum(), from a table of 1,000 rows."""
    small = mixed_table(1_000)
    per_row = small.memory_usage(deep=True, index=False).sum() // 1_000
    return int(per_row * n_rows + small.index.memory_usage(deep=True))


def apply_laplace_case(n_rows, epsilon=1.0):
    df_bytes = table_bytes(n_rows)

    def setup():
        privex = _quiet()
        df = mixed_table(n_rows)
        return {"df": df, "processor": privex.PrivexProcessor(epsilon=epsilon)}

    def ours(s):
        return s["processor"].apply_dp(s["df"], method="laplace")

    def baseline(s):
        return baseline_apply_laplace(s["df"], epsilon)

    def check(s):
        df = s["df"]
        # the size shown was worked out from a small table
        assert int(df.memory_usage(deep=True).sum()) == df_bytes
        before = df.copy()
        _assert_same_run(lambda: ours(s), lambda: baseline(s))
        pd.testing.assert_frame_equal(df, before, check_exact=True)

    return {
        "name": "privex apply_dp laplace",
        "size": f"{n_rows:,} x 20 ({_mib(df_bytes)})",
        "what": "14 float, 3 int, bool, 2 text",
        "setup": setup,
        "ours": ours,
        "baseline": baseline,
        "check": check,
        "repeat": 3,
    }


def cases(quick=False):
    yield categorical_case(100_000, 10_000)
    yield apply_laplace_case(200_000 if quick else 1_000_000)


def main():
    """The table's own memory and the peak of one apply_dp("laplace") run, as
    resident memory (what run.py reports) and as numpy's allocations traced by
    tracemalloc (which also counts memory the process reuses without growing;
    pyarrow's own allocations are not traced)."""
    import argparse
    import tracemalloc

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    privex = _quiet()
    n_rows = 200_000 if args.quick else 1_000_000
    df = mixed_table(n_rows)
    table = int(df.memory_usage(deep=True).sum())
    shallow = int(df.memory_usage(deep=False).sum())

    def status(field):
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return 0

    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    before = status("VmRSS:")
    out = privex.PrivexProcessor(random_state=SEED).apply_dp(df, method="laplace")
    resident = status("VmHWM:") - before
    del out
    tracemalloc.start()
    privex.PrivexProcessor(random_state=SEED).apply_dp(df, method="laplace")
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(
        f"table: {n_rows:,} x {df.shape[1]}; memory_usage(deep=True) {_mib(table)}"
        f" (without the objects the text cells point to: {_mib(shallow)})"
    )
    print(f"apply_dp laplace, resident peak above the table: {_mib(resident)} = {resident / table:.2f}x the table")
    print(f"apply_dp laplace, traced peak:                    {_mib(traced)} = {traced / table:.2f}x the table")


if __name__ == "__main__":
    main()
