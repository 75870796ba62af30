import numpy as np
import pandas as pd
import pytest

from quorvix.evaluation.metrics.utility import PredictionAgreementMetrics
from quorvix.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric


def with_noise_target(df, seed):
    """The same features with a target unrelated to them."""
    rng = np.random.default_rng(seed)
    out = df.copy()
    out["city"] = rng.permutation(out["city"].to_numpy())
    out["y"] = rng.permutation(out["y"].to_numpy())
    return out


@pytest.mark.parametrize("target, task", [("city", "classification"), ("y", "regression")])
def test_agreement_higher_for_faithful_synthetic(target, task, real_table, twin_table):
    good = PredictionAgreementMetrics(real_table, twin_table, target)
    score_good = good.prediction_agreement_percentage()
    assert good.last_details["task"] == task
    bad = PredictionAgreementMetrics(real_table, with_noise_target(twin_table, 0), target)
    score_bad = bad.prediction_agreement_percentage()
    assert 0.0 <= score_bad < score_good - 0.15 and score_good <= 1.0
    assert good.prediction_agreement_percentage() == score_good  # seeded


def test_agreement_few_numeric_values_is_classification():
    rng = np.random.default_rng(0)
    x = rng.normal(size=400)
    real = pd.DataFrame({"x": x, "grade": np.digitize(x, [-1, 0, 1]) * 0.5})
    agree = PredictionAgreementMetrics(real, real.copy(), "grade")
    assert agree.prediction_agreement_percentage() > 0.9
    assert agree.last_details["task"] == "classification"


@pytest.mark.parametrize("real, synth, target, message", [
    (pd.DataFrame({"a": [1, 2, 3, 4, 5], "t": [0, 1, 0, 1, 0]}),
     pd.DataFrame({"a": [1, 2, 3], "u": [0, 1, 0]}), "t", "both tables"),
    (pd.DataFrame({"t": [0, 1, 0, 1, 0]}), pd.DataFrame({"t": [0, 1]}), "t", "feature"),
    (pd.DataFrame({"a": range(6), "t": [1] * 6}), pd.DataFrame({"a": [1, 2], "t": [1, 2]}),
     "t", "distinct"),
    (pd.DataFrame({"a": range(4), "t": [0, 1, 0, 1]}), pd.DataFrame({"a": [1, 2], "t": [1, 0]}),
     "t", "at least 5 real rows"),
    (pd.DataFrame({"a": range(6), "t": [0, 1] * 3}),
     pd.DataFrame({"a": [1, 2], "t": [np.nan, 1.0]}), "t", "synthetic rows"),
])
def test_agreement_refuses_unusable_inputs(real, synth, target, message):
    with pytest.raises(ValueError, match=message):
        PredictionAgreementMetrics(real, synth, target).prediction_agreement_percentage()


def test_tstr_result_and_ordering(real_table, twin_table):
    metric = TSTRNormalizedMetric(random_seed=0, target="city")
    good = metric.compute(real_table, twin_table)
    assert (good.name, good.category, good.higher_is_better) == ("tstr_normalized", "utility", True)
    assert good.value > 0.85
    # labels swapped: a model trained on it predicts the opposite class
    flipped = twin_table.assign(city=twin_table["city"].map({"north": "south",
                                                             "south": "north"}))
    bad = metric.compute(real_table, flipped)
    assert bad.details["tstr"] < 0 and bad.value == 0.0
    assert metric.compute(real_table, twin_table).value == good.value


def test_tstr_default_target_is_the_best_predicted_candidate(real_table, twin_table):
    rng = np.random.default_rng(1)
    order = ["flag", "x", "city", "y"]
    # last: a 50-level text column and a number, both unrelated to the rest,
    # and a constant column, which is no candidate
    noise = {"code": lambda n: rng.choice([f"c{i}" for i in range(50)], n),
             "ticket": lambda n: rng.normal(size=n)}
    real = real_table[order].assign(**{k: f(len(real_table)) for k, f in noise.items()}, const=1)
    synth = twin_table[order].assign(**{k: f(len(twin_table)) for k, f in noise.items()}, const=1)
    res = TSTRNormalizedMetric(random_seed=0).compute(real, synth)
    assert list(res.details["candidates"]) == ["ticket", "code", "y", "city", "x"]
    assert res.details["target"] in ("x", "y")
    best = max(res.details["candidates"].values())
    assert res.details["candidates"][res.details["target"]] == best
    assert 0.8 < res.value <= 1.0
    # a fixed target is used as given
    fixed = TSTRNormalizedMetric(random_seed=0, target="city").compute(real, synth)
    assert fixed.details["target"] == "city" and fixed.details["candidates"] == {}


def test_regression_agreement_is_continuous(real_table, twin_table):
    from quorvix.evaluation.metrics.utility import concordance

    p = np.array([1.0, 2.0, 3.0, 4.0])
    assert concordance(p, p) == 1.0
    assert concordance(p, p + 0.5) == pytest.approx(2 * 1.25 / (1.25 + 1.25 + 0.25))
    assert concordance(p, p[::-1]) == 0.0
    assert concordance(np.ones(3), np.ones(3)) == 1.0
    assert concordance(np.ones(3), np.zeros(3)) == 0.0
    # a little noise on the synthetic target lowers the agreement a little,
    # not by a coin flip at a tolerance
    rng = np.random.default_rng(2)
    scores = [PredictionAgreementMetrics(real_table, twin_table.assign(
        y=twin_table["y"] + rng.normal(scale=s, size=len(twin_table))), "y")
        .prediction_agreement_percentage() for s in (0.0, 1.0, 3.0)]
    assert scores[0] > scores[1] > scores[2] > 0.2


def test_many_classes_are_capped(real_table, twin_table):
    rng = np.random.default_rng(3)
    labels = np.array([f"k{i}" for i in range(60)])
    real = real_table.assign(kind=labels[np.clip((real_table["x"] * 10 + 30).astype(int), 0, 59)])
    synth = twin_table.assign(kind=labels[rng.integers(0, 60, len(twin_table))])
    metric = PredictionAgreementMetrics(real, synth, "kind")
    assert 0.0 <= metric.prediction_agreement_percentage() <= 1.0
    assert metric.last_details["task"] == "classification"
    from quorvix.evaluation.metrics import _models

    split = _models.prepare(real, synth, "kind", np.random.default_rng(0))
    train = pd.Series(split.y_real_train)
    assert train.nunique() == _models.MAX_MODEL_CLASSES + 1
    kept = set(train.unique()) - {_models.OTHER_CLASS}
    assert set(real["kind"].value_counts().index[:10]) <= kept  # the frequent labels stay
    assert set(split.y_synth_train) <= kept | {_models.OTHER_CLASS}


def test_tstr_refuses_unpredictable_target(real_table, twin_table):
    with pytest.raises(ValueError, match="does not predict"):
        TSTRNormalizedMetric(random_seed=0, target="flag").compute(real_table, twin_table)
