"""Utility of a synthetic table for predicting a column of the real one."""

from __future__ import annotations

from typing import Hashable, Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics import _models
from quorvix.evaluation.metrics._prep import make_rng

__all__ = ["PredictionAgreementMetrics"]


class PredictionAgreementMetrics:
    """Agreement of a model trained on real rows with one trained on
    synthetic rows.

    The real rows (with a target value) are split at random into a training
    part and a test part of ``test_fraction`` of them (at most
    ``max_test_rows``); the training part and the synthetic rows are each
    capped at ``max_train_rows`` rows. Two random forests of the same kind,
    one per training set, predict the target ``target`` of the real test rows
    from the other shared columns (see :mod:`quorvix.evaluation.metrics._models`
    for the encoding and the choice of task).

    - classification (non-numeric target, or at most ``max_classes`` distinct
      values): two predictions agree when they are the same class;
    - regression: two predictions agree when they differ by at most
      ``tolerance`` times the standard deviation of the real training target.

    Raises ``ValueError`` when the target is missing from a table, has fewer
    than two distinct values, there is no other shared column, or there are
    too few rows (fewer than 5 real or 2 synthetic rows with a target value).

    Cost: the row caps bound the model training and prediction, so beyond
    one pass over each table (dropping missing targets, drawing the split)
    the cost does not grow with the row count. With the defaults the two
    forests dominate it, regression (every feature tried at every split)
    several times more than classification.
    """

    def __init__(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame,
                 target: Hashable, random_seed: Optional[int] = None,
                 tolerance: float = 0.25, max_classes: int = 10,
                 test_fraction: float = 0.3, max_train_rows: int = 5000,
                 max_test_rows: int = 2000) -> None:
        if not 0.0 < float(test_fraction) < 1.0:
            raise ValueError(f"test_fraction must be in (0, 1), got {test_fraction}")
        if not float(tolerance) >= 0.0:
            raise ValueError(f"tolerance must be >= 0, got {tolerance}")
        self.real_data = real_data
        self.synthetic_data = synthetic_data
        self.target = target
        self.random_seed = random_seed
        self.tolerance = float(tolerance)
        self.max_classes = int(max_classes)
        self.test_fraction = float(test_fraction)
        self.max_train_rows = int(max_train_rows)
        self.max_test_rows = int(max_test_rows)
        self.last_details: dict = {}

    def prediction_agreement_percentage(self) -> float:
        """Share of real test rows (in [0, 1]) on which the two models'
        predictions agree. Details of the last call are kept in
        ``last_details`` (task, row counts)."""
        rng = make_rng(self.random_seed)
        split = _models.prepare(
            self.real_data, self.synthetic_data, self.target, rng,
            max_classes=self.max_classes, test_fraction=self.test_fraction,
            max_train_rows=self.max_train_rows, max_test_rows=self.max_test_rows)
        seed = _models.seed_from(rng)
        pred_real = _models.fit_predict(split.task, split.x_real_train,
                                        split.y_real_train, split.x_test, seed)
        pred_synth = _models.fit_predict(split.task, split.x_synth_train,
                                         split.y_synth_train, split.x_test, seed)
        if split.task == "classification":
            agree = pred_real == pred_synth
        else:
            agree = np.abs(pred_real - pred_synth) <= self.tolerance * split.target_std
        self.last_details = {
            "task": split.task,
            "n_test": int(len(split.y_test)),
            "n_real_train": int(len(split.y_real_train)),
            "n_synthetic_train": int(len(split.y_synth_train)),
        }
        return float(np.mean(agree))
