"""The fault-injection battery: every public entry point and method of the
three native modules, called on inputs that raise, return wrong types, or
mutate the containers and tables being walked at their k-th attribute read,
item read, iteration step, comparison, hash or truth test (support.faults).

For each entry point a first, disarmed run counts the events of each kind;
then, for every kind that occurs and every mode, the call is repeated on
fresh inputs with the fault at k = 1, 2, ...: every k up to FIRST, then
SAMPLED more spread evenly up to the last event (the first and the last k
only, for the SLOW entry points), or every k with QUORVIX_BATTERY_FULL=1.

Every run must end with a result or an exception. A SystemError counts as a
fault of ours (a native function that failed without setting an error, or
the like). Run as a program (`python -m support.battery GROUP [START]`), it
prints one line per run before making it, so that the parent knows where a
child killed by a signal died, and a JSON summary at the end.
"""

import json
import logging
import math
import os
import sys
import tempfile
import warnings

import numpy as np
import pandas as pd

from support import faults
from support.faults import HDict, HFloat, HFrame, HList, HObject, HSeries, HStr, Injected, orphan

FIRST = 4
SAMPLED = 4
# Entry points that draw figures, resample or fsync a file take from a tenth to
# half a second a call: only the first and the last event of each kind are
# tried. (to_html hands its tables to _generate_plot_html untouched; the plots
# are tried through that entry point.)
SLOW = {
    "TabularEvaluator._attach_bootstrap_cis",
    "TabularEvaluator.to_html (file)",
    "TabularEvaluator._generate_plot_html",
}


def ks_for(n, slow=False):
    if os.environ.get("QUORVIX_BATTERY_FULL") == "1":
        return list(range(1, n + 1))
    if slow:
        return sorted({1, n}) if n else []
    ks = set(range(1, min(n, FIRST) + 1))
    if n > FIRST:
        for i in range(1, SAMPLED + 1):
            ks.add(FIRST + math.ceil((n - FIRST) * i / SAMPLED))
    return sorted(ks)


# ---------------------------------------------------------------------------
# Inputs


def table(rows=12):
    rng = np.random.default_rng(7)
    x = rng.normal(size=rows)
    x[1] = np.nan
    return HFrame(
        {
            HStr("x"): x,
            HStr("n"): rng.integers(0, 5, rows),
            HStr("c"): [["a", "b", "c"][i % 3] for i in range(rows)],
            HStr("b"): [i % 2 == 0 for i in range(rows)],
        }
    )


def shrink(*tables):
    """Drop half the rows and the last column of each table, in place."""

    def mutate():
        for df in tables:
            if len(df.index) > 1:
                df.drop(index=df.index[len(df.index) // 2 :], inplace=True)
            if len(df.columns) > 1:
                df.drop(columns=df.columns[-1:], inplace=True)

    return mutate


def emptied(*containers, then=None):
    def mutate():
        for c in containers:
            c.clear()
        if then is not None:
            then()

    return mutate


# ---------------------------------------------------------------------------
# Entry points: each returns (call, mutate) on fresh inputs.


def privex_module():
    from quorvix.core_generator import privex

    return privex


def processor():
    p = privex_module().PrivexProcessor(random_state=0)
    p.epsilon = HFloat(1.0)
    p.delta = HFloat(1e-5)
    p.noise_scale = HFloat(0.1)
    p.categorical_noise_prob = HFloat(0.3)
    p.numerical_noise_std = HFloat(0.01)
    return p


def privex_cases():
    P = privex_module().PrivexProcessor
    apply_privex = privex_module().apply_privex

    def init():
        return lambda: P(HFloat(2.0), HFloat(1e-5), HFloat(0.1), HFloat(0.05), HFloat(0.01), 3), None

    def detect():
        df = table()
        return lambda: processor()._detect_column_types(df), shrink(df)

    def info():
        p = processor()
        p.original_stats = HDict(shape=(1, 2))
        return p.get_privacy_info, emptied(p.original_stats)

    def noise(method):
        def case():
            data = HSeries([1.0, 2.0, 4.0])
            return lambda: getattr(processor(), method)(data, HFloat(0.5)), None

        return case

    def numerical():
        df, cols = table(), [HStr("x"), HStr("n"), HStr("absent")]
        return lambda: processor()._apply_numerical_dp(df, cols), emptied(cols, then=shrink(df))

    def categorical():
        df, cols = table(), [HStr("c"), HStr("b"), HStr("n")]
        return lambda: processor()._apply_categorical_dp(df, cols), emptied(cols, then=shrink(df))

    def minimal():
        df = table()
        return lambda: processor()._apply_minimal_noise(df), shrink(df)

    def apply_dp(method):
        def case():
            df, keep = table(), [HStr("b")]
            return (
                lambda: processor().apply_dp(df, method, preserve_columns=keep),
                emptied(keep, then=shrink(df)),
            )

        return case

    def convenience():
        df, keep = table(), [HStr("n")]
        return (
            lambda: apply_privex(df, HFloat(1.0), "laplace", keep, 1),
            emptied(keep, then=shrink(df)),
        )

    return {
        "PrivexProcessor()": init,
        "PrivexProcessor._detect_column_types": detect,
        "PrivexProcessor.get_privacy_info": info,
        "PrivexProcessor._add_laplace_noise": noise("_add_laplace_noise"),
        "PrivexProcessor._add_gaussian_noise": noise("_add_gaussian_noise"),
        "PrivexProcessor._apply_numerical_dp": numerical,
        "PrivexProcessor._apply_categorical_dp": categorical,
        "PrivexProcessor._apply_minimal_noise": minimal,
        "PrivexProcessor.apply_dp (minimal)": apply_dp("minimal"),
        "PrivexProcessor.apply_dp (laplace)": apply_dp("laplace"),
        "PrivexProcessor.apply_dp (gaussian)": apply_dp("gaussian"),
        "apply_privex": convenience,
    }


RULES = ["x > -1", "n <= 3", "if n > 1 then x < 1.5", "c == 'a' or b", "x + n > 0.5"]


def rulix_cases():
    from quorvix.tabular.rulix import ConstraintViolationReport, Rulix

    def engine(rules=RULES):
        r = Rulix()
        r._rules = HList(HStr(t) for t in rules)
        r._parsed_rules = HList(HDict(Rulix._parse_rule(r, t)) for t in rules)
        return r

    def add_rule():
        r = engine()
        return lambda: r.add_rule("if x > 0 then n < 4"), emptied(r._rules, r._parsed_rules)

    def parse_rule():
        r = engine()
        return lambda: r._parse_rule("if x > 0 then n < 4"), emptied(r._rules)

    def validate_hostile_table():
        r, df = engine(), table()
        return lambda: r.validate(df), emptied(r._rules, r._parsed_rules, then=shrink(df))

    def validate_native():
        # A plain table (the native evaluation path) and hostile rule texts,
        # whose hashes and comparisons may shrink the table in place.
        r = engine(["x > -1", "n <= 3", "if n > 1 then x < 1.5", "x >= n"])
        df = pd.DataFrame(table(200))
        rules = list(r._rules)
        return lambda: r.validate(df), lambda: (orphan(*rules), shrink(df)())

    def report():
        return ConstraintViolationReport(
            violations=HDict({HStr("x > 0"): 3, HStr("n <= 2"): 2, HStr("if n > 0 then x < 0"): 1}),
            total_violations=6,
            violation_rate=0.5,
            violating_rows=HList([0, 3, 4, 7]),
        )

    def summary():
        rep = report()
        rules = list(rep.violations)
        return rep.summary, lambda: orphan(*rules)

    def fix(strategy):
        def case():
            rep, df = report(), table()
            np.random.seed(0)
            return lambda: rep.fix(df, strategy), emptied(rep.violations, rep.violating_rows, then=shrink(df))

        return case

    return {
        "Rulix.add_rule": add_rule,
        "Rulix._parse_rule": parse_rule,
        "Rulix.validate (hostile table)": validate_hostile_table,
        "Rulix.validate (native path)": validate_native,
        "ConstraintViolationReport.summary": summary,
        "ConstraintViolationReport.fix (drop)": fix("drop"),
        "ConstraintViolationReport.fix (resample)": fix("resample"),
        "ConstraintViolationReport.fix (clip)": fix("clip"),
    }


def metric(value, higher=True):
    return HObject(value=HFloat(value), higher_is_better=HFloat(1.0 if higher else 0.0), confidence_interval=None)


def hostile_report():
    return HObject(
        aggregate_metrics=HDict(
            {HStr("ks_complement"): metric(0.8), HStr("tstr_normalized_x"): metric(0.7, False), HStr("mmd"): metric(0.2, False)}
        ),
        privacy_metrics=HDict({HStr("dcr"): metric(0.4), HStr("mmd"): metric(0.9)}),
        generator_name=HStr("gen"),
        timestamp=HStr("now"),
        dataset_name=HStr("data"),
        real_data_n_rows=1234,
        synthetic_data_n_rows=99,
        n_columns=4,
    )


def evaluator_cases():
    from quorvix.tabular.evaluator import TabularEvaluator as T

    cheap = ["ks_complement", "total_variation", "pearson_correl_diff"]

    def init():
        names = [HStr(n) for n in cheap]
        return lambda: T(names, HFloat(1.0), 3, HFloat(1.0), HFloat(0.0), HFloat(0.0), HFloat(0.0), 5), emptied(names)

    def evaluate():
        real, synth = table(30), table(30)
        names = [HStr(n) for n in cheap]
        ev = T(random_seed=1, compute_privacy=False, compute_alpha_beta=False)
        return lambda: ev.evaluate(real, synth, metrics=names), emptied(names, then=shrink(real, synth))

    def evaluate_generator():
        real = table(30)
        generated = []

        def generate(n_samples, seed):
            hit_frame = table(n_samples)
            generated.append(hit_frame)
            return hit_frame

        gen = HObject(generate=generate)
        ev = T(metrics=["ks_complement"], random_seed=1, compute_privacy=False, compute_alpha_beta=False)
        return lambda: ev.evaluate(real, generator=gen, n_samples=20), shrink(real)

    def privacy():
        real, synth = table(30), table(30)
        return lambda: T(random_seed=1)._run_privacy_metric("distance_to_closest_record", real, synth), shrink(real, synth)

    def bootstrap():
        real, synth = table(30), table(30)
        rep = hostile_report()
        ev = T(random_seed=1, n_bootstrap=3)
        return lambda: ev._attach_bootstrap_cis(rep, real, synth), emptied(rep.aggregate_metrics, then=shrink(real, synth))

    def compare():
        from quorvix.tabular.evaluator.report import EvaluationReport, MetricResult

        reports = []
        for i in range(2):
            rep = EvaluationReport(generator_name=f"g{i}", real_data_n_rows=10, synthetic_data_n_rows=10, n_columns=2)
            rep.aggregate_metrics = HDict({HStr("ks_complement"): MetricResult(name="ks_complement", value=HFloat(0.5 + i / 10), category="statistical")})
            reports.append(rep)
        return lambda: T().compare(reports), emptied(reports)

    def to_html():
        rep = hostile_report()
        metrics = [*rep.aggregate_metrics.values(), *rep.privacy_metrics.values()]
        return lambda: T().to_html(rep), lambda: orphan(*metrics)

    def to_html_file():
        rep = hostile_report()
        path = os.path.join(tempfile.mkdtemp(), "report.html")
        metrics = [*rep.aggregate_metrics.values(), *rep.privacy_metrics.values()]
        return lambda: T().to_html(rep, path), lambda: orphan(*metrics)

    def plots():
        real, synth = table(20), table(20)
        return lambda: T._generate_plot_html(real, synth), shrink(real, synth)

    return {
        "TabularEvaluator()": init,
        "TabularEvaluator.evaluate": evaluate,
        "TabularEvaluator.evaluate (generator)": evaluate_generator,
        "TabularEvaluator._run_privacy_metric": privacy,
        "TabularEvaluator._attach_bootstrap_cis": bootstrap,
        "TabularEvaluator.compare": compare,
        "TabularEvaluator.to_html": to_html,
        "TabularEvaluator.to_html (file)": to_html_file,
        "TabularEvaluator._generate_plot_html": plots,
    }


GROUPS = {"privex": privex_cases, "rulix": rulix_cases, "evaluator": evaluator_cases}


# ---------------------------------------------------------------------------
# The sweep


def outcome(call):
    try:
        call()
        return "result"
    except SystemError as e:
        return f"SystemError: {e}"
    except Injected:
        return "injected"
    except Exception as e:
        return type(e).__name__
    finally:
        faults.BUDGET = faults.Budget()
        import matplotlib.pyplot as plt

        plt.close("all")


def plan(cases):
    """Every run of the group: (entry, kind, mode, k), in a fixed order."""
    runs = []
    for name, case in cases.items():
        faults.BUDGET = counting = faults.Budget()
        call, _ = case()
        outcome(call)
        for kind in faults.KINDS:
            n = counting.counts[kind]
            for mode in faults.MODES:
                runs.extend((name, kind, mode, k) for k in ks_for(n, name in SLOW))
    return runs


def run(group, start=0):
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")
    import matplotlib

    matplotlib.use("Agg")
    cases = GROUPS[group]()
    runs = plan(cases)
    summary = {"group": group, "entry_points": len(cases), "runs": 0, "faults": 0, "problems": [], "outcomes": {}}
    print(f"PLAN {len(runs)}", flush=True)
    for i, (name, kind, mode, k) in enumerate(runs):
        if i < start:
            continue
        print(f"RUN {i} {name} | {kind} {mode} k={k}", flush=True)
        call, mutate = cases[name]()
        faults.BUDGET = budget = faults.Budget(kind, k, mode, mutate)
        result = outcome(call)
        summary["runs"] += 1
        summary["faults"] += budget.fired
        summary["outcomes"][result] = summary["outcomes"].get(result, 0) + 1
        if result.startswith("SystemError"):
            summary["problems"].append(f"{name} | {kind} {mode} k={k}: {result}")
    print("SUMMARY " + json.dumps(summary), flush=True)


if __name__ == "__main__":
    run(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 0)
