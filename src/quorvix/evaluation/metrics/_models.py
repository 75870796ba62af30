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
- the model is a random forest of ``N_TREES`` (40) trees, depth at most
  ``MAX_DEPTH`` (10), each split choosing among sqrt(features) features, on
  one thread, seeded from the caller's generator. With the row caps its cost
  is bounded by O(trees * rows * log(rows) * sqrt(features)), whatever the
  table's size or the number of labels.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Hashable, Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    Encoder,
    check_pair,
    common_columns,
    float_values,
    is_numeric_pair,
    subsample,
)

MIN_REAL_ROWS = 5
MAX_MODEL_CLASSES = 20
N_TREES = 40
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
    if numeric:
        return np.array([repr(float(v)) for v in float_values(col)], dtype=object)
    return np.array([str(v) for v in np.asarray(col, dtype=object)], dtype=object)


def prepare(real: pd.DataFrame, synth: pd.DataFrame, target: Hashable,
            rng: np.random.Generator, *, max_classes: int = 10,
            test_fraction: float = 0.3, max_train_rows: int = 5000,
            max_test_rows: int = 2000) -> SupervisedSplit:
    check_pair(real, synth)
    if target not in real.columns or target not in synth.columns:
        raise ValueError(f"target column {target!r} must be present in both tables")
    features = [c for c in common_columns(real, synth) if c != target]
    if not features:
        raise ValueError("no feature columns shared by both tables besides the target")

    numeric = is_numeric_pair(real[target], synth[target])
    if numeric:
        real = real[~np.isnan(float_values(real[target]))]
        synth = synth[~np.isnan(float_values(synth[target]))]
    else:
        real = real[real[target].notna().to_numpy()]
        synth = synth[synth[target].notna().to_numpy()]
    if len(real) < MIN_REAL_ROWS:
        raise ValueError(
            f"need at least {MIN_REAL_ROWS} real rows with a target value, have {len(real)}")
    if len(synth) < 2:
        raise ValueError(
            f"need at least 2 synthetic rows with a target value, have {len(synth)}")

    if numeric:
        n_distinct = np.unique(float_values(real[target])).size
    else:
        n_distinct = len(set(_labels(real[target], False)))
    if n_distinct < 2:
        raise ValueError(f"target column {target!r} has fewer than two distinct values")
    task = "classification" if (not numeric or n_distinct <= max_classes) else "regression"

    order = rng.permutation(len(real))
    n_test = min(max_test_rows, max(1, int(round(test_fraction * len(real)))))
    test = real.iloc[np.sort(order[:n_test])]
    train = real.iloc[np.sort(order[n_test:][:max_train_rows])]
    synth = subsample(synth, max_train_rows, rng)

    enc = Encoder(train, synth, features)
    if task == "classification":
        y = {name: _labels(df[target], numeric)
             for name, df in (("train", train), ("synth", synth), ("test", test))}
        labels, counts = np.unique(y["train"].astype(str), return_counts=True)
        if len(labels) > MAX_MODEL_CLASSES:
            order = np.argsort(-counts, kind="stable")
            keep = set(labels[order[:MAX_MODEL_CLASSES]].tolist())
            y = {name: np.array([v if v in keep else OTHER_CLASS for v in arr], dtype=object)
                 for name, arr in y.items()}
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
    model = cls(n_estimators=n_trees, max_depth=MAX_DEPTH, max_features="sqrt",
                random_state=seed, n_jobs=1)
    if task == "classification":
        # integer codes: the forest's per-tree checks of text labels cost more
        # than the trees themselves on small samples
        labels, codes = np.unique(np.asarray(y_train).astype(str), return_inverse=True)
        with warnings.catch_warnings():
            # many text classes is a deliberate choice here (a non-numeric target)
            warnings.filterwarnings("ignore", message="The number of unique classes")
            model.fit(x_train, codes)
        return labels[model.predict(x_test)].astype(object)
    model.fit(x_train, y_train)
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
