"""Train-on-synthetic, test-on-real utility, normalised by train-on-real."""

from __future__ import annotations

import warnings
from typing import Hashable, Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics import _models
from quorvix.evaluation.metrics._prep import check_pair, make_rng
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["TSTRNormalizedMetric"]


class TSTRNormalizedMetric:
    """TSTR / TRTR: how well a model trained on synthetic data does on real
    data, relative to one trained on real data.

    The target is ``target`` when given, else the last shared column (in the
    real table's order) with at least two distinct real values. The real rows
    with a target value are split at random into a training part and a test
    part (30 %, at most 2,000 rows); the real training part and the synthetic
    rows are capped at 5,000 rows each. Two random forests, one trained on
    each, are scored on the real test part (see
    :mod:`quorvix.evaluation.metrics._models` for the task and the encoding).
    Both scores are chance-corrected, so 0 means "no better than guessing":
    balanced accuracy adjusted for chance for classification, R^2 for
    regression. The value is max(0, TSTR) / TRTR capped at 1.

    Raises ``ValueError`` when there is no usable target or too few rows, and
    when the model trained on real data scores below ``min_trtr`` (the target
    cannot be predicted from the real data, so the ratio would be noise).

    The row caps bound the cost of the models; only the choice of the
    target and the split pass over whole tables (O(n)).
    """

    def __init__(self, random_seed: Optional[int] = None,
                 target: Optional[Hashable] = None, min_trtr: float = 0.05) -> None:
        self.random_seed = random_seed
        self.target = target
        self.min_trtr = float(min_trtr)

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> MetricResult:
        """The "tstr_normalized" result (category "utility") in [0, 1]."""
        from sklearn.metrics import balanced_accuracy_score, r2_score

        check_pair(real_data, synthetic_data)
        target = _models.default_target(real_data, synthetic_data, self.target)
        rng = make_rng(self.random_seed)
        split = _models.prepare(real_data, synthetic_data, target, rng)
        seed = _models.seed_from(rng)
        pred_real = _models.fit_predict(split.task, split.x_real_train,
                                        split.y_real_train, split.x_test, seed)
        pred_synth = _models.fit_predict(split.task, split.x_synth_train,
                                         split.y_synth_train, split.x_test, seed)
        if split.task == "classification":
            def score(pred):
                with warnings.catch_warnings():  # classes absent from a prediction
                    warnings.simplefilter("ignore", UserWarning)
                    return float(balanced_accuracy_score(split.y_test, pred,
                                                         adjusted=True))
            score_name = "balanced_accuracy_adjusted"
        else:
            if len(split.y_test) < 2:
                raise ValueError("R^2 needs at least two real test rows")

            def score(pred):
                return float(r2_score(split.y_test, pred))
            score_name = "r2"
        trtr = score(pred_real)
        tstr = score(pred_synth)
        if not np.isfinite(trtr) or trtr < self.min_trtr or trtr <= 0.0:
            raise ValueError(
                f"the model trained on real data does not predict {target!r} "
                f"({score_name} = {trtr:.4f} < {self.min_trtr}); "
                "TSTR cannot be normalised")
        value = float(min(1.0, max(0.0, tstr) / trtr))
        return MetricResult(
            name="tstr_normalized",
            value=value,
            category="utility",
            higher_is_better=True,
            description=("Train-synthetic/test-real score divided by "
                         "train-real/test-real score, capped to [0, 1]."),
            details={
                "target": str(target),
                "task": split.task,
                "score": score_name,
                "tstr": tstr,
                "trtr": trtr,
                "n_test": int(len(split.y_test)),
                "n_real_train": int(len(split.y_real_train)),
                "n_synthetic_train": int(len(split.y_synth_train)),
            },
        )
