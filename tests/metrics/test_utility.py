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


def test_tstr_default_target_is_last_column_with_two_values(real_table, twin_table):
    order = ["flag", "x", "city", "y"]
    real = real_table[order].assign(const=1)
    synth = twin_table[order].assign(const=1)
    res = TSTRNormalizedMetric(random_seed=0).compute(real, synth)
    # "const" has a single value, so the last usable column is "y"
    assert (res.details["target"], res.details["task"]) == ("y", "regression")
    assert 0.8 < res.value <= 1.0


def test_tstr_refuses_unpredictable_target(real_table, twin_table):
    with pytest.raises(ValueError, match="does not predict"):
        TSTRNormalizedMetric(random_seed=0, target="flag").compute(real_table, twin_table)
