"""Time the categorical noise pass of privex on a wide-vocabulary column.

Builds a 100,000-row table whose one text column holds 10,000 distinct values
and times PrivexProcessor._apply_categorical_dp on it. For comparison the same
run times the baseline the pass replaces: one scalar np.random.laplace draw per
distinct value (the draws alone, nothing else), measured on the same machine in
the same process.

    PYTHONPATH=src python benchmarks/bench_privex.py [--rows N] [--distinct K] [--repeat R]
"""

from __future__ import annotations

import argparse
import logging
import time

import numpy as np
import pandas as pd


def build_table(n_rows: int, n_distinct: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    vocab = np.array([f"v{j:05d}" for j in range(n_distinct)], dtype=object)
    # every value appears at least once, the rest follow a skewed distribution
    rest = rng.zipf(1.3, n_rows - n_distinct) % n_distinct
    codes = np.concatenate([np.arange(n_distinct), rest])
    rng.shuffle(codes)
    return pd.DataFrame({"code": vocab[codes]})


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--distinct", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    from quorvix.core_generator import privex

    logging.getLogger(privex.__name__).setLevel(logging.WARNING)
    df = build_table(args.rows, args.distinct, args.seed)
    n_values = df["code"].nunique()
    processor = privex.PrivexProcessor(epsilon=1.0, random_state=args.seed)

    def scalar_draws() -> None:
        for _ in range(n_values):
            np.random.laplace(0, 1.0)

    def categorical_pass() -> None:
        processor._apply_categorical_dp(df, ["code"])

    baseline = best_of(args.repeat, scalar_draws)
    native = best_of(args.repeat, categorical_pass)
    print(f"table: {len(df):,} rows, {n_values:,} distinct values; best of {args.repeat}")
    print(f"baseline, {n_values:,} scalar Laplace draws: {baseline * 1e3:9.2f} ms")
    print(f"categorical pass (whole column):     {native * 1e3:9.2f} ms")
    print(f"pass / baseline:                     {native / baseline:9.2f}")


if __name__ == "__main__":
    main()
