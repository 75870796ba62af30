"""Benchmarks of the native modules against the plain pandas/numpy way and
of the evaluation against a peer evaluator.

    python benchmarks/run.py [--quick] [--only SUBSTRING] [--repeat N]
                             [--peer-python PATH] [--skip-evaluation]

Prints one table: operation, table size, rules/columns, our time (median of
several runs), the baseline's time measured in the same run, their ratio, for
some cases a floor (a hand-written one-pass vectorised version of the same
work) with how many times slower than it we are, and
how far the operation raised the process's resident memory at its peak
(first run, above what the process held after building its inputs). Every case runs in a fresh subprocess so
that peak memory (VmHWM, reset before the operation) belongs to it alone.
Baselines compute the same results: each case checks that ours and the
baseline agree before anything is timed.

Then the cost of bootstrap intervals (an evaluation with 500 resamples
against the same evaluation without) and the comparison with the peer's
quality report on 100,000 and 1,000,000 rows (``bench_peer.py``; the peer's
times are shown when it is installed in an environment of its own, see that
file). ``--only bootstrap`` or ``--only peer`` runs just that part.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _proc import print_table, reset_peak, status_kib  # noqa: E402


def cases(quick=False):
    import bench_rules

    found = list(bench_rules.cases(quick))
    try:
        import bench_privex_cases
    except ImportError:
        pass
    else:
        found += list(bench_privex_cases.cases(quick))
    try:
        import bench_evaluator_cases
    except ImportError:
        pass
    else:
        found += list(bench_evaluator_cases.cases(quick))
    return found


def _median_time(fn, state, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn(state)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def run_case(name, quick, repeat):
    case = next(c for c in cases(quick) if c["name"] == name)
    state = case["setup"]()
    # Peak memory of the first run of ours: how far resident memory rose above
    # what the process held after building the inputs.
    before = status_kib("VmRSS")
    peak = None
    if reset_peak():
        case["ours"](state)
        peak = max(status_kib("VmHWM") - before, 0)
    if case.get("check"):
        case["check"](state)
    ours = _median_time(case["ours"], state, case.get("repeat", repeat))
    base = _median_time(case["baseline"], state, case.get("repeat", repeat)) if case.get("baseline") else None
    floor = _median_time(case["floor"], state, case.get("repeat", repeat)) if case.get("floor") else None
    return {"ours": ours, "baseline": base, "floor": floor, "peak_kib": peak, "note": case.get("note", "")}


def _fmt_time(t):
    if t is None:
        return "-"
    if t < 1e-3:
        return f"{t * 1e6:.0f} us"
    if t < 1:
        return f"{t * 1e3:.1f} ms"
    return f"{t:.2f} s"


def main():
    parser = argparse.ArgumentParser(description="Benchmarks of the native modules.")
    parser.add_argument("--quick", action="store_true", help="smaller tables, fewer repeats")
    parser.add_argument("--only", default="", help="run the cases whose name contains this")
    parser.add_argument("--repeat", type=int, default=7, help="runs per measurement (median)")
    parser.add_argument("--peer-python", help="interpreter with the peer (sdmetrics) installed; "
                        "default $QUORVIX_PEER_PYTHON or benchmarks/.peer-venv/bin/python")
    parser.add_argument("--skip-evaluation", action="store_true",
                        help="leave out the bootstrap cost and the comparison with the peer")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--bootstrap", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(args.case, args.quick, args.repeat)))
        return 0
    if args.bootstrap:
        import bench_evaluator_cases

        print(json.dumps(bench_evaluator_cases.bootstrap_cost(args.quick)))
        return 0

    rows = []
    print(f"machine: {os.cpu_count()} CPUs; Python {sys.version.split()[0]}", flush=True)
    for case in cases(args.quick):
        if args.only not in case["name"]:
            continue
        cmd = [sys.executable, __file__, "--case", case["name"], "--repeat", str(args.repeat)]
        if args.quick:
            cmd.append("--quick")
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"{case['name']}: FAILED\n{proc.stderr}", file=sys.stderr)
            return 1
        r = json.loads(proc.stdout.strip().splitlines()[-1])
        ratio = f"{r['baseline'] / r['ours']:.1f}x" if r["baseline"] else "-"
        peak = f"{r['peak_kib'] / 1024:.1f} MiB" if r["peak_kib"] is not None else "-"
        floor = r.get("floor")
        vs_floor = f"{r['ours'] / floor:.2f}x" if floor else "-"
        rows.append(
            (case["name"], case["size"], case["what"], _fmt_time(r["ours"]), _fmt_time(r["baseline"]), ratio,
             _fmt_time(floor), vs_floor, peak)
        )
        print(f"  done: {case['name']} {case['size']}", file=sys.stderr, flush=True)

    extra = []
    if not args.skip_evaluation and args.only in ("", "bootstrap"):
        print("  bootstrap cost ...", file=sys.stderr, flush=True)
        proc = subprocess.run([sys.executable, __file__, "--bootstrap"]
                              + (["--quick"] if args.quick else []),
                              capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"bootstrap cost: FAILED\n{proc.stderr}", file=sys.stderr)
            return 1
        without, with_ci = json.loads(proc.stdout.strip().splitlines()[-1])
        extra.append(f"bootstrap intervals, 500 resamples ({'10,000' if args.quick else '50,000'} rows x 10 "
                     f"numeric, KS + Wasserstein): {_fmt_time(with_ci)} against "
                     f"{_fmt_time(without)} without, {with_ci / without:.1f}x the cost "
                     f"(median of 3 alternating rounds)")

    # floor: a hand-written one-pass vectorised version of the same work, where a
    # case has one; "ours/floor" is how many times slower than it we are.
    header = ("operation", "table", "rules/columns", "ours (median)", "baseline", "ratio", "floor", "ours/floor",
              "peak memory")
    if rows:
        print_table(header, rows)
    for line in extra:
        print(line)

    if not args.skip_evaluation and args.only in ("", "peer"):
        import bench_peer

        peer = bench_peer.peer_python(args.peer_python)
        sizes = [20_000] if args.quick else [100_000, 1_000_000]
        rounds = 1 if args.quick else 3
        table = bench_peer.compare(sizes, rounds, peer, bench_peer.default_data_folder())
        bench_peer.print_table(table, rounds, peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
