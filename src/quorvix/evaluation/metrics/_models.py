"""Supervised-learning plumbing shared by the utility metrics.

A utility metric predicts one target column from the other shared columns
with a model trained on real rows and one trained on synthetic rows, and
looks at both on held-out real rows. This module prepares those pieces:

- the task is classification when the target is not numeric in both tables,
  or when the real target has at most ``max_classes`` distinct values
  (class labels are compared as text, numeric ones via their float value);
  otherwise it is regression;
- rows with a missing target are dropped; the real rows are split at random
  into a training part and a test part (``test_fraction`` of them), each
  capped in size, and the synthetic rows are capped likewise;
- features are encoded with :class:`~quorvix.evaluation.metrics._prep.Encoder`
  fitted on the real training part (at most 20 one-hot levels per
  categorical column);
- a classification target with more than ``MAX_MODEL_CLASSES`` (20) labels
  keeps its most frequent real training labels and files every other label
  under one "other" class, so the models' cost does not grow with the number
  of labels;
- the model is a random forest of ``N_TREES`` (20) trees, depth at most
  ``MAX_DEPTH`` (10), each split choosing among sqrt(features) features,
  grown on two threads when the fit is large enough to pay for the second
  (the same forest as on one), seeded from the caller's
  generator. With the row caps its cost
  is bounded by O(trees * rows * log(rows) * sqrt(features)), whatever the
  table's size or the number of labels.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass
from typing import Hashable, Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    Encoder,
    _holds_text_only,
    check_pair,
    common_columns,
    float_values,
    is_numeric_pair,
)

MIN_REAL_ROWS = 5
# Trees are grown on both cores: each tree's randomness comes from the seed,
# so the forest is the same with one thread or two (predictions are made on
# one thread, which sums the trees in their order).
_N_JOBS = 2 if (os.cpu_count() or 1) >= 2 else 1
_PARALLEL_MIN_FIT = 100_000  # training rows x trees
MAX_MODEL_CLASSES = 20
# 20 trees score within the noise of the test rows of 40 (e.g. R^2 0.422 vs
# 0.425, chance-corrected accuracy 0.238 vs 0.240 on the benchmark pair) at
# half the cost
N_TREES = 20
MAX_DEPTH = 10
OTHER_CLASS = "\x00other"


@dataclass
class SupervisedSplit:
    task: str  # "classification" or "regression"
    target: Hashable
    x_real_train: np.ndarray
    y_real_train: np.ndarray
    x_synth_train: np.ndarray
    y_synth_train: np.ndarray
    x_test: np.ndarray
    y_test: np.ndarray
    target_std: float


def _labels(col: pd.Series, numeric: bool) -> np.ndarray:
    """Class labels of the column's values (all present): the text of each
    value, ``repr(float(v))`` for numbers. Each distinct value is turned into
    text once."""
    if numeric:
        values = float_values(col)
        # by bit pattern, so that -0.0 and 0.0 keep their own texts
        bits, inverse = np.unique(values.view(np.int64), return_inverse=True)
        texts = np.array([repr(float(v)) for v in bits.view(np.float64)], dtype=object)
        return texts[inverse.reshape(-1)] if len(values) else np.empty(0, dtype=object)
    if _holds_text_only(col) and not col.isna().any():
        codes, uniques = pd.factorize(col)
        texts = np.array([str(v) for v in np.asarray(uniques, dtype=object)], dtype=object)
        return texts[codes] if len(codes) else np.empty(0, dtype=object)
    return np.array([str(v) for v in np.asarray(col, dtype=object)], dtype=object)


def _n_distinct_labels(col: pd.Series, numeric: bool) -> int:
    """len(set(_labels(col, numeric))) for a column without missing values."""
    if numeric:
        return np.unique(float_values(col)).size
    if _holds_text_only(col):
        return int(col.nunique(dropna=True))
    return len(set(_labels(col, False)))


@dataclass
class _Target:
    numeric: bool
    task: str
    real_rows: np.ndarray  # positions of the rows with a target value
    synth_rows: np.ndarray


def check_target(real: pd.DataFrame, synth: pd.DataFrame, target: Hashable,
                 max_classes: int = 10) -> _Target:
    """The task for ``target`` and the rows with a target value in both
    tables; ``ValueError`` when the column cannot be a target."""
    check_pair(real, synth)
    if target not in real.columns or target not in synth.columns:
        raise ValueError(f"target column {target!r} must be present in both tables")
    if not any(c != target for c in common_columns(real, synth)):
        raise ValueError("no feature columns shared by both tables besides the target")
    numeric = is_numeric_pair(real[target], synth[target])
    if numeric:
        real_rows = np.flatnonzero(~np.isnan(float_values(real[target])))
        synth_rows = np.flatnonzero(~np.isnan(float_values(synth[target])))
    else:
        real_rows = np.flatnonzero(real[target].notna().to_numpy())
        synth_rows = np.flatnonzero(synth[target].notna().to_numpy())
    if len(real_rows) < MIN_REAL_ROWS:
        raise ValueError(
            f"need at least {MIN_REAL_ROWS} real rows with a target value, have {len(real_rows)}")
    if len(synth_rows) < 2:
        raise ValueError(
            f"need at least 2 synthetic rows with a target value, have {len(synth_rows)}")
    n_distinct = _n_distinct_labels(real[target].iloc[real_rows], numeric)
    if n_distinct < 2:
        raise ValueError(f"target column {target!r} has fewer than two distinct values")
    task = "classification" if (not numeric or n_distinct <= max_classes) else "regression"
    return _Target(numeric, task, real_rows, synth_rows)


def _pool_labels(y: dict, train_key: str) -> dict:
    """Classes beyond the ``MAX_MODEL_CLASSES`` most frequent labels of
    ``y[train_key]`` become ``OTHER_CLASS`` in every array of ``y``."""
    labels, counts = np.unique(y[train_key].astype(str), return_counts=True)
    if len(labels) <= MAX_MODEL_CLASSES:
        return y
    order = np.argsort(-counts, kind="stable")
    keep = set(labels[order[:MAX_MODEL_CLASSES]].tolist())
    return {name: np.array([v if v in keep else OTHER_CLASS for v in arr], dtype=object)
            for name, arr in y.items()}


def prepare(real: pd.DataFrame, synth: pd.DataFrame, target: Hashable,
            rng: np.random.Generator, *, max_classes: int = 10,
            test_fraction: float = 0.3, max_train_rows: int = 5000,
            max_test_rows: int = 2000) -> SupervisedSplit:
    info = check_target(real, synth, target, max_classes)
    features = [c for c in common_columns(real, synth) if c != target]
    numeric, task = info.numeric, info.task
    real_rows, synth_rows = info.real_rows, info.synth_rows

    # only the rows picked below are copied out of the tables (the same rows,
    # in the same order, as filtering the whole tables first and picking
    # from those)
    order = rng.permutation(len(real_rows))
    n_test = min(max_test_rows, max(1, int(round(test_fraction * len(real_rows)))))
    test = real.iloc[real_rows[np.sort(order[:n_test])]]
    train = real.iloc[real_rows[np.sort(order[n_test:][:max_train_rows])]]
    if max_train_rows is not None and len(synth_rows) > max_train_rows:
        # the draw of _prep.subsample(), on the rows with a target value
        synth_rows = synth_rows[np.sort(rng.choice(len(synth_rows), size=int(max_train_rows),
                                                   replace=False))]
    synth = synth.iloc[synth_rows]

    enc = Encoder(train, synth, features)
    if task == "classification":
        y = _pool_labels({name: _labels(df[target], numeric)
                          for name, df in (("train", train), ("synth", synth), ("test", test))},
                         "train")
        target_std = float("nan")
    else:
        y = {name: float_values(df[target])
             for name, df in (("train", train), ("synth", synth), ("test", test))}
        target_std = float(np.std(y["train"]))
    return SupervisedSplit(
        task=task, target=target,
        x_real_train=enc.transform(train), y_real_train=y["train"],
        x_synth_train=enc.transform(synth), y_synth_train=y["synth"],
        x_test=enc.transform(test), y_test=y["test"],
        target_std=target_std,
    )


def fit_predict(task: str, x_train: np.ndarray, y_train: np.ndarray,
                x_test: np.ndarray, seed: int, n_trees: int = N_TREES) -> np.ndarray:
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    cls = RandomForestClassifier if task == "classification" else RandomForestRegressor
    # a second thread pays for its start only on larger fits
    n_jobs = _N_JOBS if len(x_train) * n_trees >= _PARALLEL_MIN_FIT else 1
    model = cls(n_estimators=n_trees, max_depth=MAX_DEPTH, max_features="sqrt",
                random_state=seed, n_jobs=n_jobs)
    if task == "classification":
        # integer codes: the forest's per-tree checks of text labels cost more
        # than the trees themselves on small samples
        labels, codes = np.unique(np.asarray(y_train).astype(str), return_inverse=True)
        with warnings.catch_warnings():
            # many text classes is a deliberate choice here (a non-numeric target)
            warnings.filterwarnings("ignore", message="The number of unique classes")
            model.fit(x_train, codes)
        model.set_params(n_jobs=1)  # trees' votes summed in their order, as on one thread
        return labels[model.predict(x_test)].astype(object)
    model.fit(x_train, y_train)
    # the trees' predictions are summed in tree order, as on one thread
    # (threads would add them in the order they finish)
    model.set_params(n_jobs=1)
    return model.predict(x_test)


def seed_from(rng: np.random.Generator) -> int:
    return int(rng.integers(0, 2**31 - 1))


def _n_distinct(col: pd.Series) -> int:
    try:
        return int(col.nunique(dropna=True))
    except TypeError:  # unhashable entries
        return len({str(v) for v in col.dropna()})


def target_candidates(real: pd.DataFrame, synth: pd.DataFrame,
                      max_candidates: int) -> list:
    """Up to ``max_candidates`` shared columns with at least two distinct
    non-missing real values, from the last column (in real order) backwards."""
    out = []
    for col in reversed(common_columns(real, synth)):
        if _n_distinct(real[col]) >= 2:
            out.append(col)
            if len(out) >= max_candidates:
                break
    return out


def default_target(real: pd.DataFrame, synth: pd.DataFrame,
                   target: Optional[Hashable] = None) -> Hashable:
    """The given target, or the last shared column (in real order) with at
    least two distinct non-missing real values."""
    if target is not None:
        return target
    found = target_candidates(real, synth, 1)
    if not found:
        raise ValueError("no shared column with at least two distinct values to predict")
    return found[0]
