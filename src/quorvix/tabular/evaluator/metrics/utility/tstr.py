"""Train-on-synthetic, test-on-real utility, normalised by train-on-real."""

from __future__ import annotations

import warnings
from types import SimpleNamespace
from typing import Hashable, List, Optional, Tuple

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics import _models
from quorvix.evaluation.metrics._prep import Encoder, check_pair, float_values, make_rng
from quorvix.tabular.evaluator.report import MetricResult

__all__ = ["TSTRNormalizedMetric"]


def _scorer(split: _models.SupervisedSplit):
    """(score function of predictions on the real test rows, its name)."""
    from sklearn.metrics import balanced_accuracy_score, r2_score

    if split.task == "classification":
        def score(pred):
            # classes absent from a prediction warn; a test part holding one
            # class divides by zero (the score is then not finite)
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore", UserWarning)
                warnings.simplefilter("ignore", RuntimeWarning)
                return float(balanced_accuracy_score(split.y_test, pred, adjusted=True))
        return score, "balanced_accuracy_adjusted"
    if len(split.y_test) < 2:
        raise ValueError("R^2 needs at least two real test rows")

    def score(pred):
        return float(r2_score(split.y_test, pred))
    return score, "r2"


class TSTRNormalizedMetric:
    """TSTR / TRTR: how well a model trained on synthetic data does on real
    data, relative to one trained on real data.

    The target column:

    - ``target`` when given;
    - otherwise the column the real data predicts best among a few
      candidates: the last ``max_candidates`` (5) shared columns, in the real
      table's order, that hold at least two distinct real values. One
      seeded sample of at most ``select_train_rows + select_test_rows``
      real rows is encoded once; for each candidate its rows with a target
      value are split into a test part (30 %, at most ``select_test_rows``)
      and a training part, a model of ``select_trees`` trees is trained on
      the other columns' encoding and scored on the test part (TRTR), and
      the candidate with the highest score is the target. So a hard-to-predict column (an identifier, a
      year, free text) never hides the metric while the table holds a
      predictable one; ``details["candidates"]`` records every candidate's
      score.

    The real rows with a target value are then split at random into a
    training part and a test part (30 %, at most 2,000 rows); the real
    training part and the synthetic rows are capped at 5,000 rows each. Two
    random forests, one trained on each, are scored on the real test part
    (see :mod:`quorvix.evaluation.metrics._models` for the task, the
    encoding and the bounded model). Both scores are chance-corrected, so 0
    means "no better than guessing": balanced accuracy adjusted for chance
    for classification, R^2 for regression. The value is
    max(0, TSTR) / TRTR capped at 1.

    Raises ``ValueError`` when there is no usable target or too few rows, and
    when the model trained on real data scores below ``min_trtr`` for every
    candidate (nothing in the table can be predicted from the rest, so the
    ratio would be noise).

    The row caps bound the cost of the models; choosing the target costs
    one encoding of the small sample and ``max_candidates`` small model
    fits, and only the choice of the
    candidates and the splits pass over whole tables (O(n)).
    """

    def __init__(self, random_seed: Optional[int] = None,
                 target: Optional[Hashable] = None, min_trtr: float = 0.05,
                 max_candidates: int = 5, select_train_rows: int = 1000,
                 select_test_rows: int = 500, select_trees: int = 10) -> None:
        if int(max_candidates) < 1:
            raise ValueError(f"max_candidates must be >= 1, got {max_candidates}")
        self.random_seed = random_seed
        self.target = target
        self.min_trtr = float(min_trtr)
        self.max_candidates = int(max_candidates)
        self.select_train_rows = int(select_train_rows)
        self.select_test_rows = int(select_test_rows)
        self.select_trees = int(select_trees)

    def _choose_target(self, real: pd.DataFrame, synth: pd.DataFrame
                       ) -> Tuple[Hashable, List[Tuple[str, float]]]:
        if self.target is not None:
            return self.target, []
        candidates = _models.target_candidates(real, synth, self.max_candidates)
        if not candidates:
            raise ValueError("no shared column with at least two distinct values to predict")
        if len(candidates) == 1:
            return candidates[0], []
        # one sample of real rows, encoded once, serves every candidate: each
        # one's block of encoded columns is left out of its features
        rng = make_rng(None if self.random_seed is None else self.random_seed + 7919)
        n_sample = min(len(real), self.select_train_rows + self.select_test_rows)
        rows = np.sort(rng.choice(len(real), size=n_sample, replace=False))
        order = rng.permutation(n_sample)
        seed = _models.seed_from(rng)
        sample = real.iloc[rows]
        enc = Encoder(sample, synth)
        x = enc.transform(sample)
        slices = enc.feature_slices()
        scored = []
        errors = []
        for col in candidates:
            try:
                trtr = self._candidate_score(real, synth, col, rows, order, sample, x,
                                             slices[col], seed)
            except ValueError as exc:
                errors.append(f"{col!r}: {exc}")
                continue
            scored.append((col, trtr if np.isfinite(trtr) else -np.inf))
        if not scored:
            raise ValueError("no candidate target column can be modelled: " + "; ".join(errors))
        best = max(scored, key=lambda cs: cs[1])  # ties: the later column first
        return best[0], [(str(c), float(v)) for c, v in scored]

    def _candidate_score(self, real, synth, col, rows, order, sample, x, block, seed) -> float:
        """TRTR of one candidate target on the shared sample: the sample's
        rows with a target value, in the drawn order, give the test part
        (30 %, at most ``select_test_rows``) and then the training part."""
        info = _models.check_target(real, synth, col)
        has_value = np.zeros(len(real), dtype=bool)
        has_value[info.real_rows] = True
        keep = order[has_value[rows][order]]
        n_test = min(self.select_test_rows, max(1, int(round(0.3 * len(keep)))))
        test = np.sort(keep[:n_test])
        train = np.sort(keep[n_test:][: self.select_train_rows])
        if len(train) < 2:
            raise ValueError(f"too few real rows with a value of {col!r} to choose a target")
        features = np.delete(x, np.arange(x.shape[1])[block], axis=1)
        target = sample[col]
        if info.task == "classification":
            y = _models._pool_labels({"train": _models._labels(target.iloc[train], info.numeric),
                                      "test": _models._labels(target.iloc[test], info.numeric)},
                                     "train")
        else:
            y = {"train": float_values(target.iloc[train]), "test": float_values(target.iloc[test])}
        score, _ = _scorer(SimpleNamespace(task=info.task, y_test=y["test"]))
        pred = _models.fit_predict(info.task, features[train], y["train"], features[test],
                                   seed, n_trees=self.select_trees)
        return score(pred)

    def compute(self, real_data: pd.DataFrame, synthetic_data: pd.DataFrame) -> MetricResult:
        """The "tstr_normalized" result (category "utility") in [0, 1]."""
        check_pair(real_data, synthetic_data)
        target, candidates = self._choose_target(real_data, synthetic_data)
        rng = make_rng(self.random_seed)
        split = _models.prepare(real_data, synthetic_data, target, rng)
        seed = _models.seed_from(rng)
        score, score_name = _scorer(split)
        pred_real = _models.fit_predict(split.task, split.x_real_train,
                                        split.y_real_train, split.x_test, seed)
        pred_synth = _models.fit_predict(split.task, split.x_synth_train,
                                         split.y_synth_train, split.x_test, seed)
        trtr = score(pred_real)
        tstr = score(pred_synth)
        if not np.isfinite(trtr) or trtr < self.min_trtr or trtr <= 0.0:
            tried = ", ".join(f"{c} ({v:.3f})" for c, v in candidates)
            raise ValueError(
                f"the model trained on real data does not predict {target!r} "
                f"({score_name} = {trtr:.4f} < {self.min_trtr}); "
                "TSTR cannot be normalised" + (f" (candidates: {tried})" if tried else ""))
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
                "candidates": dict(candidates),
                "task": split.task,
                "score": score_name,
                "tstr": tstr,
                "trtr": trtr,
                "n_test": int(len(split.y_test)),
                "n_real_train": int(len(split.y_real_train)),
                "n_synthetic_train": int(len(split.y_synth_train)),
            },
        )
