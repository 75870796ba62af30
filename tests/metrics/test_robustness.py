"""Every metric on awkward tables: a finite value in range, or a ValueError."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

from quorvix.evaluation.metrics.similarity import (
    CorrelationSimilarityMetrics,
    MultivariateSimilarityMetrics,
    UnivariateSimilarityMetrics,
)
from quorvix.evaluation.metrics.utility import PredictionAgreementMetrics
from quorvix.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from quorvix.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak import LikelihoodLeakMetric
from quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record import DTCRMetric
from quorvix.tabular.evaluator.metrics.privacy.membership_inference import (
    MembershipInferenceMetric,
)
from quorvix.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric
from quorvix.tabular.evaluator.metrics.utility.tstr import TSTRNormalizedMetric
from quorvix.tabular.evaluator.report import MetricResult

N = 60


def _base(seed, n=N):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"num": rng.normal(size=n), "cat": rng.choice(["a", "b", "c"], n),
                         "int": rng.integers(0, 10, n)})


def _pair(fn):
    return fn(_base(0)), fn(_base(1))


def _first_target(real):
    for c in real.columns:
        try:
            if real[c].dropna().nunique() >= 2:
                return c
        except TypeError:
            return c
    return real.columns[0] if len(real.columns) else "missing"


TABLES = {
    "all_nan_column": _pair(lambda d: d.assign(nan=np.nan)),
    "constant_columns": _pair(lambda d: d.assign(num=3.0, cat="a")),
    "empty_tables": _pair(lambda d: d.iloc[:0]),
    "empty_synthetic": (_base(0), _base(1).iloc[:0]),
    "one_row": _pair(lambda d: d.iloc[:1]),
    "no_columns": (pd.DataFrame(index=range(5)), pd.DataFrame(index=range(5))),
    "no_shared_columns": (_base(0), _base(1).rename(columns=str.upper)),
    "int_labels": _pair(lambda d: d.set_axis([0, 1, 2], axis=1)),
    "bool_columns": _pair(lambda d: d.assign(flag=d["num"] > 0, other=d["int"] > 4)),
    "category_dtype": _pair(lambda d: d.assign(cat=d["cat"].astype("category"),
                                               int=d["int"].astype("category"))),
    "string_dtype": _pair(lambda d: d.assign(cat=d["cat"].astype("string"))),
    "nullable_with_na": _pair(lambda d: d.assign(
        int=d["int"].astype("Int64").mask(d["num"] > 1),
        cat=d["cat"].astype("string").mask(d["num"] < -1),
        flag=(d["num"] > 0).astype("boolean").mask(d["int"] == 3))),
    "infinities": _pair(lambda d: d.assign(num=d["num"].where(d["num"] < 1.5, np.inf))),
    "datetimes": _pair(lambda d: d.assign(when=pd.Timestamp("2024-01-01")
                                          + pd.to_timedelta(d["int"], unit="D"))),
    "dtype_disagreement": (_base(0), _base(1).assign(num=lambda d: d["num"].astype(str))),
    "only_categorical": _pair(lambda d: d[["cat"]].assign(c2=d["int"].astype(str))),
    "mixed_objects": _pair(lambda d: d.assign(obj=pd.Series(
        [1, "x", None, 2.5] * (N // 4), dtype=object))),
    "unhashable_values": _pair(lambda d: d.assign(obj=pd.Series(
        [[1], [2], None] * (N // 3), dtype=object))),
}

METRICS = {
    "ks_complement": lambda r, s: KSComplementMetric().compute(r, s, columns=list(r.columns)),
    "wasserstein": lambda r, s: UnivariateSimilarityMetrics(r, s).wasserstein_distance_metric(),
    "total_variation": lambda r, s: UnivariateSimilarityMetrics(r, s).total_variation_distance(),
    "hellinger": lambda r, s: UnivariateSimilarityMetrics(r, s).hellinger_distance(),
    "jensen_shannon": lambda r, s: UnivariateSimilarityMetrics(r, s).jensen_shannon_divergence(),
    "pearson": lambda r, s: CorrelationSimilarityMetrics(r, s).pearson_correlation_difference(),
    "spearman": lambda r, s: CorrelationSimilarityMetrics(r, s).spearman_correlation_difference(),
    "corr_matrix": lambda r, s: MultivariateSimilarityMetrics(r, s).correlation_matrix_distance(),
    "mmd": lambda r, s: MultivariateSimilarityMetrics(r, s).mmd_rbf(),
    "prediction_agreement": lambda r, s: PredictionAgreementMetrics(
        r, s, _first_target(r)).prediction_agreement_percentage(),
    "tstr": lambda r, s: TSTRNormalizedMetric(random_seed=0).compute(r, s),
    "alpha_precision": lambda r, s: AlphaPrecisionMetric().compute(r, s),
    "beta_recall": lambda r, s: BetaRecallMetric().compute(r, s),
    "likelihood_leak": lambda r, s: LikelihoodLeakMetric(random_seed=0).compute(r, s),
    "membership_inference": lambda r, s: MembershipInferenceMetric().compute(r, s),
    "dtcr": lambda r, s: DTCRMetric().compute(r, s),
}


def _numbers(out):
    if isinstance(out, MetricResult):
        return [out.value]
    if isinstance(out, dict):
        return list(out.values())
    return [out]


@pytest.mark.parametrize("table", TABLES)
@pytest.mark.parametrize("metric", METRICS)
def test_value_in_range_or_value_error(metric, table):
    real, synth = TABLES[table]
    real_before, synth_before = real.copy(), synth.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no stray runtime or pandas warnings either
        try:
            out = METRICS[metric](real, synth)
        except ValueError as exc:
            assert str(exc)
            out = None
    if out is not None:
        for v in _numbers(out):
            assert isinstance(v, float) and math.isfinite(v) and 0.0 <= v <= 1.0, out
    # inputs are never modified
    pd.testing.assert_frame_equal(real, real_before)
    pd.testing.assert_frame_equal(synth, synth_before)
