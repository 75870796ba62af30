"""Side-by-side timing of our evaluation and a peer evaluator's quality report.

The peer is SDMetrics (its ``QualityReport``). It is never a dependency of
quorvix: install it in an environment of its own and point this script at
that interpreter:

    python3.13 -m venv /work/peer-venv
    /work/peer-venv/bin/pip install sdmetrics pyarrow
    QUORVIX_PEER_PYTHON=/work/peer-venv/bin/python make bench
    # or: .venv/bin/python benchmarks/bench_peer.py --peer-python /work/peer-venv/bin/python

Without a peer interpreter (neither ``--peer-python`` nor
``QUORVIX_PEER_PYTHON`` nor ``benchmarks/.peer-venv/bin/python``) only our
times are printed.

Both libraries read the same Parquet pair: 20 columns (12 numeric with
correlations between them, 8 categorical with 2 to 50 levels), 5 % missing
cells in every column; the synthetic table comes from the same recipe with
another seed and weaker correlations. Each timed run is a fresh process (the
libraries are imported before the clock starts), ours and the peer's
alternate, and the table shows the median of the rounds:

- "full suite": ``TabularEvaluator(random_seed=0).evaluate`` with the 16
  default metrics;
- "statistical": the same with ``metrics=["ks_complement",
  "total_variation", "pearson_correl_diff", "spearman_correl_diff"]``, the
  part that corresponds to what the peer's quality report computes (column
  shapes: KS and TV complements; column pairs: correlation similarity);
- "peer": ``QualityReport().generate(real, synthetic, metadata,
  verbose=False)``;
- "peak/tables": how far the full suite raised the process's resident memory
  (VmHWM, reset before the run) divided by the two tables' size in memory
  (``memory_usage(deep=True)``).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _proc import reset_peak, status_kib

HERE = Path(__file__).resolve().parent

N_NUMERIC = 12
CATEGORY_LEVELS = (2, 3, 5, 8, 12, 20, 35, 50)
MISSING = 0.05
STATISTICAL = ["ks_complement", "total_variation", "pearson_correl_diff", "spearman_correl_diff"]


def build_table(n_rows, seed, coupling=0.7):
    """12 correlated numeric and 8 categorical columns, 5 % missing cells."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    latent = rng.normal(size=(n_rows, 3))
    cols = {}
    for i in range(N_NUMERIC):
        f = latent[:, i % 3]
        x = coupling * f + np.sqrt(1 - coupling ** 2) * rng.normal(size=n_rows)
        if i % 4 == 1:
            x = np.exp(0.5 * x)  # skewed
        elif i % 4 == 2:
            x = np.round(20 + 5 * x)  # whole numbers
        cols[f"num_{i:02d}"] = x * (i + 1) + 3 * i
    from scipy.special import ndtr

    for j, levels in enumerate(CATEGORY_LEVELS):
        # skewed level frequencies, each column tied to a latent factor (so the
        # numeric columns predict it, as in a real table)
        weights = 1.0 / np.arange(1, levels + 1) ** 0.8
        cuts = np.cumsum(weights / weights.sum())[:-1]
        c = min(0.95, coupling + 0.25)
        u = ndtr(c * latent[:, j % 3] + np.sqrt(1 - c ** 2) * rng.normal(size=n_rows))
        codes = np.searchsorted(cuts, u)
        labels = np.array([f"c{j}_{k:02d}" for k in range(levels)], dtype=object)
        cols[f"cat_{j}"] = labels[codes]
    df = pd.DataFrame(cols)
    for c in df.columns:
        mask = rng.random(n_rows) < MISSING
        df[c] = df[c].where(~mask)
    return df


def parquet_pair(n_rows, folder):
    """Paths of the real and synthetic Parquet files for ``n_rows`` rows,
    written on first use."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    real_path = folder / f"real_{n_rows}.parquet"
    synth_path = folder / f"synthetic_{n_rows}.parquet"
    if not (real_path.exists() and synth_path.exists()):
        build_table(n_rows, 1).to_parquet(real_path, index=False)
        build_table(n_rows, 2, coupling=0.6).to_parquet(synth_path, index=False)
    return real_path, synth_path


# ---------------------------------------------------------------------------
# Workers (each runs in a fresh process)


def ours_worker(real_path, synth_path, what):
    import warnings

    import pandas as pd

    import bench_evaluator_cases

    from quorvix.tabular.evaluator import TabularEvaluator

    bench_evaluator_cases._warm_imports()
    warnings.simplefilter("ignore")
    real = pd.read_parquet(real_path)
    synth = pd.read_parquet(synth_path)
    metrics = STATISTICAL if what == "statistical" else None
    ev = TabularEvaluator(metrics=metrics, random_seed=0)
    table_bytes = int(real.memory_usage(deep=True).sum() + synth.memory_usage(deep=True).sum())
    before = status_kib("VmRSS")
    tracked = reset_peak()
    start = time.perf_counter()
    report = ev.evaluate(real, synth)
    seconds = time.perf_counter() - start
    peak = (status_kib("VmHWM") - before) * 1024 if tracked else None
    problem = None
    if what == "full":
        try:
            bench_evaluator_cases.check_report(report, n_columns=real.shape[1])
        except AssertionError as exc:  # shown beside the times: a faster but incomplete run
            problem = str(exc)
    return {"seconds": seconds, "peak_bytes": peak, "table_bytes": table_bytes,
            "n_results": len(report.aggregate_metrics) + len(report.privacy_metrics),
            "problem": problem}


PEER_SCRIPT = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore")
import pandas as pd
from sdmetrics.reports.single_table import QualityReport
real = pd.read_parquet(sys.argv[1])
synth = pd.read_parquet(sys.argv[2])
metadata = {"columns": {c: {"sdtype": "numerical" if c.startswith("num_") else "categorical"}
                        for c in real.columns}}
report = QualityReport()
start = time.perf_counter()
report.generate(real, synth, metadata, verbose=False)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "score": float(report.get_score())}))
"""


def default_data_folder():
    return os.path.join(tempfile.gettempdir(), "quorvix-bench")


def peer_python(explicit=None):
    for candidate in (explicit, os.environ.get("QUORVIX_PEER_PYTHON"),
                      str(HERE / ".peer-venv" / "bin" / "python")):
        if candidate and Path(candidate).exists():
            return candidate
    return None


def _run_json(cmd):
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd[:3]))} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _ours(real_path, synth_path, what):
    return _run_json([sys.executable, __file__, "--worker", what, str(real_path), str(synth_path)])


def _peer(python, real_path, synth_path):
    return _run_json([python, "-c", PEER_SCRIPT, str(real_path), str(synth_path)])


def _fmt(t):
    return "-" if t is None else (f"{t:.2f} s" if t >= 1 else f"{t * 1e3:.0f} ms")


def compare(sizes, rounds, peer, folder, log=sys.stderr):
    """Rows of the comparison table: one per table size."""
    rows = []
    for n in sizes:
        real_path, synth_path = parquet_pair(n, folder)
        full, stat, theirs, peaks, problems = [], [], [], [], set()
        for r in range(rounds):
            # alternate: ours, the peer's, ours, ...
            res = _ours(real_path, synth_path, "full")
            full.append(res["seconds"])
            if res["problem"]:
                problems.add(res["problem"])
            if res["peak_bytes"] is not None:
                peaks.append(res["peak_bytes"] / res["table_bytes"])
            stat.append(_ours(real_path, synth_path, "statistical")["seconds"])
            if peer:
                theirs.append(_peer(peer, real_path, synth_path)["seconds"])
            print(f"  {n:,} rows, round {r + 1}: full {full[-1]:.2f} s, statistical "
                  f"{stat[-1]:.2f} s" + (f", peer {theirs[-1]:.2f} s" if peer else ""),
                  file=log, flush=True)
        med = statistics.median
        rows.append({
            "rows": n, "full": med(full), "statistical": med(stat),
            "peer": med(theirs) if theirs else None,
            "peak_ratio": max(peaks) if peaks else None,
            "problems": sorted(problems),
        })
    return rows


def print_table(rows, rounds, peer):
    print(f"\ncomparison with the peer's QualityReport (machine: {os.cpu_count()} CPUs; "
          f"median of {rounds} alternating rounds; peer: {peer or 'not installed'})")
    header = ("rows", "full suite", "statistical", "peer", "peer/full", "peer/statistical",
              "peak/tables")
    table = [header]
    for r in rows:
        p = r["peer"]
        table.append((
            f"{r['rows']:,}", _fmt(r["full"]), _fmt(r["statistical"]), _fmt(p),
            f"{p / r['full']:.1f}x" if p else "-",
            f"{p / r['statistical']:.1f}x" if p else "-",
            f"{r['peak_ratio']:.2f}x" if r["peak_ratio"] is not None else "-",
        ))
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for k, row in enumerate(table):
        print("  ".join(x.ljust(w) for x, w in zip(row, widths)))
        if k == 0:
            print("-" * (sum(widths) + 2 * (len(widths) - 1)))
    for r in rows:
        for problem in r["problems"]:
            print(f"WARNING: {r['rows']:,} rows, full suite incomplete: {problem}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="100000,1000000",
                        help="comma-separated table sizes (default 100000,1000000)")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds (median)")
    parser.add_argument("--peer-python", help="interpreter that has sdmetrics installed")
    parser.add_argument("--data", default=default_data_folder(),
                        help="folder for the Parquet pairs (kept between runs)")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        sys.path.insert(0, str(HERE))
        what, real_path, synth_path = args.worker
        print(json.dumps(ours_worker(real_path, synth_path, what)))
        return 0
    sizes = [int(x) for x in args.rows.split(",") if x]
    peer = peer_python(args.peer_python)
    rows = compare(sizes, args.rounds, peer, args.data)
    print_table(rows, args.rounds, peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
