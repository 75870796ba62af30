"""Faster paths give the numbers of the straightforward ones, and work shared
between metrics of one evaluation is never reused for a changed table."""

import gc
import weakref

import numpy as np
import pandas as pd
import pytest
from scipy.stats import wasserstein_distance

from quorvix.evaluation.metrics import _prep, _shared, similarity
from quorvix.evaluation.metrics._prep import kth_smallest_per_row, nearest_sq_distances
from quorvix.evaluation.metrics._shared import pair_memo, table_digest
from quorvix.evaluation.metrics.similarity import UnivariateSimilarityMetrics
from quorvix.tabular.evaluator.metrics.fidelity.alpha_precision import AlphaPrecisionMetric
from quorvix.tabular.evaluator.metrics.fidelity.beta_recall import BetaRecallMetric
from quorvix.tabular.evaluator.metrics.privacy.membership_inference import (
    MembershipInferenceMetric,
)


@pytest.fixture(autouse=True)
def empty_memo():
    _shared.clear()
    yield
    _shared.clear()


# -- k-th smallest per row -------------------------------------------------------

def _awkward_rows(seed):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 6, size=(40, 30)).astype(float)  # many ties
    a[3, :] = np.inf
    a[4, :5] = np.inf
    a[5, 7] = np.nan
    a[6, :] = np.nan
    a[7, ::2] = np.nan
    a[8, :] = 0.0
    return a


@pytest.mark.parametrize("k", [1, 2, 5, 16, 17, 30])
def test_kth_smallest_is_the_partition_value(k):
    a = _awkward_rows(k)
    expected = np.partition(a, k - 1, axis=1)[:, k - 1]
    got = kth_smallest_per_row(a.copy(), k)
    np.testing.assert_array_equal(got, expected)  # NaN where the partition has NaN


@pytest.mark.parametrize("k", [0, 31])
def test_kth_smallest_refuses_k_out_of_range(k):
    with pytest.raises(ValueError, match="k must be"):
        kth_smallest_per_row(np.zeros((2, 30)), k)


@pytest.mark.parametrize("k", [1, 5])
def test_nearest_distances_match_the_full_matrix(k):
    rng = np.random.default_rng(k)
    ref = rng.normal(size=(300, 4))
    ref[10:20] = ref[0]  # duplicates: zero distances
    queries = ref[:120]
    exclude = np.arange(120)
    exclude[::3] = -1
    d2 = _prep.pairwise_sq_distances(queries, ref)
    d2[np.arange(120)[exclude >= 0], exclude[exclude >= 0]] = np.inf
    expected = np.partition(d2, k - 1, axis=1)[:, k - 1]
    got = nearest_sq_distances(queries, ref, k=k, exclude=exclude)
    np.testing.assert_array_equal(got, expected)


# -- Wasserstein on sorted values -------------------------------------------------

def test_wasserstein_equals_scipy_on_the_unsorted_values():
    rng = np.random.default_rng(3)
    n = 2000
    real = pd.DataFrame({
        "x": rng.normal(size=n),
        "ties": rng.integers(0, 5, n).astype(float),
        "zeros": rng.choice([0.0, -0.0, 1.0], n),
        "count": rng.poisson(2.0, n),
        "wide": rng.lognormal(0.0, 4.0, n),  # values over many magnitudes
        "one": np.r_[3.5, np.full(n - 1, np.nan)],  # a single real value
    })
    synth = pd.DataFrame({
        "x": rng.normal(0.2, 1.1, n // 2),
        "ties": rng.integers(0, 6, n // 2).astype(float),
        "zeros": rng.choice([-0.0, 0.0, 2.0], n // 2),
        "count": rng.poisson(2.5, n // 2),
        "wide": rng.lognormal(0.5, 4.0, n // 2),
        "one": rng.normal(3.0, 1.0, n // 2),
    })
    got = UnivariateSimilarityMetrics(real, synth).wasserstein_distance_metric()
    for col in real.columns:
        r = real[col].dropna().to_numpy(dtype=float)
        s = synth[col].dropna().to_numpy(dtype=float)
        scale = r.max() - r.min()
        if scale <= 0:
            scale = max(r.max(), s.max()) - min(r.min(), s.min())
        expected = float(np.clip(1.0 - wasserstein_distance(r, s) / scale, 0.0, 1.0))
        assert got[f"wasserstein_{col}"] == expected


def test_wasserstein_terms_sum_to_scipys_distance_bit_for_bit():
    from quorvix import _kernels
    from quorvix.evaluation.metrics.similarity import _w1_sum

    summed = _w1_sum(wasserstein_distance)
    assert summed is not None
    rng = np.random.default_rng(11)
    for trial in range(200):
        n, m = rng.integers(1, 2500, 2)
        u = np.sort(np.round(rng.normal(size=n) * 10.0 ** (trial % 4)))
        v = np.sort(rng.normal(0.3, 2.0, size=m))
        if trial % 5 == 0:  # signed zeros among ties
            u[: n // 2] = 0.0
            v[: m // 2] = -0.0
            u, v = np.sort(u), np.sort(v)
        assert summed(*_kernels.w1_terms(u, v)) == wasserstein_distance(u, v)


def test_a_replaced_wasserstein_distance_is_the_one_called(monkeypatch):
    import scipy.stats

    calls = []

    def replacement(u, v):
        calls.append((len(u), len(v)))
        return 0.0

    monkeypatch.setattr(scipy.stats, "wasserstein_distance", replacement)
    real = pd.DataFrame({"x": [1.0, 2.0, 3.0]})
    synth = pd.DataFrame({"x": [10.0, 20.0]})
    assert UnivariateSimilarityMetrics(real, synth).wasserstein_distance_metric() == {
        "wasserstein_x": 1.0}
    assert calls == [(3, 2)]


# -- table digest -------------------------------------------------------------------

def _typed_table():
    return pd.DataFrame({
        "f": [0.0, 1.5, np.nan, 2.0],
        "i": [1, 2, 3, 4],
        "b": [True, False, True, False],
        "o": pd.Series(["a", "b", None, "c"], dtype=object),
        "s": pd.array(["a", "b", None, "c"], dtype="string"),
        "sa": pd.array(["a", "b", None, "c"], dtype="string[pyarrow]"),
        "cat": pd.Categorical(["u", "v", "u", None]),
        "n": pd.array([1, None, 3, 4], dtype="Int64"),
        "t": pd.to_datetime(["2020-01-01", "2020-01-02", None, "2020-01-04"]),
        "tz": pd.to_datetime(["2020-01-01", "2020-01-02", "2020-01-03", None]).tz_localize("UTC"),
    })


def _set(col, value, row=0):
    def change(df):
        df.loc[row, col] = value
    return change


def _rename(df):
    df.columns = ["g", *df.columns[1:]]


def _swap_labels(df):
    cols = list(df.columns)
    cols[0], cols[1] = cols[1], cols[0]
    df.columns = cols


def _swap_rows(df):
    df.iloc[[0, 1]] = df.iloc[[1, 0]].to_numpy()


def _int_to_float(df):
    df["i"] = df["i"].astype(float)


def _retz(df):
    df["tz"] = df["tz"].dt.tz_convert("Europe/Paris")


@pytest.mark.parametrize("change", [
    pytest.param(_set("f", 1e-300), id="float"),
    pytest.param(_set("f", -0.0), id="float-negative-zero"),
    pytest.param(_set("f", 7.0, row=2), id="float-missing-filled"),
    pytest.param(_set("i", 5), id="int"),
    pytest.param(_set("b", False), id="bool"),
    pytest.param(_set("o", "z"), id="object-text"),
    pytest.param(_set("o", "None", row=2), id="object-missing-to-text"),
    pytest.param(_set("s", "z"), id="string"),
    pytest.param(_set("s", "b", row=2), id="string-missing-filled"),
    pytest.param(_set("sa", "z"), id="arrow-string"),
    pytest.param(_set("sa", "b", row=2), id="arrow-string-missing-filled"),
    pytest.param(_set("sa", None, row=1), id="arrow-string-to-missing"),
    pytest.param(_set("sa", "ab", row=0), id="arrow-string-longer"),
    pytest.param(_set("cat", "v"), id="category"),
    pytest.param(_set("n", 0, row=1), id="nullable-missing-to-zero"),
    pytest.param(_set("n", None), id="nullable-to-missing"),
    pytest.param(_set("t", pd.Timestamp("2021-01-01")), id="datetime"),
    pytest.param(_set("tz", pd.Timestamp("2021-01-01", tz="UTC")), id="zoned-datetime"),
    pytest.param(_retz, id="time-zone"),
    pytest.param(_rename, id="label"),
    pytest.param(_swap_labels, id="label-order"),
    pytest.param(_swap_rows, id="row-order"),
    pytest.param(_int_to_float, id="dtype"),
])
def test_digest_sees_every_change(change):
    df = _typed_table()
    before = table_digest(df)
    assert before is not None and table_digest(df.copy()) == before
    # a text column held by pyarrow, rebuilt from its values: the same digest
    rebuilt = df.copy()
    rebuilt["sa"] = pd.array(list(df["sa"]), dtype="string[pyarrow]")
    assert table_digest(rebuilt) == before
    change(df)
    assert table_digest(df) != before


@pytest.mark.parametrize("column", [
    pd.Series([1, "1", None], dtype=object),  # pandas would hash 1 and "1" alike
    pd.Categorical([0.5, -0.0, 0.5]),
    pd.Series(pd.period_range("2020-01", periods=3, freq="M")),
])
def test_digest_refuses_columns_it_cannot_tell_apart(column):
    assert table_digest(pd.DataFrame({"a": [1.0, 2.0, 3.0], "c": column})) is None


# -- the memo of a pair ---------------------------------------------------------------

def test_memo_is_kept_for_the_same_unchanged_objects_only(fresh_pair):
    real, synth = fresh_pair
    memo = pair_memo(real, synth)
    assert pair_memo(real, synth) is memo
    assert pair_memo(real.copy(), synth) is not memo  # identity, not equal content
    memo = pair_memo(real, synth)
    synth.loc[3, "city"] = "east"
    assert pair_memo(real, synth) is not memo


def test_memo_does_not_keep_tables_alive():
    real = pd.DataFrame({"a": np.arange(50.0), "b": ["u", "v"] * 25})
    synth = real.copy()
    memo_ref = weakref.ref(pair_memo(real, synth))
    del real
    gc.collect()
    assert memo_ref() is None


def test_uncacheable_pair_gets_a_memo_of_its_own(fresh_pair):
    real, synth = fresh_pair
    real["mixed"] = pd.Series([1, "1"] * 300, dtype=object)
    assert pair_memo(real, synth) is not pair_memo(real, synth)


def test_stored_arrays_are_read_only_and_bounded(fresh_pair, monkeypatch):
    real, synth = fresh_pair
    memo = pair_memo(real, synth)
    computed = []

    def compute(n):
        computed.append(n)
        return np.zeros(n)

    small = memo.get("small", lambda: compute(10))
    with pytest.raises(ValueError):
        small[0] = 1.0
    monkeypatch.setattr(_shared, "MAX_STORED_BYTES", 1000)
    assert memo.get("small", lambda: compute(10)) is small
    memo.get("big", lambda: compute(1000))
    memo.get("big", lambda: compute(1000))  # over the budget: not kept
    assert computed == [10, 1000, 1000]


# -- metrics sharing work ----------------------------------------------------------------

FREQUENCY_SCORES = ["total_variation_distance", "hellinger_distance",
                    "jensen_shannon_divergence"]


def _frequency_scores(real, synth):
    return [getattr(UnivariateSimilarityMetrics(real, synth), m)() for m in FREQUENCY_SCORES]


def _knn_scores(real, synth):
    return [AlphaPrecisionMetric().compute(real, synth).value,
            BetaRecallMetric().compute(real, synth).value,
            MembershipInferenceMetric().compute(real, synth)]


def test_one_evaluation_computes_frequencies_and_encoder_once(monkeypatch, fresh_pair):
    real, synth = fresh_pair
    calls = {"frequencies": 0, "encoder": 0}
    original_dist = similarity._distributions
    original_encoder = _prep.Encoder

    def counting_dist(*args):
        calls["frequencies"] += 1
        return original_dist(*args)

    class CountingEncoder(original_encoder):
        def __init__(self, *args, **kwargs):
            calls["encoder"] += 1
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(similarity, "_distributions", counting_dist)
    monkeypatch.setattr(_prep, "Encoder", CountingEncoder)
    _frequency_scores(real, synth)
    _knn_scores(real, synth)
    assert calls == {"frequencies": len(real.columns), "encoder": 1}


def _set_rows(col, value):
    def change(df):
        df.loc[0:59, col] = value
    return change


@pytest.mark.parametrize("scores", [_frequency_scores, _knn_scores])
@pytest.mark.parametrize("change", [
    _set_rows("x", 4.0), _set_rows("city", "east"), _set_rows("flag", True),
    _set_rows("y", np.nan),
], ids=["number", "text", "bool", "missing"])
def test_results_follow_a_table_changed_in_place(scores, change, fresh_pair):
    real, synth = fresh_pair
    first = scores(real, synth)
    assert scores(real, synth) == first  # the second time from the memo
    change(synth)
    after_synth = (real.copy(), synth.copy())
    changed = scores(real, synth)
    change(real)
    after_both = (real.copy(), synth.copy())
    changed_both = scores(real, synth)
    assert changed != first
    # the same numbers as on new objects, for which nothing can be remembered
    assert changed == scores(*after_synth)
    assert changed_both == scores(*after_both)


def _blas_threads():
    from threadpoolctl import threadpool_info

    return [lib["num_threads"] for lib in threadpool_info() if lib["user_api"] == "blas"]


def test_an_evaluation_shares_its_memo_without_digests(monkeypatch, fresh_pair):
    from quorvix.tabular.evaluator import TabularEvaluator

    real, synth = fresh_pair
    counts = {"digest": 0, "encoder": 0, "frequencies": 0}
    original_digest, original_encoder = _shared.table_digest, _prep.Encoder
    original_dist = similarity._distributions

    def counting_digest(df):
        counts["digest"] += 1
        return original_digest(df)

    class CountingEncoder(original_encoder):
        def __init__(self, *args, **kwargs):
            counts["encoder"] += 1
            super().__init__(*args, **kwargs)

    def counting_dist(*args):
        counts["frequencies"] += 1
        return original_dist(*args)

    monkeypatch.setattr(_shared, "table_digest", counting_digest)
    monkeypatch.setattr(_prep, "Encoder", CountingEncoder)
    monkeypatch.setattr(similarity, "_distributions", counting_dist)
    blas_before = _blas_threads()
    metrics = ["total_variation", "hellinger", "jensen_shannon", "alpha_precision",
               "beta_recall", "membership_inference_auc"]
    report = TabularEvaluator(metrics=metrics, random_seed=0).evaluate(real, synth)
    assert counts == {"digest": 0, "encoder": 1, "frequencies": len(real.columns)}
    assert _shared._evaluations == [] and _blas_threads() == blas_before
    # the same numbers as the metric classes called on their own (with digests)
    _shared.clear()
    assert report.aggregate_metrics["alpha_precision"].value == \
        AlphaPrecisionMetric().compute(real, synth).value
    assert report.privacy_metrics["membership_inference_auc"].details["auc"] == \
        MembershipInferenceMetric().compute(real, synth)
    assert counts["digest"] > 0


def test_a_failed_evaluation_closes_its_memo(monkeypatch, fresh_pair):
    from quorvix.tabular.evaluator import TabularEvaluator
    from quorvix.tabular.evaluator.metrics.statistical import ks_complement

    def broken(self, *args, **kwargs):
        assert len(_shared._evaluations) == 1
        raise RuntimeError("broken metric")

    monkeypatch.setattr(ks_complement.KSComplementMetric, "compute", broken)
    blas_before = _blas_threads()
    with pytest.raises(RuntimeError, match="broken metric"):
        TabularEvaluator(random_seed=0).evaluate(*fresh_pair)
    assert _shared._evaluations == [] and _blas_threads() == blas_before
    assert _shared.begin_evaluation({"not": "a table"}, None) is None
