"""Evaluation cases for benchmarks/run.py, and a per-metric timing table.

The tables are those of ``bench_metrics.py``: 100,000 rows x 20 columns
(eight correlated floats, a log-normal income, integers, a boolean, a pandas
category, a string-dtype column, object/str text columns, about 5 % missing
values in five columns) and a perturbed copy standing in for synthetic data
(resampled rows, numeric noise, 5 % of labels swapped).

Cases for ``run.py``:

- "evaluate default suite": ``TabularEvaluator(random_seed=0).evaluate`` with
  the 16 default metric names. There is no baseline column: no other code
  computes this suite, and calling the metric classes directly instead of
  through the evaluator would only measure the evaluator's dispatch, which is
  negligible next to the metrics.
- "to_html with plots": ``to_html`` of that report with both tables, so the
  distribution and correlation figures are drawn and embedded.

Run on its own, the script prints how long every metric takes alone
(``TabularEvaluator(metrics=[name]).evaluate``), the bootstrap step with a
stated ``n_bootstrap``, ``to_html`` with plots and the whole default suite,
each the median of ``--repeat`` runs:

    python benchmarks/bench_evaluator_cases.py [--quick] [--rows N] [--repeat R]
                                               [--n-bootstrap B] [--only TEXT]

Timings on a shared machine are noisy; compare medians, not single runs.
Each timed evaluation gets fresh copies of the two tables (the copying, a few
milliseconds, is part of the time), so nothing one run computed about a
table can be reused by the next: metrics of one evaluation share work on
the same table objects (``quorvix.evaluation.metrics._shared``), and timing
the same objects again would measure that sharing across runs instead.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from bench_metrics import build_table, perturb  # noqa: E402

FULL_ROWS = 100_000
QUICK_ROWS = 20_000
SEED = 0


def _warm_imports():
    # load the heavy libraries first so that no timing includes their import
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401
    import scipy.special  # noqa: F401
    import scipy.stats  # noqa: F401
    import sklearn.ensemble  # noqa: F401
    import sklearn.metrics  # noqa: F401

    import quorvix.evaluation.metrics.similarity  # noqa: F401
    import quorvix.evaluation.metrics.utility  # noqa: F401
    import quorvix.tabular.evaluator.metrics.fidelity.alpha_precision  # noqa: F401
    import quorvix.tabular.evaluator.metrics.fidelity.beta_recall  # noqa: F401
    import quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak  # noqa: F401
    import quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record  # noqa: F401
    import quorvix.tabular.evaluator.metrics.privacy.membership_inference  # noqa: F401
    import quorvix.tabular.evaluator.metrics.statistical.ks_complement  # noqa: F401
    import quorvix.tabular.evaluator.metrics.utility.tstr  # noqa: F401
    import quorvix.utils.bootstrap  # noqa: F401


def make_tables(n_rows):
    real = build_table(n_rows, SEED)
    return real, perturb(real, SEED + 1)


# Names every default run must produce on these tables (ks_complement and the
# frequency scores come per column and are checked by prefix).
EXPECTED_SINGLE = (
    "pearson_correl_diff", "spearman_correl_diff", "correlation_matrix_distance",
    "mmd_rbf", "prediction_agreement", "alpha_precision", "beta_recall",
    "likelihood_leak", "tstr_normalized",
)
EXPECTED_PREFIX = ("ks_complement_", "wasserstein_", "total_variation_", "hellinger_",
                   "jensen_shannon_")


def check_report(report, n_columns=20):
    agg = report.aggregate_metrics
    for name in EXPECTED_SINGLE:
        assert name in agg, f"{name} missing from the report"
    for prefix in EXPECTED_PREFIX:
        assert any(k.startswith(prefix) for k in agg), f"no {prefix}* result"
    assert sum(k.startswith("total_variation_") for k in agg) == n_columns
    for name in ("membership_inference_auc", "distance_to_closest_record"):
        assert name in report.privacy_metrics, f"{name} missing from the report"
    for res in list(agg.values()) + list(report.privacy_metrics.values()):
        assert math.isfinite(float(res.value)), f"{res.name} is not finite"


def check_html(html):
    # 10 distribution figures and one heatmap, all embedded as PNG
    n_png = html.count("data:image/png;base64,")
    assert n_png == 11, f"expected 11 embedded figures, found {n_png}"
    assert "alpha_precision" in html and "tstr_normalized" in html


def cases(quick=False):
    n = QUICK_ROWS if quick else FULL_ROWS
    size = f"{n:,} x 20"

    def setup_evaluate():
        from quorvix.tabular.evaluator import TabularEvaluator

        _warm_imports()
        real, synth = make_tables(n)
        return {"real": real, "synth": synth, "ev": TabularEvaluator(random_seed=0)}

    def run_evaluate(state):
        # fresh copies: a run must not profit from what an earlier run
        # computed about the same table objects
        state["report"] = state["ev"].evaluate(state["real"].copy(), state["synth"].copy())

    def setup_html():
        state = setup_evaluate()
        state["report"] = state["ev"].evaluate(state["real"], state["synth"])
        return state

    def run_html(state):
        state["html"] = state["ev"].to_html(state["report"], None, state["real"], state["synth"])

    yield {
        "name": "evaluate default suite",
        "size": size,
        "what": "16 default metrics, mixed dtypes, 5 % missing",
        "setup": setup_evaluate,
        "ours": run_evaluate,
        "check": lambda s: check_report(s["report"]),
        "repeat": 3,
    }
    yield {
        "name": "to_html with plots",
        "size": size,
        "what": "report of the default suite, 10 histograms + heatmap",
        "setup": setup_html,
        "ours": run_html,
        "check": lambda s: check_html(s["html"]),
        "repeat": 3,
    }


# ---------------------------------------------------------------------------
# Cost of the bootstrap intervals


def bootstrap_cost(quick=False, rounds=3, n_boot=500):
    """Median seconds of an evaluation of KS and Wasserstein on 50,000 rows x
    10 numeric columns without intervals and with ``n_boot`` resamples, in
    alternating rounds; returns (without, with)."""
    import numpy as np
    import pandas as pd

    from quorvix.tabular.evaluator import TabularEvaluator

    _warm_imports()
    n = 10_000 if quick else 50_000
    rng = np.random.default_rng(SEED)
    base = rng.normal(size=(n, 1))
    real = pd.DataFrame(0.5 * base + rng.normal(size=(n, 10)),
                        columns=[f"x{i}" for i in range(10)])
    synth = pd.DataFrame(0.4 * rng.normal(size=(n, 1)) + rng.normal(0.05, 1.1, size=(n, 10)),
                         columns=real.columns)
    metrics = ["ks_complement", "wasserstein"]
    plain = TabularEvaluator(metrics=metrics, random_seed=0)
    boot = TabularEvaluator(metrics=metrics, random_seed=0, compute_bootstrap_ci=True,
                            n_bootstrap=n_boot)
    boot.evaluate(real.iloc[:200], synth.iloc[:200])  # first-call costs
    without, with_ci = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        plain.evaluate(real.copy(), synth.copy())
        without.append(time.perf_counter() - start)
        start = time.perf_counter()
        report = boot.evaluate(real.copy(), synth.copy())
        with_ci.append(time.perf_counter() - start)
        ci = report.aggregate_metrics["ks_complement_x0"].confidence_interval
        assert ci is not None and ci[0] <= ci[1], "no bootstrap interval"
    return statistics.median(without), statistics.median(with_ci)


# ---------------------------------------------------------------------------
# Per-metric table
# ---------------------------------------------------------------------------


def _median(fn, repeat):
    times, out = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def _summary(report):
    results = list(report.aggregate_metrics.values()) + list(report.privacy_metrics.values())
    if not results:
        return "no result"
    if len(results) == 1:
        return f"{results[0].name} = {float(results[0].value):.4f}"
    values = [float(r.value) for r in results]
    return f"{len(values)} results, mean {statistics.fmean(values):.4f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Time every metric of the default suite.")
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK_ROWS:,} rows, one run each, 5 bootstrap resamples")
    parser.add_argument("--rows", type=int, help=f"table rows (default {FULL_ROWS:,})")
    parser.add_argument("--repeat", type=int, help="runs per measurement (median); default 3")
    parser.add_argument("--n-bootstrap", type=int, help="resamples for the bootstrap step; default 20")
    parser.add_argument("--only", default="", help="time only the steps whose label contains this")
    args = parser.parse_args(argv)
    rows = args.rows or (QUICK_ROWS if args.quick else FULL_ROWS)
    repeat = args.repeat or (1 if args.quick else 3)
    n_boot = args.n_bootstrap or (5 if args.quick else 20)

    from quorvix.tabular.evaluator import TabularEvaluator

    _warm_imports()
    t0 = time.perf_counter()
    real, synth = make_tables(rows)
    print(f"machine: {os.cpu_count()} CPUs; Python {sys.version.split()[0]}; "
          f"tables {real.shape[0]:,} x {real.shape[1]} built in {time.perf_counter() - t0:.1f} s; "
          f"median of {repeat} run(s)", flush=True)
    # one small run so that first-call costs (lazy imports, caches of the
    # libraries) land on no metric
    TabularEvaluator(random_seed=0).evaluate(real.iloc[:500], synth.iloc[:500])

    rows_out = []

    def record(label, fn):
        if args.only not in label:
            return 0.0
        seconds, detail = _median(fn, repeat)
        rows_out.append((label, seconds, detail))
        print(f"  {label:<34} {seconds:8.2f} s  {detail}", file=sys.stderr, flush=True)
        return seconds

    def alone(name):
        ev = TabularEvaluator(metrics=[name], random_seed=0)
        return lambda: _summary(ev.evaluate(real.copy(), synth.copy()))

    per_metric = 0.0
    for name in TabularEvaluator.DEFAULT_METRICS:
        per_metric += record(name, alone(name))

    boot_label = f"bootstrap step, n_bootstrap={n_boot}"
    html_label = "to_html with plots"
    report = None
    if args.only in boot_label or args.only in html_label:
        report = TabularEvaluator(random_seed=0).evaluate(real, synth)

    def boot():
        ev = TabularEvaluator(random_seed=0, n_bootstrap=n_boot)
        ev._attach_bootstrap_cis(report, real.copy(), synth.copy())
        ci = report.aggregate_metrics[next(k for k in report.aggregate_metrics
                                           if k.startswith("ks"))].confidence_interval
        return f"KS interval {ci[0]:.4f} .. {ci[1]:.4f}" if ci else "no interval"

    boot_s = record(boot_label, boot)

    def html():
        doc = TabularEvaluator().to_html(report, None, real, synth)
        return f"{len(doc) / 1e6:.2f} MB, {doc.count('data:image/png;base64,')} figures"

    record(html_label, html)

    def full():
        rep = TabularEvaluator(random_seed=0).evaluate(real.copy(), synth.copy())
        check_report(rep)
        return f"{_summary(rep)}; evaluation_time_seconds {rep.evaluation_time_seconds:.2f}"

    record("evaluate, whole default suite", full)

    if not rows_out:
        print("no step matches --only")
        return 1
    width = max(len(r[0]) for r in rows_out)
    print(f"\n{'step':<{width}}  {'seconds':>8}  result")
    print("-" * (width + 60))
    for label, seconds, detail in rows_out:
        print(f"{label:<{width}}  {seconds:8.2f}  {detail}")
    print("-" * (width + 60))
    if per_metric:
        print(f"{'sum of the metrics run alone':<{width}}  {per_metric:8.2f}")
    if boot_s:
        print(f"{'bootstrap, per resample':<{width}}  {boot_s / (n_boot + 1):8.3f}  "
              "(the statistic runs n_bootstrap + 1 times)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
