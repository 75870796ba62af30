"""The ``quorvix`` command line.

    quorvix [--version] [--debug] COMMAND ...
    quorvix demo [--out DIR]
    quorvix evaluate REAL SYNTHETIC [--metrics M ...] [--no-privacy] [--bootstrap N]
                     [--seed S] [--html FILE] [--json FILE] [--max-privacy-risk LEVEL]
    quorvix privatize INPUT OUTPUT [--method laplace|gaussian|minimal] [--epsilon E]
                      [--preserve COL[,COL...]] [--seed S]
    quorvix rules check DATA (--rule TEXT ... | --rules-file FILE)
                        [--fix drop|resample|clip --output FILE]
    quorvix compare REPORT.json ...
    quorvix privex-demo

Tables are read from and written to CSV, or Parquet (``.parquet``/``.pq``) when
pyarrow is installed; a table output with any other extension is refused.
``rules check``, ``privatize`` and ``evaluate`` also take a directory or a glob
of Parquet or CSV files ("data/*.parquet"): the files are one partitioned
table, processed with Dask through :mod:`quorvix.dask` (the local scheduler,
or ``--scheduler ADDRESS`` of a running distributed cluster), with a progress
line per finished partition on stderr; their table outputs are then
directories of Parquet files.
Progress goes to stderr, results to stdout; log records and warnings raised
during a stage are printed after its progress line. An error is one line on
stderr with exit status 2 (``--debug`` shows the traceback). Gates:

- ``rules check`` exits with 1 when violations remain and with 2 when a rule
  was refused or could not be evaluated (it names the rule, the reason and a
  hint), so a misspelt rule never passes;
- ``evaluate`` lists the requested metrics that produced no value on a line
  starting with "Not computed:", and with ``--max-privacy-risk LEVEL`` exits
  with 1 when the privacy verdict is worse than LEVEL (2 when the report has
  no verdict).

Output files are written to a temporary file first and moved into place, so a
failure never leaves a half-written file behind; they get the permissions any
new file gets (the umask's), or keep those of the file they replace.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import logging
import os
import re
import stat
import sys
import tempfile
import time
import warnings
from importlib import resources
from pathlib import Path

from quorvix import _cli_dask

PARQUET_SUFFIXES = {".parquet", ".pq"}
TABLE_SUFFIXES = {".csv"} | PARQUET_SUFFIXES
PRIVACY_LEVELS = ("LOW", "MODERATE", "HIGH")
# names of the report that stand for a metric of the evaluator's lists
METRIC_ALIASES = {"mmd_rbf": "mmd"}


class CLIError(Exception):
    """An error to report as one line, without a traceback."""


# --------------------------------------------------------------------------------------
# Progress and files


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@contextlib.contextmanager
def collected_logs():
    """Hold back the log records of the block (the root logger's handlers are
    swapped for a collector) and yield the list they go to."""
    root = logging.getLogger()
    collector = _Collect()
    saved, level = root.handlers[:], root.level
    root.handlers = [collector]
    root.setLevel(min(level, logging.INFO) if level else logging.INFO)
    try:
        yield collector.records
    finally:
        root.handlers = saved
        root.setLevel(level)


class Progress:
    """Stage-by-stage progress on stderr.

    Log records raised during a stage (the noise module logs at INFO, the
    evaluator warns about metrics that failed) are held back and printed
    after the stage's line, so that they never break into it: records of
    WARNING and above as "warning: ..." lines, INFO records only with
    ``verbose``. Records of the loggers in ``hidden`` are dropped (the caller
    reports those failures itself).
    """

    def __init__(self, stream, total, verbose=False, hidden=()):
        self.stream, self.total, self.n = stream, total, 0
        self.verbose, self.hidden = verbose, set(hidden)

    @contextlib.contextmanager
    def stage(self, text):
        self.n += 1
        start = time.perf_counter()
        self.stream.write(f"[{self.n}/{self.total}] {text} ...")
        self.stream.flush()
        with collected_logs() as records:
            try:
                yield
            except BaseException:
                self.stream.write(" failed\n")
                self._flush(records)
                raise
        self.stream.write(f" done ({time.perf_counter() - start:.1f}s)\n")
        self._flush(records)

    def _flush(self, records):
        print_records(records, self.stream, self.verbose, self.hidden)


def print_records(records, stream, verbose=False, hidden=()):
    """Held-back log records as lines: WARNING and above always, INFO only
    when `verbose`; records of the loggers in `hidden` are dropped."""
    for record in records:
        if record.name in hidden:
            continue
        if record.levelno >= logging.WARNING:
            stream.write(f"warning: {record.getMessage()}\n")
        elif verbose:
            stream.write(f"info: {record.name}: {record.getMessage()}\n")
    stream.flush()


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


def check_output_dir(path):
    """Refuse an output path whose folder does not exist (before any work)."""
    path = Path(path)
    directory = path.parent if str(path.parent) else Path(".")
    if not directory.is_dir():
        raise CLIError(f"cannot write '{path}': directory '{directory}' does not exist")
    if path.is_dir():
        raise CLIError(f"cannot write '{path}': it is a directory")
    return directory


def check_table_output(path, option=None):
    """Refuse a table output that is not CSV or Parquet, or whose folder is
    missing (before any work)."""
    suffix = Path(path).suffix.lower()
    if suffix not in TABLE_SUFFIXES:
        where = f"{option}: " if option else ""
        raise CLIError(f"{where}cannot write a table to '{path}': the file name must end in "
                       f"{', '.join(sorted(TABLE_SUFFIXES))} (CSV or Parquet)")
    check_output_dir(path)


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _new_file_mode(path):
    """The mode a plain open() would leave `path` with: an existing file's
    own mode, else 0666 less the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return 0o666 & ~_umask()


@contextlib.contextmanager
def atomic_output(path, mode="w"):
    """Open a temporary file beside `path`; move it onto `path` on success.

    The temporary file is private (0600) while it is written; before it is
    moved into place it gets the mode of the file it replaces, or that of a
    new file under the umask."""
    path = Path(path)
    directory = check_output_dir(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, mode, **({"encoding": "utf-8"} if "b" not in mode else {})) as fh:
            yield fh
            fh.flush()
            os.fchmod(fh.fileno(), _new_file_mode(path))
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_table(df, path):
    check_table_output(path)
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


def _rule_problems(rules, caught):
    """[(rule, reason)] for every rule that a validation warning names as
    refused, failed or referring to no column."""
    problems = []
    messages = [str(w.message) for w in caught]
    for rule in dict.fromkeys(rules):
        head = f"Rule {rule!r} "
        for msg in messages:
            if not msg.startswith(head):
                continue
            rest = msg[len(head):]
            for kind in ("was refused and counts 0 violations: ",
                         "could not be evaluated and counts 0 violations: "):
                if rest.startswith(kind):
                    verb = "was refused" if kind.startswith("was") else "could not be evaluated"
                    problems.append((rule, f"{verb}: {rest[len(kind):].rstrip('.')}"))
                    break
            else:
                if rest.startswith("refers to no column"):
                    problems.append((rule, rest.replace(" and counts 0 violations", "").rstrip(".")))
    return problems


def rule_hint(rule, reason, columns):
    """A hint for a rule that was refused or failed, or None."""
    hints = []
    text = rule.strip()
    words = text.split()
    first = words[0].lower() if words else ""
    conditional = first == "if" or re.search(r"\bthen\b", text)
    if conditional and re.search(r"unknown name '(if|then)'", reason, re.I):
        hints.append("a conditional rule reads 'if CONDITION then CONSEQUENCE'")
    if re.search(r"(?<![<>=!])=(?!=)", text):
        hints.append("compare with '==' ('=' is not a comparison)")
    m = re.search(r"unknown name '([^']*)'", reason)
    if m and m.group(1).lower() not in ("if", "then"):
        name = m.group(1)
        if name.lower() == "between":
            hints.append("write a range as 'COLUMN >= LOW and COLUMN <= HIGH'")
        else:
            labels = [str(c) for c in columns]
            close = difflib.get_close_matches(name, labels, n=3, cutoff=0.6)
            if not close:
                close = [c for c in labels if c.lower() == name.lower()]
            if close:
                hints.append("did you mean " + " or ".join(repr(c) for c in close) + "?")
            else:
                shown = ", ".join(labels[:12]) + (", ..." if len(labels) > 12 else "")
                hints.append(f"the columns are: {shown}")
    return "; ".join(hints) or None


def print_rule_check(report, rules, problems, n_rows, columns, fix, out, err) -> bool:
    """Print the rules' summary and, for every rule that was refused or could
    not be evaluated, an error line with a hint. True when there was such a
    rule: a rule that was not checked must not let the table pass."""
    summary = report.summary()
    for rule, _ in problems:
        # the library counts such a rule as 0 violations; it was not checked
        summary = summary.replace(f"Rule '{rule}': 0 violations", f"Rule '{rule}': NOT CHECKED")
    out.write(summary + "\n")
    out.write(
        f"{len(report.violating_rows)} of {n_rows} rows break at least one rule "
        f"({report.violation_rate:.1%}), {report.total_violations} violations in all\n"
    )
    if not problems:
        return False
    for rule, reason in problems:
        hint = rule_hint(rule, reason, columns)
        err.write(f"error: rule {rule!r} {reason}" + (f" (hint: {hint})" if hint else "") + "\n")
    err.write(f"quorvix rules check: {len(problems)} of {len(rules)} rules were not checked"
              + ("; nothing was repaired" if fix else "") + "\n")
    return True


def cmd_rules_check(args, out, err):
    from quorvix.tabular.rulix import Rulix

    if args.fix and not args.output:
        raise CLIError("--fix needs --output FILE for the repaired table")
    if args.output and not args.fix:
        raise CLIError("--output goes with --fix")
    partitioned = _cli_dask.is_partitioned(args.data)
    if args.output and not partitioned:
        check_table_output(args.output, "--output")
    rules = list(args.rule or [])
    if args.rules_file:
        try:
            text = Path(args.rules_file).read_text(encoding="utf-8")
        except OSError as exc:
            raise CLIError(f"cannot read '{args.rules_file}': {exc.strerror or exc}") from exc
        rules += [line.strip() for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#")]
    if not rules:
        raise CLIError("no rules given")
    if partitioned:
        return _cli_dask.rules_check(args, rules, out, err)
    df = read_table(args.data)
    engine = Rulix()
    for rule in rules:
        try:
            engine.add_rule(rule)
        except ValueError as exc:
            hint = rule_hint(rule, str(exc), df.columns)
            raise CLIError(f"rule {rule!r}: {_one_line(exc)}" + (f" (hint: {hint})" if hint else "")) from exc

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        report = engine.validate(df)
    problems = _rule_problems(rules, caught)
    named = {r for r, _ in problems}
    for w in caught:
        if not any(str(w.message).startswith(f"Rule {r!r} ") for r in named):
            err.write(f"warning: {w.message}\n")
    if print_rule_check(report, rules, problems, len(df), df.columns, args.fix, out, err):
        return 2
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


def _preserved(values):
    """--preserve values: repeatable, each a comma-separated list."""
    cols = []
    for value in values or []:
        cols += [c.strip() for c in value.split(",") if c.strip()]
    return list(dict.fromkeys(cols))


def noise_options(args, preserve, columns, err):
    """The method and epsilon of `privatize`, once --preserve is checked
    against the table's columns (--epsilon with 'minimal' only warns)."""
    missing = [c for c in preserve if c not in columns]
    if missing:
        raise CLIError(f"--preserve: no column {missing[0]!r} in '{args.input}'")
    method = args.method
    epsilon = 1.0 if args.epsilon is None else args.epsilon
    if method == "minimal" and args.epsilon is not None:
        err.write("warning: --epsilon has no effect with --method minimal\n")
    return method, epsilon


def cmd_privatize(args, out, err):
    preserve = _preserved(args.preserve)
    if _cli_dask.is_partitioned(args.input):
        return _cli_dask.privatize(args, preserve, out, err)
    check_table_output(args.output)
    df = read_table(args.input)
    with collected_logs() as records:
        from quorvix.core_generator.privex import PrivexProcessor, apply_privex
    print_records(records, err, args.debug)

    method, epsilon = noise_options(args, preserve, df.columns, err)
    if method != "minimal":
        with collected_logs():  # the helper processor's own log record is not news
            _, categorical = PrivexProcessor()._detect_column_types(df)
        threshold = int(min(len(df) * 0.1, 10.0))
        numeric_cats = [c for c in categorical if c not in preserve and _is_number_column(df[c])]
        categories = [c for c in categorical if c not in preserve]
    with collected_logs() as records:
        try:
            noisy = apply_privex(df, epsilon, method, preserve or None, args.seed)
        except ValueError as exc:
            raise CLIError(_one_line(exc)) from exc
    print_records(records, err, args.debug)
    write_table(noisy, args.output)
    if method == "minimal":
        out.write(f"{len(noisy)} rows perturbed with 'minimal' -> {args.output}\n")
        out.write("'minimal' is not differential privacy: it adds normal noise of a fixed standard deviation "
                  "(0.01 in each numeric column's own units) and replaces about 5% of the cells of text, "
                  "category and boolean columns; it ignores --epsilon. Use --method laplace or gaussian "
                  "for calibrated noise.\n")
        return 0
    budget = f"epsilon {epsilon:g}" + (", delta 1e-05" if method == "gaussian" else "")
    out.write(f"{len(noisy)} rows perturbed with '{method}' ({budget}) -> {args.output}\n")
    if categories:
        line = "resampled as categories from noisy frequencies: " + ", ".join(map(str, categories))
        if numeric_cats:
            line += (f" (numeric columns with at most {threshold} distinct values count as categories: "
                     + ", ".join(map(str, numeric_cats)) + ")")
        out.write(line + "\n")
    if preserve:
        out.write("left unchanged: " + ", ".join(preserve) + "\n")
    return 0


def _is_number_column(col):
    import pandas as pd

    return pd.api.types.is_numeric_dtype(col.dtype) and not pd.api.types.is_bool_dtype(col.dtype)


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


def _metric_names(values):
    """The --metrics values as evaluator names: commas split, report names
    mapped to the evaluator's (mmd_rbf -> mmd), repeats dropped. Unknown
    names are refused, listing the valid ones."""
    known = _known_metrics()
    names = []
    for value in values or []:
        for name in (v.strip() for v in value.split(",")):
            if not name:
                continue
            name = METRIC_ALIASES.get(name, name)
            if name not in known:
                hint = ""
                if os.path.exists(name) or Path(name).suffix.lower() in TABLE_SUFFIXES:
                    hint = " (it looks like a file name: give --metrics after REAL and SYNTHETIC)"
                close = difflib.get_close_matches(name, known + list(METRIC_ALIASES), n=1)
                if close and not hint:
                    hint = f" (did you mean {close[0]!r}?)"
                raise CLIError(f"--metrics: unknown metric {name!r}{hint}; valid names: {', '.join(known)}, "
                               + ", ".join(f"{a} (= {m})" for a, m in METRIC_ALIASES.items()))
            names.append(name)
    return list(dict.fromkeys(names))


PER_COLUMN_METRICS = ("ks_complement", "wasserstein", "total_variation", "hellinger", "jensen_shannon")
NOT_IMPLEMENTED_PRIVACY = ("nn_adversarial_accuracy", "nnd_ratio")


def _produced(name, report):
    """Did the run give a value for metric `name`?"""
    if name in PER_COLUMN_METRICS:
        return any(str(k).startswith(name + "_") for k in report.aggregate_metrics)
    key = "mmd_rbf" if name == "mmd" else name
    return key in report.aggregate_metrics or key in report.privacy_metrics


def _why_not_computed(name, real, synthetic, seed, privacy):
    """Why metric `name` gave no value: replays the evaluator's call of its
    metric class to show the error."""
    if name in NOT_IMPLEMENTED_PRIVACY:
        return "listed but not computed by this evaluator"
    if name in ("membership_inference_auc", "distance_to_closest_record") and not privacy:
        return "skipped (--no-privacy)"
    common = [c for c in real.columns if c in set(synthetic.columns)]
    try:
        if name in PER_COLUMN_METRICS:
            if name == "ks_complement":
                from quorvix.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric

                result = KSComplementMetric().compute(real, synthetic, columns=common)
            else:
                from quorvix.evaluation.metrics.similarity import UnivariateSimilarityMetrics

                method = {"wasserstein": "wasserstein_distance_metric",
                          "total_variation": "total_variation_distance",
                          "hellinger": "hellinger_distance",
                          "jensen_shannon": "jensen_shannon_divergence"}[name]
                result = getattr(UnivariateSimilarityMetrics(real, synthetic), method)()
            if not dict(result):
                return "no column it applies to (numeric columns shared by both tables)" \
                    if name in ("ks_complement", "wasserstein") else "no shared column with values"
        elif name in ("pearson_correl_diff", "spearman_correl_diff"):
            from quorvix.evaluation.metrics.similarity import CorrelationSimilarityMetrics

            m = CorrelationSimilarityMetrics(real, synthetic)
            (m.pearson_correlation_difference if name.startswith("pearson")
             else m.spearman_correlation_difference)()
        elif name in ("correlation_matrix_distance", "mmd"):
            from quorvix.evaluation.metrics.similarity import MultivariateSimilarityMetrics

            m = MultivariateSimilarityMetrics(real, synthetic)
            (m.correlation_matrix_distance if name == "correlation_matrix_distance" else m.mmd_rbf)()
        elif name == "prediction_agreement":
            target = next((c for c in real.columns if len(real[c].dropna().unique()) >= 2), None)
            if not target:
                return "no column of the real table has two distinct values to predict"
            from quorvix.evaluation.metrics.utility import PredictionAgreementMetrics

            PredictionAgreementMetrics(real, synthetic, target).prediction_agreement_percentage()
        elif name in ("alpha_precision", "beta_recall", "likelihood_leak", "tstr_normalized"):
            from quorvix.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
            from quorvix.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
            from quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak import LikelihoodLeakMetric
            from quorvix.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric

            metric = {"alpha_precision": lambda: AlphaPrecisionMetric(),
                      "beta_recall": lambda: BetaRecallMetric(),
                      "likelihood_leak": lambda: LikelihoodLeakMetric(random_seed=seed),
                      "tstr_normalized": lambda: TSTRNormalizedMetric(random_seed=seed)}[name]()
            metric.compute(real, synthetic)
        elif name == "membership_inference_auc":
            from quorvix.tabular.evaluator.metrics.privacy.membership_inference import MembershipInferenceMetric

            MembershipInferenceMetric().compute(real, synthetic)
        elif name == "distance_to_closest_record":
            from quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric

            DTCRMetric().compute(real, synthetic)
    except Exception as exc:
        return f"failed: {type(exc).__name__}: {_one_line(exc)}"
    return "produced no value"


def _check_columns(real, synthetic, args, err):
    """Warn about columns only one table has; stop when they share none or
    the synthetic table is empty."""
    synth_cols, real_cols = set(synthetic.columns), set(real.columns)
    shared = [c for c in real.columns if c in synth_cols]
    if not shared:
        raise CLIError(f"'{args.real}' and '{args.synthetic}' share no column")
    if len(synthetic) == 0:
        raise CLIError(f"'{args.synthetic}' has no rows")
    if len(real) == 0:
        raise CLIError(f"'{args.real}' has no rows")
    only_real = [str(c) for c in real.columns if c not in synth_cols]
    only_synth = [str(c) for c in synthetic.columns if c not in real_cols]
    if only_real:
        err.write(f"warning: columns only in {args.real} (not evaluated): {', '.join(only_real)}\n")
    if only_synth:
        err.write(f"warning: columns only in {args.synthetic} (not evaluated): {', '.join(only_synth)}\n")


def privacy_gate(report, max_level, err) -> int:
    """Exit status of `evaluate` under --max-privacy-risk: 0 when there is no
    limit or the verdict is within it, 1 when it is worse, 2 when the report
    has no verdict to judge."""
    if not max_level:
        return 0
    verdict = report.privacy_verdict()
    if verdict.level is None:
        err.write(f"quorvix evaluate: error: --max-privacy-risk: no privacy verdict ({verdict.reason})\n")
        return 2
    if verdict.worse_than(max_level):
        err.write(f"quorvix evaluate: privacy risk {verdict.level} is above the allowed {max_level}\n")
        return 1
    return 0


def cmd_evaluate(args, out, err):
    metrics = _metric_names(args.metrics) or None
    if args.max_privacy_risk and args.no_privacy:
        raise CLIError("--max-privacy-risk needs the privacy metrics: drop --no-privacy")
    if args.max_privacy_risk and metrics and not {"membership_inference_auc", "distance_to_closest_record"} & set(metrics):
        raise CLIError("--max-privacy-risk needs membership_inference_auc or distance_to_closest_record "
                       "in --metrics")
    if _cli_dask.is_partitioned(args.real) or _cli_dask.is_partitioned(args.synthetic):
        return _cli_dask.evaluate(args, metrics, out, err)
    for path in (args.html, args.json):
        if path:
            check_output_dir(path)
    progress = Progress(err, 3 + bool(args.html) + bool(args.json), verbose=args.debug,
                        hidden={"tabular.evaluator"})
    with progress.stage(f"reading {args.real}"):
        real = read_table(args.real)
    with progress.stage(f"reading {args.synthetic}"):
        synthetic = read_table(args.synthetic)
    _check_columns(real, synthetic, args, err)
    with progress.stage("evaluating"):
        evaluator, report = _evaluate(real, synthetic, metrics=metrics, privacy=not args.no_privacy,
                                      bootstrap=args.bootstrap, seed=args.seed, dataset=Path(args.real).name,
                                      generator=Path(args.synthetic).name)
    if args.html:
        with progress.stage(f"writing {args.html}"):
            _render_html(evaluator, report, args.html, real, synthetic)
    if args.json:
        with progress.stage(f"writing {args.json}"):
            write_text(report.to_json(), args.json)
    out.write(report.summary() + "\n")
    requested = list(dict.fromkeys(metrics or evaluator.metrics))
    privacy_names = set(evaluator.PRIVACY_METRICS)
    missing = []
    for name in requested:
        if name in NOT_IMPLEMENTED_PRIVACY or not _produced(name, report):
            if name in privacy_names and args.no_privacy and not args.metrics:
                continue  # the default list with --no-privacy: nothing was asked
            missing.append(f"{name} ({_why_not_computed(name, real, synthetic, args.seed, not args.no_privacy)})")
    if missing:
        out.write("Not computed: " + "; ".join(missing) + "\n")
    return privacy_gate(report, args.max_privacy_risk, err)


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


def _version():
    try:
        from importlib.metadata import version

        return version("quorvix")
    except Exception:
        from quorvix import __version__

        return __version__


def build_parser():
    parser = argparse.ArgumentParser(prog="quorvix", description="Produce and check synthetic tabular data.")
    parser.add_argument("--version", action="version", version=f"quorvix {_version()}",
                        help="show the version and exit")
    parser.add_argument("--debug", action="store_true",
                        help="show tracebacks of errors and the noise module's INFO log records (default off)")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("demo", help="the whole job on the Palmer penguins table")
    p.add_argument("--out", default="quorvix-demo", metavar="DIR", help="where the reports go (default quorvix-demo)")
    p.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    p.set_defaults(func=cmd_demo)

    known = _known_metrics()
    p = sub.add_parser(
        "evaluate", help="score a synthetic table against the real one",
        usage="%(prog)s REAL SYNTHETIC [--metrics M ...] [--no-privacy] [--bootstrap N] [--seed SEED]\n"
              "       [--html FILE] [--json FILE] [--max-privacy-risk LEVEL]",
        description="Score a synthetic table against the real one: prints the metrics, the quality score "
                    "and the privacy verdict (LOW, MODERATE or HIGH risk).",
        epilog="metric names: " + ", ".join(known) + "; the report's name mmd_rbf is accepted for mmd. "
               "Exit status: 0, or 1 when the privacy verdict is worse than --max-privacy-risk, "
               "2 on an error.")
    # optional for argparse only: file names that --metrics took in are
    # given back to them in main()
    p.add_argument("real", metavar="REAL", nargs="?", help="the real table (CSV or Parquet; or a directory or glob of such files)")
    p.add_argument("synthetic", metavar="SYNTHETIC", nargs="?", help="the synthetic table (CSV or Parquet)")
    p.add_argument("--metrics", nargs="+", metavar="M",
                   help="metric names, space- or comma-separated (default: the full suite; "
                        "the names are listed below)")
    p.add_argument("--no-privacy", action="store_true", help="skip the privacy metrics (default: run them)")
    p.add_argument("--bootstrap", type=_non_negative_int, default=0, metavar="N",
                   help="attach bootstrap confidence intervals from N resamples (default 0: none)")
    p.add_argument("--seed", type=int, default=None, help="random seed (default: the metrics' fixed seed 0)")
    p.add_argument("--html", metavar="FILE", help="write the HTML report here (default: none)")
    p.add_argument("--json", metavar="FILE", help="write the JSON report here (default: none)")
    p.add_argument("--max-privacy-risk", type=str.upper, choices=PRIVACY_LEVELS, metavar="LEVEL",
                   help="exit with 1 when the privacy verdict is worse than LEVEL: "
                        "LOW, MODERATE or HIGH (default: no gate)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="with a directory or glob of files: the address of a running Dask "
                        "distributed scheduler (default: Dask's local scheduler)")
    p.set_defaults(func=cmd_evaluate, subparser=p)

    p = sub.add_parser("privatize", help="perturb a table with calibrated noise")
    p.add_argument("input", metavar="INPUT", help="the table to perturb (CSV or Parquet; or a directory or glob of such files)")
    p.add_argument("output", metavar="OUTPUT", help="where the perturbed table goes (.csv, .parquet or .pq; a directory for a "
                                                        "partitioned INPUT)")
    p.add_argument("--method", choices=["laplace", "gaussian", "minimal"], default="laplace",
                   help="laplace or gaussian: noise calibrated to --epsilon; minimal: small fixed noise, "
                        "not differential privacy (default laplace)")
    p.add_argument("--epsilon", type=_positive_float, default=None,
                   help="privacy budget of laplace and gaussian, lower = more noise (default 1.0)")
    p.add_argument("--preserve", action="append", metavar="COL[,COL...]",
                   help="columns left unchanged; repeat the option or separate names with commas "
                        "(default: none)")
    p.add_argument("--seed", type=int, default=None, help="random seed (default: not reproducible)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="with a directory or glob of files: the address of a running Dask "
                        "distributed scheduler (default: Dask's local scheduler)")
    p.set_defaults(func=cmd_privatize)

    rules = sub.add_parser("rules", help="constraint rules").add_subparsers(dest="rules_command", required=True,
                                                                          metavar="COMMAND")
    p = rules.add_parser(
        "check", help="validate a table against rules",
        epilog="Exit status: 0 when every rule holds, 1 when violations remain, 2 when a rule was refused "
               "or could not be evaluated (or on another error).")
    p.add_argument("data", metavar="DATA", help="the table to check (CSV or Parquet; or a directory or glob of such files)")
    group = p.add_mutually_exclusive_group(required=True)
    group.add_argument("--rule", action="append", metavar="TEXT", help="a rule (repeatable)")
    group.add_argument("--rules-file", metavar="FILE", help="one rule per line; '#' starts a comment line")
    p.add_argument("--fix", choices=["drop", "resample", "clip"],
                   help="repair the table with this strategy (default: no repair)")
    p.add_argument("--output", metavar="FILE", help="where the repaired table goes, with --fix (.csv, .parquet or .pq; a directory "
                        "for a partitioned DATA; default: none)")
    p.add_argument("--seed", type=int, default=None, help="random seed of 'resample' (default: not reproducible)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="with a directory or glob of files: the address of a running Dask "
                        "distributed scheduler (default: Dask's local scheduler)")
    p.set_defaults(func=cmd_rules_check)

    p = sub.add_parser("compare", help="compare saved JSON reports side by side")
    p.add_argument("reports", nargs="+", metavar="REPORT.json", help="reports written by evaluate --json")
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


def _positionals_after_metrics(args, parser):
    """`evaluate --metrics a b REAL SYNTHETIC`: --metrics takes every word up
    to the next option, file names included; give the trailing words that are
    not metric names back to REAL and SYNTHETIC."""
    given = [p for p in (args.real, args.synthetic) if p is not None]
    if len(given) < 2 and args.metrics:
        known = set(_known_metrics()) | set(METRIC_ALIASES)
        taken = []
        while args.metrics and len(given) + len(taken) < 2:
            last = args.metrics[-1]
            if all(n.strip() in known for n in last.split(",") if n.strip()):
                break
            taken.insert(0, args.metrics.pop())
        given += taken
        if not args.metrics:
            args.metrics = None
    if len(given) < 2:
        missing = ["REAL", "SYNTHETIC"][len(given):]
        args.subparser.error(f"the following arguments are required: {', '.join(missing)}")
    args.real, args.synthetic = given


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "evaluate":
        _positionals_after_metrics(args, parser)
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
