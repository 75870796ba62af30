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
      values): the share of test rows on which the two models predict the
      same class;
    - regression: Lin's concordance correlation coefficient of the two
      models' predictions p (real model) and q (synthetic model) over the
      test rows, floored at 0:

          CCC = 2 cov(p, q) / (var(p) + var(q) + (mean(p) - mean(q))^2)

      1 when the predictions are equal, lower as they drift apart in
      correlation, in scale or by an offset; 0 when the synthetic model's
      predictions are unrelated to the real model's (or anti-related). When
      both models predict one constant the score is 1 if the constants are
      equal and 0 otherwise.

    Raises ``ValueError`` when the target is missing from a table, has fewer
    than two distinct values, there is no other shared column, or there are
    too few rows (fewer than 5 real or 2 synthetic rows with a target value).

    ``tolerance`` is kept for backward compatibility and no longer used.

    Cost: the row caps bound the model training and prediction, so beyond
    one pass over each table (dropping missing targets, drawing the split)
    the cost does not grow with the row count; the forests' cost does not
    grow with the number of classes or features beyond sqrt(features) (see
    :mod:`quorvix.evaluation.metrics._models`).
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
            value = float(np.mean(pred_real == pred_synth))
        else:
            value = concordance(pred_real, pred_synth)
        self.last_details = {
            "task": split.task,
            "n_test": int(len(split.y_test)),
            "n_real_train": int(len(split.y_real_train)),
            "n_synthetic_train": int(len(split.y_synth_train)),
        }
        return value


def concordance(p: np.ndarray, q: np.ndarray) -> float:
    """Lin's concordance correlation coefficient of two prediction vectors,
    floored at 0 (see ``PredictionAgreementMetrics``)."""
    p = np.asarray(p, dtype="float64")
    q = np.asarray(q, dtype="float64")
    mp, mq = p.mean(), q.mean()
    vp, vq = p.var(), q.var()
    denom = vp + vq + (mp - mq) ** 2
    if denom <= 0.0:  # both constant and equal
        return 1.0
    cov = float(np.mean((p - mp) * (q - mq)))
    return float(min(1.0, max(0.0, 2.0 * cov / denom)))
