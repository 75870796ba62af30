"""quorvix.dask on a table larger than one comfortable pandas frame.

    python benchmarks/bench_dask.py [--data DIR] [--files 40] [--rows 500000]

Writes (once) ``--files`` Parquet files of ``--rows`` rows x 20 columns into
DIR (default: quorvix-dask-bench in the temporary folder, outside the repository), then
measures, each in a fresh subprocess:

- the plain single-process loop: read the files one by one with pandas and
  validate each with the native engine (counts added up, labels merged);
- ``quorvix.dask.validate`` of the same 20 rules over
  ``quorvix.dask.read_parquet`` of the folder (Dask's local threaded
  scheduler, the same with one thread, and a distributed LocalCluster of two
  worker processes), and over Dask's own ``dd.read_parquet``;
- for comparison, the same loop reading each file with the reader behind
  ``quorvix.dask.read_parquet`` (column by column), which shows what the
  reader saves and what Dask itself adds;
- ``quorvix.dask.apply_privex`` (Laplace) written back to Parquet;
- the statistical part of ``quorvix.dask.evaluate`` (KS, Wasserstein, TV,
  Hellinger, JS, Pearson, correlation matrix) of the table against its noisy
  copy.

For each: wall time, rows/s and peak resident memory of the driver plus the
workers (VmHWM, reset before the run, minus what each process held before,
after importing the libraries), next to the table's in-memory size. Results are checked: the Dask report must
equal the loop's. Run it with ``make bench-dask``; it is not part of the
everyday ``make bench`` because it writes about 3 GB and takes minutes.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import tempfile
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _proc import print_table, reset_peak, status_kib  # noqa: E402

N_COLS = 20
N_RULES = 20
STATISTICAL = ["ks_complement", "wasserstein", "total_variation", "hellinger",
               "jensen_shannon", "pearson_correl_diff", "correlation_matrix_distance"]


def _reset_peak():
    if not reset_peak():
        raise OSError("cannot reset the peak resident size (/proc/self/clear_refs)")
    return status_kib("VmRSS")


def _peak_above(before):
    return max(status_kib("VmHWM") - before, 0)


def generate(folder: Path, files: int, rows: int) -> None:
    import numpy as np
    import pandas as pd

    from bench_rules import _table

    marker = folder / "DONE.json"
    spec = {"files": files, "rows": rows, "cols": N_COLS}
    if marker.exists() and json.loads(marker.read_text()) == spec:
        return
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("*.parquet"):
        old.unlink()
    for i in range(files):
        df = _table(rows, N_COLS, seed=i)
        df.index = pd.RangeIndex(i * rows, (i + 1) * rows, name="row_id")
        df.to_parquet(folder / f"part-{i:03d}.parquet", index=True)
        print(f"  wrote {i + 1}/{files}", file=sys.stderr, flush=True)
    marker.write_text(json.dumps(spec))


def _engine():
    from bench_rules import simple_rules
    from quorvix.tabular.rulix import Rulix

    engine = Rulix()
    for rule in simple_rules(N_RULES):
        engine.add_rule(rule)
    return engine


def _files(folder):
    return sorted(str(p) for p in Path(folder).glob("*.parquet"))


def _summary(report):
    return {"violations": report.violations, "total": report.total_violations,
            "rate": report.violation_rate, "n_labels": len(report.violating_rows),
            "labels_head": report.violating_rows[:5].tolist(),
            "labels_tail": report.violating_rows[-5:].tolist()}


def case_loop(folder, read=None):
    import numpy as np
    import pandas as pd

    read = read or pd.read_parquet
    engine = _engine()
    n_rows = 0
    counts = {}
    labels = []
    for path in _files(folder):
        df = read(path)
        report = engine.validate(df)
        n_rows += len(df)
        for rule, count in report.violations.items():
            counts[rule] = counts.get(rule, 0) + count
        labels.append(report.violating_rows.to_numpy())
    index = pd.Index(np.unique(np.concatenate(labels)))
    return n_rows, {"violations": counts, "total": sum(counts.values()),
                    "rate": len(index) / n_rows, "n_labels": len(index),
                    "labels_head": index[:5].tolist(), "labels_tail": index[-5:].tolist()}


def case_loop_by_column(folder):
    from quorvix.dask import _read_parquet_file

    return case_loop(folder, _read_parquet_file)


def _read(folder):
    import quorvix.dask as qd

    return qd.read_parquet(folder)


def case_validate(folder):
    import quorvix.dask as qd

    report = qd.validate(_engine(), _read(folder))
    return None, _summary(report)


def case_validate_dask_reader(folder):
    import dask.dataframe as dd

    import quorvix.dask as qd

    report = qd.validate(_engine(), dd.read_parquet(str(Path(folder) / "*.parquet")))
    return None, _summary(report)


def case_privatize(folder):
    import shutil

    import quorvix.dask as qd

    out = Path(folder).parent / (Path(folder).name + "-noisy")
    shutil.rmtree(out, ignore_errors=True)
    ddf = _read(folder)
    noisy = qd.apply_privex(ddf, epsilon=1.0, method="laplace", random_state=1)
    noisy.to_parquet(str(out), write_index=True)
    return None, {"written": str(out)}


def case_evaluate(folder):
    import quorvix.dask as qd

    noisy = Path(folder).parent / (Path(folder).name + "-noisy")
    real = _read(folder)
    synth = _read(noisy)
    report = qd.evaluate(real, synth, metrics=list(STATISTICAL), random_seed=0)
    values = [r.value for r in report.aggregate_metrics.values()]
    return None, {"n_metrics": len(values), "mean": sum(values) / len(values)}


CASES = {"loop": case_loop, "loop-by-column": case_loop_by_column, "validate": case_validate,
         "validate-dask-reader": case_validate_dask_reader, "privatize": case_privatize,
         "evaluate": case_evaluate}


def _worker_peaks_reset():
    return _reset_peak()


def _worker_peak(before_by_worker, dask_worker=None):
    return _peak_above(before_by_worker[dask_worker.address])


def _warm_up():
    """Import what the cases use, so that the peaks measure the work and not
    the libraries' import (as benchmarks/run.py measures memory added)."""
    import dask.dataframe  # noqa: F401
    import pyarrow.parquet  # noqa: F401

    import quorvix.dask  # noqa: F401
    from quorvix.core_generator import privex  # noqa: F401
    from quorvix.evaluation.metrics import similarity  # noqa: F401
    from quorvix.tabular import rulix  # noqa: F401
    from quorvix.tabular.evaluator import evaluator  # noqa: F401


def run_case(name, folder, scheduler):
    _warm_up()
    if scheduler == "cluster":
        import warnings

        from distributed import Client, LocalCluster

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   dashboard_address=None, silence_logs=40)
            client = Client(cluster)
        client.run(_warm_up)
        before_workers = client.run(_worker_peaks_reset)
    config = {"num_workers": 1} if scheduler == "one-thread" else {}
    import dask

    before = _reset_peak()
    start = time.perf_counter()
    with dask.config.set(config):
        n_rows, result = CASES[name](folder)
    wall = time.perf_counter() - start
    peak = _peak_above(before)
    worker_peaks = {}
    if scheduler == "cluster":
        worker_peaks = client.run(_worker_peak, before_workers)
        client.close()
        cluster.close()
    return {"wall": wall, "driver_peak_kib": peak,
            "worker_peak_kib": sum(worker_peaks.values()), "result": result}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "quorvix-dask-bench"))
    parser.add_argument("--files", type=int, default=40)
    parser.add_argument("--rows", type=int, default=500_000)
    parser.add_argument("--only", default="")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--scheduler", default="threads", help=argparse.SUPPRESS)
    args = parser.parse_args()
    folder = Path(args.data)
    if args.case:
        print(json.dumps(run_case(args.case, folder, args.scheduler), default=str))
        return 0

    generate(folder, args.files, args.rows)
    import pandas as pd

    one = pd.read_parquet(_files(folder)[0])
    table_bytes = int(one.memory_usage(deep=True).sum()) * args.files
    n_rows = args.files * args.rows
    print(f"machine: {os.cpu_count()} CPUs; Python {sys.version.split()[0]}; "
          f"table {n_rows:,} rows x {N_COLS} columns from {args.files} Parquet files, "
          f"{table_bytes / 2**20:,.0f} MiB in memory; {N_RULES} rules", flush=True)

    plan = [("loop", "threads", "validate: single-process loop (pandas + native engine)"),
            ("validate", "threads", "validate: quorvix.dask, local threaded scheduler"),
            ("validate", "one-thread", "validate: quorvix.dask, local scheduler, 1 thread"),
            ("validate", "cluster", "validate: quorvix.dask, LocalCluster 2 processes"),
            ("validate-dask-reader", "threads",
             "validate: quorvix.dask over dd.read_parquet, threaded"),
            ("loop-by-column", "threads",
             "validate: single-process loop, files read column by column"),
            ("privatize", "threads", "apply_privex laplace -> Parquet, threaded"),
            ("evaluate", "threads", "evaluate, statistical metrics (7), threaded")]
    rows = []
    results = {}
    for name, scheduler, label in plan:
        if args.only and args.only not in label:
            continue
        cmd = [sys.executable, __file__, "--case", name, "--scheduler", scheduler,
               "--data", str(folder)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"{label}: FAILED\n{proc.stderr}", file=sys.stderr)
            return 1
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        results[(name, scheduler)] = r
        peak = (r["driver_peak_kib"] + r["worker_peak_kib"]) * 1024
        rows.append((label, f"{r['wall']:.1f} s", f"{n_rows / r['wall'] / 1e6:.2f} M rows/s",
                     f"{peak / 2**20:,.0f} MiB", f"{peak / table_bytes:.1%}"))
        print(f"  done: {label}", file=sys.stderr, flush=True)

    loop = results.get(("loop", "threads"))
    for key in (("validate", "threads"), ("validate", "one-thread"), ("validate", "cluster"),
                ("validate-dask-reader", "threads"), ("loop-by-column", "threads")):
        if loop and key in results:
            if results[key]["result"] != loop["result"]:
                print(f"MISMATCH: {key} report differs from the loop's", file=sys.stderr)
                return 1
            rows.append((f"  ratio {key[0]}/{key[1]} to the loop",
                         f"{results[key]['wall'] / loop['wall']:.2f}x", "", "", ""))

    header = ("operation", "wall", "throughput", "peak memory (driver+workers)",
              "of table")
    print_table(header, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
