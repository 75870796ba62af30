"""The ``quorvix`` command line.

    quorvix demo [--out DIR]
    quorvix evaluate REAL SYNTHETIC [--metrics M ...] [--no-privacy] [--bootstrap N]
                     [--seed S] [--html FILE] [--json FILE]
    quorvix privatize INPUT OUTPUT [--method minimal|laplace|gaussian] [--epsilon E]
                      [--preserve COL ...] [--seed S]
    quorvix rules check DATA (--rule TEXT ... | --rules-file FILE)
                        [--fix drop|resample|clip --output FILE]
    quorvix compare REPORT.json ...
    quorvix privex-demo

Tables are read from and written to CSV, or Parquet (``.parquet``/``.pq``) when
pyarrow is installed. Progress goes to stderr, results to stdout. An error is
one line on stderr with exit status 2 (``--debug`` shows the traceback);
``rules check`` exits with 1 when violations remain. Output files are written
to a temporary file first and moved into place, so a failure never leaves a
half-written file behind.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
import time
from importlib import resources
from pathlib import Path

PARQUET_SUFFIXES = {".parquet", ".pq"}


class CLIError(Exception):
    """An error to report as one line, without a traceback."""


# --------------------------------------------------------------------------------------
# Progress and files


class Progress:
    """Stage-by-stage progress on stderr."""

    def __init__(self, stream, total):
        self.stream, self.total, self.n = stream, total, 0

    @contextlib.contextmanager
    def stage(self, text):
        self.n += 1
        self.stream.write(f"[{self.n}/{self.total}] {text} ...")
        self.stream.flush()
        start = time.perf_counter()
        try:
            yield
        except BaseException:
            self.stream.write(" failed\n")
            raise
        self.stream.write(f" done ({time.perf_counter() - start:.1f}s)\n")
        self.stream.flush()


def _is_parquet(path):
    return Path(path).suffix.lower() in PARQUET_SUFFIXES


def _need_pyarrow(path):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CLIError(f"'{path}': Parquet files need pyarrow (pip install pyarrow), or use CSV") from None


def read_table(path):
    import pandas as pd

    path = str(path)
    if not os.path.exists(path):
        raise CLIError(f"cannot read '{path}': no such file")
    if os.path.isdir(path):
        raise CLIError(f"cannot read '{path}': it is a directory")
    try:
        if _is_parquet(path):
            _need_pyarrow(path)
            return pd.read_parquet(path)
        return pd.read_csv(path)
    except CLIError:
        raise
    except Exception as exc:
        raise CLIError(f"cannot read '{path}': {_one_line(exc)}") from exc


@contextlib.contextmanager
def atomic_output(path, mode="w"):
    """Open a temporary file beside `path`; move it onto `path` on success."""
    path = Path(path)
    directory = path.parent if str(path.parent) else Path(".")
    if not directory.is_dir():
        raise CLIError(f"cannot write '{path}': directory '{directory}' does not exist")
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, mode, **({"encoding": "utf-8"} if "b" not in mode else {})) as fh:
            yield fh
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_table(df, path):
    if _is_parquet(path):
        _need_pyarrow(path)
        with atomic_output(path, "wb") as fh:
            df.to_parquet(fh, index=False)
    else:
        with atomic_output(path) as fh:
            df.to_csv(fh, index=False)


def write_text(text, path):
    with atomic_output(path) as fh:
        fh.write(text)


def _one_line(exc):
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


# --------------------------------------------------------------------------------------
# Commands


def cmd_rules_check(args, out, err):
    from quorvix.tabular.rulix import Rulix

    if args.fix and not args.output:
        raise CLIError("--fix needs --output FILE for the repaired table")
    if args.output and not args.fix:
        raise CLIError("--output goes with --fix")
    rules = list(args.rule or [])
    if args.rules_file:
        try:
            text = Path(args.rules_file).read_text(encoding="utf-8")
        except OSError as exc:
            raise CLIError(f"cannot read '{args.rules_file}': {exc.strerror or exc}") from exc
        rules += [line.strip() for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#")]
    if not rules:
        raise CLIError("no rules given")
    df = read_table(args.data)
    engine = Rulix()
    for rule in rules:
        engine.add_rule(rule)
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        report = engine.validate(df)
    for w in caught:
        err.write(f"warning: {w.message}\n")
    out.write(report.summary() + "\n")
    out.write(
        f"{len(report.violating_rows)} of {len(df)} rows break at least one rule "
        f"({report.violation_rate:.1%}), {report.total_violations} violations in all\n"
    )
    remaining = report.total_violations
    if args.fix:
        import numpy as np

        if args.seed is not None:
            np.random.seed(args.seed)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fixed = report.fix(df, args.fix)
        for w in caught:
            err.write(f"warning: {w.message}\n")
        write_table(fixed, args.output)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            remaining = engine.validate(fixed).total_violations
        out.write(f"repaired with '{args.fix}': {len(fixed)} rows written to {args.output}, {remaining} violations left\n")
    return 1 if remaining else 0


def cmd_privatize(args, out, err):
    df = read_table(args.input)
    from quorvix.core_generator.privex import apply_privex

    missing = [c for c in args.preserve or [] if c not in df.columns]
    if missing:
        raise CLIError(f"--preserve: no column {missing[0]!r} in '{args.input}'")
    try:
        noisy = apply_privex(df, args.epsilon, args.method, args.preserve or None, args.seed)
    except ValueError as exc:
        raise CLIError(_one_line(exc)) from exc
    write_table(noisy, args.output)
    out.write(f"{len(noisy)} rows perturbed with '{args.method}' (epsilon {args.epsilon}) -> {args.output}\n")
    return 0


def _evaluate(real, synthetic, *, metrics, privacy, bootstrap, seed, dataset, generator):
    from quorvix.tabular.evaluator import TabularEvaluator

    evaluator = TabularEvaluator(
        metrics=metrics,
        random_seed=seed,
        compute_privacy=privacy,
        compute_bootstrap_ci=bool(bootstrap),
        n_bootstrap=bootstrap or 500,
    )
    report = evaluator.evaluate(real, synthetic)
    # The evaluator names a report after the generator object it was given;
    # from the command line there is none, so name it after the inputs.
    report.dataset_name = dataset
    report.generator_name = generator
    return evaluator, report


def _render_html(evaluator, report, path, real, synthetic):
    # to_html writes its file atomically; render to a string first so that a
    # rendering error leaves no file at all.
    html = evaluator.to_html(report, None, real, synthetic)
    write_text(html, path)


def cmd_evaluate(args, out, err):
    known = _known_metrics()
    for m in args.metrics or []:
        if m not in known:
            raise CLIError(f"--metrics: unknown metric {m!r} (known: {', '.join(known)})")
    progress = Progress(err, 3 + bool(args.html) + bool(args.json))
    with progress.stage(f"reading {args.real}"):
        real = read_table(args.real)
    with progress.stage(f"reading {args.synthetic}"):
        synthetic = read_table(args.synthetic)
    with progress.stage("evaluating"):
        evaluator, report = _evaluate(real, synthetic, metrics=args.metrics, privacy=not args.no_privacy,
                                      bootstrap=args.bootstrap, seed=args.seed, dataset=Path(args.real).name,
                                      generator=Path(args.synthetic).name)
    if args.html:
        with progress.stage(f"writing {args.html}"):
            _render_html(evaluator, report, args.html, real, synthetic)
    if args.json:
        with progress.stage(f"writing {args.json}"):
            write_text(report.to_json(), args.json)
    out.write(report.summary() + "\n")
    return 0


def cmd_compare(args, out, err):
    from quorvix.tabular.evaluator.report import EvaluationReport, compare

    reports = []
    for path in args.reports:
        try:
            text = Path(path).read_text(encoding="utf-8")
        except OSError as exc:
            raise CLIError(f"cannot read '{path}': {exc.strerror or exc}") from exc
        try:
            reports.append(EvaluationReport.from_json(text))
        except Exception as exc:
            raise CLIError(f"'{path}' is not a saved evaluation report: {_one_line(exc)}") from exc
    out.write(compare(reports).summary() + "\n")
    return 0


def _known_metrics():
    from quorvix.tabular.evaluator import TabularEvaluator

    return list(dict.fromkeys(TabularEvaluator.DEFAULT_METRICS + TabularEvaluator.PRIVACY_METRICS))


DEMO_RULES = [
    "bill_length_mm > 0",
    "bill_depth_mm > 0",
    "flipper_length_mm >= 150",
    "body_mass_g >= 2000",
    "body_mass_g <= 7000",
]


def penguins():
    """The Palmer penguins table (CC0), as the palmerpenguins package ships it."""
    import pandas as pd

    try:
        data = resources.files("palmerpenguins").joinpath("data", "penguins.csv")
    except ModuleNotFoundError:
        raise CLIError("the demo data comes from the 'palmerpenguins' package: pip install palmerpenguins") from None
    with data.open("rb") as fh:
        return pd.read_csv(fh)


def cmd_demo(args, out, err):
    import warnings

    import numpy as np

    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    progress = Progress(err, 5)
    with progress.stage("loading the Palmer penguins table"):
        real = penguins()
    with progress.stage("perturbing it with Laplace noise (epsilon 1.0)"):
        from quorvix.core_generator.privex import apply_privex

        synthetic = apply_privex(real, 1.0, "laplace", None, args.seed)
    with progress.stage("checking and repairing it with rules"):
        from quorvix.tabular.rulix import Rulix

        engine = Rulix()
        for rule in DEMO_RULES:
            engine.add_rule(rule)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            checked = engine.validate(synthetic)
            np.random.seed(args.seed)
            repaired = checked.fix(synthetic, "clip")
            remaining = engine.validate(repaired)
    with progress.stage("evaluating it against the real table"):
        evaluator, report = _evaluate(real, repaired, metrics=None, privacy=True, bootstrap=0, seed=args.seed,
                                      dataset="Palmer penguins", generator="privex laplace (epsilon 1.0) + clip")
    html_path, json_path = out_dir / "report.html", out_dir / "report.json"
    with progress.stage(f"writing {html_path} and {json_path}"):
        _render_html(evaluator, report, html_path, real, repaired)
        write_text(report.to_json(), json_path)
    out.write(f"Real table: {len(real)} penguins, {real.shape[1]} columns (with missing values)\n")
    out.write("Rules on the perturbed table:\n" + checked.summary() + "\n")
    out.write(f"After clipping: {remaining.total_violations} violations left\n\n")
    out.write(report.summary() + "\n\n")
    out.write(f"HTML report: {html_path.resolve()}\nJSON report: {json_path.resolve()}\n")
    return 0


def cmd_privex_demo(args, out, err):
    from quorvix.core_generator import privex_demo

    privex_demo.main()
    return 0


# --------------------------------------------------------------------------------------
# Parser


def build_parser():
    parser = argparse.ArgumentParser(prog="quorvix", description="Produce and check synthetic tabular data.")
    parser.add_argument("--debug", action="store_true", help="show tracebacks of errors")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("demo", help="the whole job on the Palmer penguins table")
    p.add_argument("--out", default="quorvix-demo", metavar="DIR", help="where the reports go (default quorvix-demo)")
    p.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser("evaluate", help="score a synthetic table against the real one")
    p.add_argument("real", metavar="REAL")
    p.add_argument("synthetic", metavar="SYNTHETIC")
    p.add_argument("--metrics", nargs="+", metavar="M", help="metric names (default: the full suite)")
    p.add_argument("--no-privacy", action="store_true", help="skip the privacy metrics")
    p.add_argument("--bootstrap", type=_non_negative_int, default=0, metavar="N",
                   help="attach bootstrap confidence intervals from N resamples")
    p.add_argument("--seed", type=int, default=None, help="random seed")
    p.add_argument("--html", metavar="FILE", help="write the HTML report here")
    p.add_argument("--json", metavar="FILE", help="write the JSON report here")
    p.set_defaults(func=cmd_evaluate)

    p = sub.add_parser("privatize", help="perturb a table with calibrated noise")
    p.add_argument("input", metavar="INPUT")
    p.add_argument("output", metavar="OUTPUT")
    p.add_argument("--method", choices=["minimal", "laplace", "gaussian"], default="minimal")
    p.add_argument("--epsilon", type=_positive_float, default=1.0, help="privacy budget (default 1.0)")
    p.add_argument("--preserve", nargs="+", metavar="COL", help="columns left unchanged")
    p.add_argument("--seed", type=int, default=None, help="random seed")
    p.set_defaults(func=cmd_privatize)

    rules = sub.add_parser("rules", help="constraint rules").add_subparsers(dest="rules_command", required=True,
                                                                          metavar="COMMAND")
    p = rules.add_parser("check", help="validate a table against rules (exit 1 when violations remain)")
    p.add_argument("data", metavar="DATA")
    group = p.add_mutually_exclusive_group(required=True)
    group.add_argument("--rule", action="append", metavar="TEXT", help="a rule (repeatable)")
    group.add_argument("--rules-file", metavar="FILE", help="one rule per line; '#' starts a comment line")
    p.add_argument("--fix", choices=["drop", "resample", "clip"], help="repair the table with this strategy")
    p.add_argument("--output", metavar="FILE", help="where the repaired table goes (with --fix)")
    p.add_argument("--seed", type=int, default=None, help="random seed of 'resample'")
    p.set_defaults(func=cmd_rules_check)

    p = sub.add_parser("compare", help="compare saved JSON reports side by side")
    p.add_argument("reports", nargs="+", metavar="REPORT.json")
    p.set_defaults(func=cmd_compare)

    p = sub.add_parser("privex-demo", help="the noise module's own demonstration")
    p.set_defaults(func=cmd_privex_demo)
    return parser


def _non_negative_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


def _positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive finite number: {text!r}")
    return value


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    parser = build_parser()
    args = parser.parse_args(argv)
    name = args.command + (f" {args.rules_command}" if args.command == "rules" else "")
    try:
        return args.func(args, out, err)
    except KeyboardInterrupt:
        err.write(f"quorvix {name}: interrupted\n")
        return 130
    except Exception as exc:
        if args.debug:
            raise
        message = str(exc) if isinstance(exc, CLIError) else f"{type(exc).__name__}: {_one_line(exc)}"
        err.write(f"quorvix {name}: error: {message}\n")
        return 2


if __name__ == "__main__":
    sys.exit(main())
