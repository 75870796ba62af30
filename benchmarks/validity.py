"""Do the metrics rank cases with a known answer correctly?

    python benchmarks/validity.py [--seed S] [--tables wine,penguins,...]

Each real table that a package ships (scikit-learn's wine, breast cancer and
diabetes tables, the Palmer penguins) is split at random into halves A and B.
A is the real table; the synthetic candidates are

- ``copy``: A itself;
- ``fresh``: B, a new sample of the same population;
- ``near-copy``: A with 5 % noise on its numeric columns (Gaussian, with a
  standard deviation of 5 % of the column's; whole-number columns are rounded
  back to whole numbers);
- ``shuffled``: every column of B permuted on its own, so the marginals stay
  and the relations between columns are gone;
- ``random``: uniform values in each column's range (whole numbers for
  whole-number columns) and uniform categories.

Every candidate is scored with the evaluator's default suite (privacy metrics
included). Per-column metrics (ks_complement_<col>, ...) are averaged over the
columns into one figure per family. The script prints the metric x candidate
table of every data set, the privacy verdict of every candidate, and every
required ordering that fails; it exits 1 when one fails.

The orderings (``REQUIRED``) are what each metric's meaning demands:

- fidelity (higher = closer): fresh > random, and copy >= fresh except for the
  two model-based metrics (a copy holds the real test rows);
- relation metrics (correlations, MMD, prediction agreement, TSTR):
  fresh > shuffled;
- membership_inference_auc (risk, lower is safer): copy > fresh and
  near-copy > fresh;
- likelihood_leak (1 = no leak): fresh > copy;
- distance_to_closest_record (privacy score): copy < near-copy < fresh, a
  fresh sample passes the report's 0.65 mark, a copy scores at most 0.05,
  random data passes the mark too;
- the privacy verdict: copy is HIGH, fresh is LOW;
- every metric of the default suite has a value for every candidate.
"""

from __future__ import annotations

import argparse
import math
import sys
import warnings
from typing import Dict, List, Tuple

import numpy as np
import pandas as pd

CANDIDATES = ["copy", "fresh", "near-copy", "shuffled", "random"]
TABLES = ["wine", "breast_cancer", "diabetes", "penguins"]
PER_COLUMN = ["ks_complement", "wasserstein", "total_variation", "hellinger", "jensen_shannon"]
FIDELITY = PER_COLUMN + ["pearson_correl_diff", "spearman_correl_diff", "correlation_matrix_distance",
                         "mmd_rbf", "prediction_agreement", "alpha_precision", "beta_recall",
                         "tstr_normalized"]
MODEL_BASED = {"prediction_agreement", "tstr_normalized"}
RELATION = ["pearson_correl_diff", "spearman_correl_diff", "correlation_matrix_distance", "mmd_rbf",
            "prediction_agreement", "tstr_normalized"]
# rows of the printed table, in this order
ROWS = FIDELITY + ["likelihood_leak", "membership_inference_auc", "distance_to_closest_record"]

# (metric, greater, smaller): metric[greater] > metric[smaller]; ">=" allows equality
REQUIRED: List[Tuple[str, str, str, str]] = (
    [(m, "fresh", ">", "random") for m in FIDELITY]
    + [(m, "copy", ">=", "fresh") for m in FIDELITY if m not in MODEL_BASED]
    + [(m, "fresh", ">", "shuffled") for m in RELATION]
    + [("membership_inference_auc", "copy", ">", "fresh"),
       ("membership_inference_auc", "near-copy", ">", "fresh"),
       ("likelihood_leak", "fresh", ">", "copy"),
       ("distance_to_closest_record", "near-copy", ">", "copy"),
       ("distance_to_closest_record", "fresh", ">", "near-copy")]
)
# (metric, candidate, op, bound)
BOUNDS = [
    ("distance_to_closest_record", "fresh", ">=", 0.65),
    ("distance_to_closest_record", "random", ">=", 0.65),
    ("distance_to_closest_record", "copy", "<=", 0.05),
]
VERDICTS = {"copy": "HIGH", "fresh": "LOW"}


# --------------------------------------------------------------------------------------
# Tables and candidates


def load_table(name: str) -> pd.DataFrame:
    """One of ``TABLES`` as a DataFrame (the sklearn tables with their target
    column, the penguins as the package ships them)."""
    if name == "penguins":
        from quorvix.cli import penguins

        return penguins()
    from sklearn import datasets

    loader = {"wine": datasets.load_wine, "breast_cancer": datasets.load_breast_cancer,
              "diabetes": datasets.load_diabetes}[name]
    return loader(as_frame=True).frame


def _is_whole(col: pd.Series) -> bool:
    return pd.api.types.is_integer_dtype(col.dtype)


def make_candidates(table: pd.DataFrame, seed: int = 0) -> Tuple[pd.DataFrame, Dict[str, pd.DataFrame]]:
    """(A, {candidate name: synthetic table}) for one real table."""
    rng = np.random.default_rng(seed)
    order = rng.permutation(len(table))
    half = len(table) // 2
    a = table.iloc[np.sort(order[:half])].reset_index(drop=True)
    b = table.iloc[np.sort(order[half:2 * half])].reset_index(drop=True)

    near = a.copy()
    for c in a.columns:
        col = a[c]
        if pd.api.types.is_numeric_dtype(col.dtype) and not pd.api.types.is_bool_dtype(col.dtype):
            values = col.to_numpy(dtype="float64", na_value=np.nan)
            sd = np.nanstd(values)
            noisy = values + rng.normal(scale=0.05 * sd if sd > 0 else 0.0, size=len(values))
            if _is_whole(col):
                near[c] = pd.Series(np.round(noisy)).astype(col.dtype)
            else:
                near[c] = noisy

    shuffled = pd.DataFrame({c: b[c].to_numpy()[rng.permutation(len(b))] for c in b.columns})
    shuffled = shuffled.astype(b.dtypes.to_dict())

    random = {}
    for c in a.columns:
        col = a[c]
        if pd.api.types.is_numeric_dtype(col.dtype) and not pd.api.types.is_bool_dtype(col.dtype):
            lo, hi = float(col.min()), float(col.max())
            if _is_whole(col):
                random[c] = rng.integers(int(lo), int(hi) + 1, size=half).astype(col.dtype)
            else:
                random[c] = rng.uniform(lo, hi, size=half)
        else:
            levels = col.dropna().unique()
            random[c] = levels[rng.integers(0, len(levels), size=half)]
    random = pd.DataFrame(random)
    return a, {"copy": a, "fresh": b, "near-copy": near, "shuffled": shuffled, "random": random}


# --------------------------------------------------------------------------------------
# Scores


def score(real: pd.DataFrame, synthetic: pd.DataFrame, seed: int = 0):
    """(figures, report): the default suite's values with the per-column
    families averaged, and the report itself."""
    from quorvix.tabular.evaluator import TabularEvaluator

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = TabularEvaluator(random_seed=seed).evaluate(real, synthetic)
    figures: Dict[str, float] = {}
    per_column: Dict[str, List[float]] = {p: [] for p in PER_COLUMN}
    for name, m in report.all_metrics.items():
        family = next((p for p in PER_COLUMN if name.startswith(p + "_") or name == p), None)
        if family is not None:
            per_column[family].append(float(m.value))
        else:
            figures[name] = float(m.value)
    for family, values in per_column.items():
        if values:
            figures[family] = float(np.mean(values))
    return figures, report


def privacy_verdict(report):
    """The report's privacy verdict (level, reason), or (None, why) when this
    build has none."""
    fn = getattr(report, "privacy_verdict", None)
    if fn is None:
        return None, "no privacy verdict"
    verdict = fn()
    return verdict.level, verdict.reason


def _holds(a: float, op: str, b: float) -> bool:
    if not (math.isfinite(a) and math.isfinite(b)):
        return False
    return a > b if op == ">" else a >= b if op == ">=" else a <= b


def check(figures: Dict[str, Dict[str, float]], verdicts: Dict[str, str]) -> List[str]:
    """The failed requirements for one table, as readable lines."""
    failed = []
    for cand in CANDIDATES:
        for m in ROWS:
            if m not in figures[cand]:
                failed.append(f"{m}: no value for {cand}")
    for m, hi, op, lo in REQUIRED:
        a, b = figures[hi].get(m, math.nan), figures[lo].get(m, math.nan)
        if (m in figures[hi]) and (m in figures[lo]) and not _holds(a, op, b):
            failed.append(f"{m}: {hi} {op} {lo} fails ({a:.4f} vs {b:.4f})")
    for m, cand, op, bound in BOUNDS:
        if m in figures[cand] and not _holds(figures[cand][m], op, bound):
            failed.append(f"{m}: {cand} {op} {bound} fails ({figures[cand][m]:.4f})")
    for cand, level in VERDICTS.items():
        if verdicts.get(cand) != level:
            failed.append(f"privacy verdict: {cand} should be {level}, is {verdicts.get(cand)}")
    return failed


def run_table(name: str, seed: int = 0):
    """(figures per candidate, verdicts per candidate, failures) for one table."""
    real, cands = make_candidates(load_table(name), seed)
    figures, verdicts, reasons = {}, {}, {}
    for cand, synth in cands.items():
        figures[cand], report = score(real, synth, seed)
        verdicts[cand], reasons[cand] = privacy_verdict(report)
    return figures, verdicts, check(figures, verdicts)


def format_table(name: str, n_rows: int, figures, verdicts) -> str:
    width = max(len(m) for m in ROWS)
    lines = [f"== {name} (A: {n_rows} rows) ==",
             f"{'metric':<{width}}  " + "  ".join(f"{c:>9}" for c in CANDIDATES)]
    for m in ROWS:
        cells = []
        for c in CANDIDATES:
            v = figures[c].get(m)
            cells.append(f"{'-' if v is None else f'{v:.4f}':>9}")
        lines.append(f"{m:<{width}}  " + "  ".join(cells))
    lines.append(f"{'privacy verdict':<{width}}  "
                 + "  ".join(f"{str(verdicts[c] or '-'):>9}" for c in CANDIDATES))
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--tables", default=",".join(TABLES))
    args = parser.parse_args(argv)
    all_failed = 0
    for name in args.tables.split(","):
        table = load_table(name)
        figures, verdicts, failed = run_table(name, args.seed)
        print(format_table(name, len(table) // 2, figures, verdicts))
        if failed:
            print(f"-- {len(failed)} required ordering(s) fail:")
            for line in failed:
                print("   " + line)
        else:
            print("-- every required ordering holds")
        print()
        all_failed += len(failed)
    return 1 if all_failed else 0


if __name__ == "__main__":
    sys.exit(main())
