"""The command-line tool on folders or globs of Parquet/CSV files, through quorvix.dask.

A table given as a directory (every .parquet/.pq file in it, or every .csv
file) or as a glob pattern ("data/part-*.parquet") is read as one
partitioned table, one partition per file, and checked, perturbed or
evaluated with :mod:`quorvix.dask`. Work runs on Dask's local scheduler, or on
a running ``distributed`` cluster with ``--scheduler ADDRESS``. Each finished
partition is reported on stderr.
"""

from __future__ import annotations

import contextlib
import glob
import os
import warnings
from pathlib import Path

GLOB_CHARS = set("*?[")
PARQUET_SUFFIXES = {".parquet", ".pq"}


def is_partitioned(path) -> bool:
    """A directory, or a glob pattern (which the shell left unexpanded)."""
    if path is None:
        return False
    path = str(path)
    return os.path.isdir(path) or (bool(GLOB_CHARS & set(path)) and not os.path.exists(path))


def _files(path: str):
    from dask.utils import natural_sort_key

    from quorvix.cli import CLIError

    if os.path.isdir(path):
        # natural order (part.2 before part.10), as Dask writes and reads files
        entries = sorted((str(p) for p in Path(path).iterdir() if p.is_file()
                          and not p.name.startswith((".", "_"))), key=natural_sort_key)
        parquet = [p for p in entries if Path(p).suffix.lower() in PARQUET_SUFFIXES]
        csv = [p for p in entries if Path(p).suffix.lower() == ".csv"]
        if parquet and csv:
            raise CLIError(f"'{path}' holds both Parquet and CSV files; give a glob such as "
                           f"'{path}/*.parquet'")
        files = parquet or csv
        if not files:
            raise CLIError(f"cannot read '{path}': no .parquet, .pq or .csv file in it")
        return files
    files = sorted((p for p in glob.glob(path) if os.path.isfile(p)), key=natural_sort_key)
    if not files:
        raise CLIError(f"cannot read '{path}': no file matches")
    kinds = {Path(p).suffix.lower() in PARQUET_SUFFIXES for p in files}
    if len(kinds) > 1:
        raise CLIError(f"'{path}' matches both Parquet and CSV files")
    return files


def read_partitioned(path):
    """The files of `path` as one dask DataFrame, one partition per file."""
    from quorvix.cli import CLIError, _need_pyarrow, _one_line

    try:
        import dask.dataframe as dd
        import quorvix.dask  # noqa: F401
    except ImportError as exc:
        raise CLIError(f"'{path}': a directory or glob of files is processed with Dask, "
                       f"which is not installed (pip install 'quorvix[dask]')") from exc

    files = _files(str(path))
    parquet = Path(files[0]).suffix.lower() in PARQUET_SUFFIXES
    try:
        if parquet:
            _need_pyarrow(files[0])
            # one file per partition, read column by column: little memory
            # beyond the partitions being worked on
            return quorvix.dask.read_parquet(files)
        return dd.read_csv(files, blocksize=None)
    except CLIError:
        raise
    except Exception as exc:
        raise CLIError(f"cannot read '{path}': {_one_line(exc)}") from exc


def _numbered(part, start):
    import pandas as pd

    return part.set_axis(pd.RangeIndex(start, start + len(part)), axis=0)


def read_numbered(path):
    """`path` as one dask DataFrame whose rows are numbered 0..n-1 across the
    files, as a single file's rows are (each file on its own would number
    its rows from 0, and rules match rows by label); and the row count.
    Files that store an index of their own keep it."""
    import dask.dataframe as dd
    import pandas as pd
    from dask import delayed

    ddf = read_partitioned(path)
    parts = ddf.to_delayed()
    files = _files(str(path))
    if Path(files[0]).suffix.lower() in PARQUET_SUFFIXES:
        # the row counts are in the files' footers: no pass over the data
        import pyarrow.parquet as pq

        lengths = [pq.read_metadata(f).num_rows for f in files]
    else:
        lengths = _compute_lengths(parts)
    index = ddf._meta.index
    if not (isinstance(index, pd.RangeIndex) and index.name is None):
        return ddf, sum(lengths)
    numbered, start = [], 0
    for part, n in zip(parts, lengths):
        numbered.append(delayed(_numbered)(part, start))
        start += n
    return dd.from_delayed(numbered, meta=ddf._meta, verify_meta=False), start


def _compute_lengths(parts):
    import quorvix.dask as qd
    from dask import delayed

    return qd._run("reading", [delayed(len)(p) for p in parts])


@contextlib.contextmanager
def scheduler(address, err):
    """Dask's local scheduler, or the distributed cluster at `address`; and
    per-partition progress lines on `err` meanwhile."""
    import quorvix.dask as qd

    def report(stage, done, total):
        if done:
            err.write(f"  {stage}: {done}/{total} partitions\n")
            err.flush()

    if not address:
        with qd.progress(report):
            yield
        return
    from distributed import Client

    from quorvix.cli import CLIError, _one_line

    try:
        client = Client(address, timeout="10s", set_as_default=False)
    except Exception as exc:
        raise CLIError(f"--scheduler: cannot connect to '{address}': {_one_line(exc)}") from exc
    try:
        with client.as_current(), qd.progress(report):
            import dask

            with dask.config.set(scheduler=client):
                yield
    finally:
        client.close()


def check_output_folder(path, option=None):
    from quorvix.cli import CLIError

    where = f"{option}: " if option else ""
    path = Path(path)
    if path.suffix.lower() in {".csv", *PARQUET_SUFFIXES}:
        raise CLIError(f"{where}a partitioned table is written as a folder of Parquet files: "
                       f"give a directory, not '{path}'")
    if path.exists() and (not path.is_dir() or any(path.iterdir())):
        raise CLIError(f"{where}cannot write to '{path}': it exists and is not an empty directory")
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise CLIError(f"{where}cannot write '{path}': directory '{parent}' does not exist")


def write_partitioned(ddf, path):
    ddf.to_parquet(str(path), write_index=False)


def rules_check(args, rules, out, err):
    from quorvix.cli import CLIError, _one_line, _rule_problems, print_rule_check, rule_hint
    from quorvix.tabular.rulix import Rulix

    import quorvix.dask as qd

    if args.output:
        check_output_folder(args.output, "--output")
    columns = read_partitioned(args.data).columns
    engine = Rulix()
    for rule in rules:
        try:
            engine.add_rule(rule)
        except ValueError as exc:
            hint = rule_hint(rule, str(exc), columns)
            raise CLIError(f"rule {rule!r}: {_one_line(exc)}" + (f" (hint: {hint})" if hint else "")) from exc
    with scheduler(args.scheduler, err):
        ddf, n_rows = read_numbered(args.data)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report = qd.validate(engine, ddf)
        problems = _rule_problems(rules, caught)
        if print_rule_check(report, rules, problems, n_rows, ddf.columns, args.fix, out, err):
            return 2
        remaining = report.total_violations
        if args.fix:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                fixed = qd.fix(report, ddf, args.fix, random_state=args.seed)
            for w in caught:
                err.write(f"warning: {w.message}\n")
            write_partitioned(fixed, args.output)
            written, n_fixed = read_numbered(args.output)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                remaining = qd.validate(engine, written).total_violations
            out.write(f"repaired with '{args.fix}': {n_fixed} rows written to {args.output}, "
                      f"{remaining} violations left\n")
    return 1 if remaining else 0


def privatize(args, preserve, out, err):
    from quorvix.cli import CLIError, _one_line, noise_options

    import quorvix.dask as qd

    check_output_folder(args.output)
    ddf = read_partitioned(args.input)
    method, epsilon = noise_options(args, preserve, ddf.columns, err)
    with scheduler(args.scheduler, err):
        try:
            noisy = qd.apply_privex(ddf, epsilon, method, preserve or None, args.seed)
        except ValueError as exc:
            raise CLIError(_one_line(exc)) from exc
        write_partitioned(noisy, args.output)
    budget = (f"epsilon {epsilon:g}" + (", delta 1e-05" if method == "gaussian" else "")
              if method != "minimal" else "not differential privacy")
    out.write(f"{ddf.npartitions} partitions perturbed with '{method}' ({budget}) -> "
              f"{args.output}\n")
    if preserve:
        out.write("left unchanged: " + ", ".join(preserve) + "\n")
    return 0


def evaluate(args, metrics, out, err):
    from quorvix.cli import CLIError, privacy_gate, read_table, write_text
    from quorvix.tabular.evaluator import TabularEvaluator

    import quorvix.dask as qd

    if args.bootstrap:
        raise CLIError("--bootstrap is not available for partitioned tables")
    for path in (args.html, args.json):
        if path:
            from quorvix.cli import check_output_dir

            check_output_dir(path)

    def load(path):
        if is_partitioned(path):
            return read_partitioned(path)
        import dask.dataframe as dd

        return dd.from_pandas(read_table(path), npartitions=1)

    real, synthetic = load(args.real), load(args.synthetic)
    if not [c for c in real.columns if c in set(synthetic.columns)]:
        raise CLIError(f"'{args.real}' and '{args.synthetic}' share no column")
    with scheduler(args.scheduler, err):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            report = qd.evaluate(real, synthetic, metrics=metrics, random_seed=args.seed,
                                 compute_privacy=not args.no_privacy)
        report.dataset_name = Path(args.real.rstrip("/")).name
        report.generator_name = Path(args.synthetic.rstrip("/")).name
        if args.html:
            # the plots need rows: a seeded sample of each table
            parts_r, parts_s = real.to_delayed(), synthetic.to_delayed()
            lengths_r = qd._lengths(parts_r)
            lengths_s = qd._lengths(parts_s)
            real_rows = qd._sample(parts_r, lengths_r, 50_000, args.seed, "plots: real rows")
            synth_rows = qd._sample(parts_s, lengths_s, 50_000, args.seed, "plots: synthetic rows")
            with warnings.catch_warnings():
                # matplotlib's layout notice about the heatmap's colour bar
                warnings.simplefilter("ignore", UserWarning)
                html = TabularEvaluator().to_html(report, None, real_rows, synth_rows)
            write_text(html, args.html)
    if args.json:
        write_text(report.to_json(), args.json)
    out.write(report.summary() + "\n")
    return privacy_gate(report, args.max_privacy_risk, err)
