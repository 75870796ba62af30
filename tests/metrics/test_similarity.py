import numpy as np
import pandas as pd
import pytest
from scipy.stats import ks_2samp

from quorvix.evaluation.metrics.similarity import (
    CorrelationSimilarityMetrics,
    MultivariateSimilarityMetrics,
    UnivariateSimilarityMetrics,
)
from quorvix.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric

UNIVARIATE = ["wasserstein_distance_metric", "total_variation_distance",
              "hellinger_distance", "jensen_shannon_divergence"]
SINGLE = [
    lambda r, s: CorrelationSimilarityMetrics(r, s).pearson_correlation_difference(),
    lambda r, s: CorrelationSimilarityMetrics(r, s).spearman_correlation_difference(),
    lambda r, s: MultivariateSimilarityMetrics(r, s).correlation_matrix_distance(),
    lambda r, s: MultivariateSimilarityMetrics(r, s).mmd_rbf(),
]


# -- KS complement -------------------------------------------------------------

def test_ks_complement_matches_scipy(real_table, shifted_table):
    got = KSComplementMetric().compute(real_table, shifted_table,
                                       columns=list(real_table.columns))
    # non-numeric "city" is skipped; bool "flag" counts as 0/1
    assert list(got) == ["x", "y", "count", "flag"]
    for col in ["x", "y", "count"]:
        expected = 1 - ks_2samp(real_table[col].dropna(), shifted_table[col].dropna()).statistic
        assert got[col] == pytest.approx(expected, abs=1e-12)
    assert got["flag"] == pytest.approx(
        1 - abs(real_table["flag"].mean() - shifted_table["flag"].mean()))


def test_ks_complement_column_selection_and_int_labels():
    real = pd.DataFrame({0: [1.0, 2.0, 3.0], 1: ["a", "b", "c"], 2: [np.nan] * 3})
    synth = pd.DataFrame({0: [1.0, 2.0, 3.0], 2: [1.0, 2.0, 3.0], 3: [1.0, 1.0, 1.0]})
    ks = KSComplementMetric()
    # all-missing column 2 has nothing to compare and is skipped
    assert ks.compute(real, synth, columns=[0, 1, 2, 3, 99]) == {0: 1.0}
    assert ks.compute(real, synth, columns=[]) == {}
    assert ks.compute(real, synth) == {0: 1.0}


def test_ks_complement_skips_ambiguous_labels_instead_of_failing():
    real = pd.DataFrame([[1.0, 2.0, 3.0], [2.0, 3.0, 4.0]], columns=["a", "a", "b"])
    synth = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    assert KSComplementMetric().compute(real, synth, columns=["a", "b"]) == {"b": 1.0}
    with pytest.raises(ValueError, match="duplicate"):
        UnivariateSimilarityMetrics(real, synth)


# -- shared properties of the similarities --------------------------------------

@pytest.mark.parametrize("method", UNIVARIATE)
def test_univariate_identical_is_one_and_shift_is_lower(method, real_table, twin_table,
                                                        shifted_table):
    same = getattr(UnivariateSimilarityMetrics(real_table, real_table.copy()), method)()
    assert same and all(v == pytest.approx(1.0) for v in same.values())
    twin = getattr(UnivariateSimilarityMetrics(real_table, twin_table), method)()
    shifted = getattr(UnivariateSimilarityMetrics(real_table, shifted_table), method)()
    prefix = method.split("_distance")[0].split("_divergence")[0]
    assert twin[f"{prefix}_x"] > 0.85
    assert shifted[f"{prefix}_x"] < twin[f"{prefix}_x"] - 0.2


@pytest.mark.parametrize("method", UNIVARIATE)
def test_univariate_disjoint_supports_score_near_zero(method):
    rng = np.random.default_rng(0)
    real = pd.DataFrame({"v": rng.uniform(0, 1, 500), "c": rng.choice(["a", "b"], 500)})
    synth = pd.DataFrame({"v": rng.uniform(50, 51, 500), "c": rng.choice(["x", "y"], 500)})
    out = getattr(UnivariateSimilarityMetrics(real, synth), method)()
    assert all(0.0 <= v <= 0.02 for v in out.values()), out


def test_univariate_keys_follow_real_column_order_and_types(real_table, twin_table):
    u = UnivariateSimilarityMetrics(real_table, twin_table[["flag", "city", "y", "x"]])
    assert list(u.wasserstein_distance_metric()) == ["wasserstein_x", "wasserstein_y",
                                                     "wasserstein_flag"]
    assert list(u.total_variation_distance()) == [
        "total_variation_x", "total_variation_y", "total_variation_city",
        "total_variation_flag"]


def test_univariate_known_values():
    real = pd.DataFrame({"c": ["a"] * 50 + ["b"] * 50, "v": np.linspace(0.0, 10.0, 100)})
    synth = pd.DataFrame({"c": ["a"] * 90 + ["b"] * 10, "v": np.linspace(0.0, 10.0, 100) + 1.0})
    u = UnivariateSimilarityMetrics(real, synth)
    # p = (.5, .5), q = (.9, .1)
    assert u.total_variation_distance()["total_variation_c"] == pytest.approx(0.6)
    bc = np.sqrt(0.45) + np.sqrt(0.05)
    assert u.hellinger_distance()["hellinger_c"] == pytest.approx(1 - np.sqrt(1 - bc))
    m = np.array([0.7, 0.3])
    p, q = np.array([0.5, 0.5]), np.array([0.9, 0.1])
    jsd = 0.5 * (p * np.log2(p / m)).sum() + 0.5 * (q * np.log2(q / m)).sum()
    assert u.jensen_shannon_divergence()["jensen_shannon_c"] == pytest.approx(1 - np.sqrt(jsd))
    # shifting by 1 moves every point by 1: W1 = 1, real range 10
    assert u.wasserstein_distance_metric()["wasserstein_v"] == pytest.approx(0.9)


def test_univariate_numeric_binning_sees_out_of_range_mass():
    rng = np.random.default_rng(3)
    real = pd.DataFrame({"v": rng.normal(size=2000)})
    half_out = pd.DataFrame({"v": np.r_[rng.normal(size=1000), rng.normal(100, 1, 1000)]})
    tv = UnivariateSimilarityMetrics(real, half_out).total_variation_distance()
    assert tv["total_variation_v"] == pytest.approx(0.5, abs=0.05)


# -- correlations and joint distribution ----------------------------------------

@pytest.mark.parametrize("fn", SINGLE)
def test_single_value_similarities_identical_and_degraded(fn, real_table, twin_table):
    assert fn(real_table, real_table.copy()) == pytest.approx(1.0)
    assert fn(real_table, twin_table) > 0.9
    # break the x-y dependence (and the x-city one) by shuffling y
    broken = twin_table.copy()
    broken["y"] = np.random.default_rng(0).permutation(broken["y"].to_numpy())
    assert fn(real_table, broken) < fn(real_table, twin_table) - 0.03


def test_correlation_difference_known_value():
    rng = np.random.default_rng(0)
    x = rng.normal(size=3000)
    real = pd.DataFrame({"a": x, "b": x, "c": rng.normal(size=3000)})
    flipped = real.assign(b=-x)
    # pairs (a,b): 1 vs -1 -> 2; (a,c), (b,c): ~0 -> mean ~2/3
    c = CorrelationSimilarityMetrics(real, flipped)
    assert c.pearson_correlation_difference() == pytest.approx(1 - 2 / 3, abs=0.03)
    assert c.spearman_correlation_difference() == pytest.approx(1 - 2 / 3, abs=0.03)
    # RMS of off-diagonal differences: sqrt((2 * 2^2) / 6) > 1, clipped to 0
    assert MultivariateSimilarityMetrics(real, flipped).correlation_matrix_distance() == 0.0


def test_constant_column_counts_as_no_correlation():
    x = np.arange(50, dtype=float)
    real = pd.DataFrame({"a": x, "b": x ** 2, "k": 1.0})
    synth = pd.DataFrame({"a": x, "b": x ** 2, "k": x})  # k now perfectly tied to a
    r_ab = np.corrcoef(x, x ** 2)[0, 1]
    # pairs: (a,b) equal; (a,k): 0 vs 1; (b,k): 0 vs r_ab
    expected = 1 - (0 + 1 + r_ab) / 3
    got = CorrelationSimilarityMetrics(real, synth).pearson_correlation_difference()
    assert got == pytest.approx(expected)


def test_mmd_disjoint_is_near_zero_and_standardised_by_real():
    rng = np.random.default_rng(0)
    real = pd.DataFrame({"a": rng.normal(size=800), "b": rng.normal(size=800) * 1000})
    far = pd.DataFrame({"a": rng.normal(size=800) + 10, "b": rng.normal(size=800) * 1000})
    assert MultivariateSimilarityMetrics(real, far).mmd_rbf() < 0.1
    # the large scale of b must not hide a shift in a
    shifted = real.assign(a=real["a"] + 1.0)
    assert MultivariateSimilarityMetrics(real, shifted).mmd_rbf() < 0.8


def test_mmd_small_samples_of_one_distribution_score_high():
    # a biased estimate would drift towards ~0.8 at this size
    rng = np.random.default_rng(5)
    a = pd.DataFrame(rng.normal(size=(60, 3)))
    b = pd.DataFrame(rng.normal(size=(60, 3)))
    assert MultivariateSimilarityMetrics(a, b).mmd_rbf() > 0.85


@pytest.mark.parametrize("fn", SINGLE)
def test_need_numeric_columns(fn):
    real = pd.DataFrame({"c": ["a", "b"] * 10, "d": ["x"] * 20})
    with pytest.raises(ValueError, match="numeric"):
        fn(real, real.copy())
