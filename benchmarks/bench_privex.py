"""Time the categorical noise pass of privex on a wide-vocabulary column.

Builds a table whose one text column holds --distinct values over --rows rows
(every value present, skewed frequencies) and times
PrivexProcessor._apply_categorical_dp on it against the baseline it replaces:
the whole pass written plainly with pandas/numpy (value_counts, a Python loop
with one scalar np.random.laplace draw per distinct value, dicts of noisy
counts and probabilities, np.random.choice over the values, the column
assignment). Both run from the same seed first and must give the same table
and leave numpy's random state the same. Timings are the best and the median
of --repeat runs each; on a shared machine compare medians.

    PYTHONPATH=src python benchmarks/bench_privex.py [--rows N] [--distinct K] [--repeat R]

benchmarks/run.py runs the same comparison (and apply_dp on a large table)
among the other native modules' cases.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_privex_cases import _quiet, baseline_categorical, wide_vocabulary_table  # noqa: E402


def timings(repeat: int, fn) -> list[float]:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--distinct", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--epsilon", type=float, default=1.0)
    args = parser.parse_args()

    privex = _quiet()
    df = wide_vocabulary_table(args.rows, args.distinct, args.seed)
    processor = privex.PrivexProcessor(epsilon=args.epsilon)

    def ours():
        return processor._apply_categorical_dp(df, ["code"])

    def baseline():
        return baseline_categorical(df, ["code"], args.epsilon)

    np.random.seed(args.seed)
    got = ours()
    state = np.random.get_state()
    np.random.seed(args.seed)
    expected = baseline()
    after = np.random.get_state()
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert (state[1] == after[1]).all() and state[2:] == after[2:]

    base = timings(args.repeat, baseline)
    native = timings(args.repeat, ours)
    print(f"table: {len(df):,} rows, {df['code'].nunique():,} distinct values; {args.repeat} runs each")
    print("results: identical (values, dtype, random state afterwards)")
    print(f"{'':34}{'best':>10}{'median':>10}")
    print(f"{'baseline, the plain pandas pass':34}{min(base) * 1e3:8.2f}ms{statistics.median(base) * 1e3:8.2f}ms")
    print(f"{'categorical pass (native)':34}{min(native) * 1e3:8.2f}ms{statistics.median(native) * 1e3:8.2f}ms")
    print(f"{'speed-up':34}{min(base) / min(native):9.1f}x{statistics.median(base) / statistics.median(native):9.1f}x")


if __name__ == "__main__":
    main()
