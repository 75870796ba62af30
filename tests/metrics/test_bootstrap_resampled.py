"""The bootstrap's faster path to mean-KS replicates gives the very numbers of
the plain path, and steps aside whenever it cannot promise that."""

import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from scipy.stats import ks_2samp

import quorvix.utils.bootstrap as bootstrap_module
from quorvix import _kernels
from quorvix.tabular.evaluator import TabularEvaluator
from quorvix.utils.bootstrap import bootstrap_ci, mean_ks_over_resamples


def plain_mean_ks(r, s):
    """What the evaluator's _mean_ks computes, written out."""
    vals = []
    for j in range(r.shape[1]):
        try:
            stat, _ = ks_2samp(r[:, j], s[:, j])
        except Exception:
            continue
        vals.append(1.0 - stat)
    return float(np.mean(vals)) if vals else 0.0


def fast_mean_ks(r, s):
    return plain_mean_ks(r, s)


fast_mean_ks.over_resamples = mean_ks_over_resamples(ks_2samp, np.mean)


def _cases():
    rng = np.random.default_rng(3)
    big = 2**53
    yield "floats", rng.normal(size=(300, 3)), rng.normal(0.2, 1.3, size=(250, 3))
    yield "heavy ties", rng.integers(0, 4, (200, 4)).astype(float), rng.integers(1, 5, (180, 4)).astype(float)
    yield "ints", rng.integers(-3, 3, (50, 2)), rng.integers(-2, 4, (70, 2))
    yield "int and float", rng.integers(0, 10, (80, 2)), rng.integers(0, 10, (60, 2)) + 0.5
    yield "bools", rng.random((40, 2)) < 0.3, rng.random((45, 2)) < 0.6
    yield "float32", rng.normal(size=(90, 2)).astype(np.float32), rng.normal(size=(70, 2)).astype(np.float32)
    yield "huge ints", np.array([[big], [big + 1], [big + 2], [5]]), np.array([[big + 1], [big + 1], [7]])
    yield "signed zeros and inf", np.array([[-0.0, np.inf], [0.0, 1.0], [1.0, -np.inf]]), \
        np.array([[0.0, np.inf], [-0.0, np.inf], [2.0, 0.0], [-1.0, 1.0]])
    yield "one row each", np.array([[1.0, 2.0]]), np.array([[1.0, 3.0]])
    yield "identical", np.arange(30.0).reshape(15, 2), np.arange(30.0).reshape(15, 2)
    yield "disjoint", np.zeros((20, 1)), np.ones((25, 1))


CASES = list(_cases())


@pytest.mark.parametrize("name, real, synth", CASES, ids=[c[0] for c in CASES])
def test_replicates_identical_to_the_plain_statistic(name, real, synth):
    assert fast_mean_ks.over_resamples(real, synth) is not None, "fast path not taken"
    with warnings.catch_warnings():
        # ks_2samp warns when its exact p-value fails ("Switching to
        # method=asymp"); as an error here that would drop the column
        warnings.simplefilter("ignore", RuntimeWarning)
        slow = bootstrap_ci(real, synth, stat_fn=plain_mean_ks, n_boot=150, random_seed=11)
    fast = bootstrap_ci(real, synth, stat_fn=fast_mean_ks, n_boot=150, random_seed=11)
    np.testing.assert_array_equal(fast.replicates, slow.replicates)
    assert (fast.estimate, fast.lower, fast.upper) == (slow.estimate, slow.lower, slow.upper)


@pytest.mark.parametrize("name, real, synth", CASES[:4], ids=[c[0] for c in CASES[:4]])
def test_packed_and_plain_walks_agree(name, real, synth):
    # the plain walk is what samples beyond about 1.6 million rows use
    n_r, n_s = len(real), len(synth)
    pooled = np.concatenate([real[:, 0], synth[:, 0]]).astype(np.result_type(real, synth))
    order = np.argsort(pooled)
    values = pooled[order]
    seq = order.astype(np.int32)[None]
    ends = np.append(values[1:] != values[:-1], True).astype(np.uint8)[None]
    rng = np.random.default_rng(1)
    r_idx = rng.integers(0, n_r, (30, n_r))
    s_idx = rng.integers(0, n_s, (30, n_s))
    packed = _kernels.ks_resampled(seq, ends, n_r, r_idx, s_idx)
    plain = _kernels.ks_resampled(seq, ends, n_r, r_idx, s_idx, plain_walk=True)
    np.testing.assert_array_equal(packed, plain)
    expected = [ks_2samp(real[r, 0], synth[s, 0], method="asymp").statistic
                for r, s in zip(r_idx, s_idx)]
    np.testing.assert_array_equal(plain[:, 0], expected)


def _heavy(idx, n_times, row):
    # resample 9 draws row exactly n_times times
    rest = idx[9, n_times:]
    rest[rest == row] = (row + 1) % idx.shape[1]
    idx[9, :n_times] = row
    return idx


@pytest.mark.parametrize("real_heavy, synth_heavy", [(0, 0), (300, 0), (0, 400), (255, 255)],
                         ids=["draws", "real row drawn 300 times", "synthetic row drawn 400 times",
                              "rows drawn 255 times"])
def test_walks_agree_on_long_samples_and_heavy_rows(real_heavy, synth_heavy):
    # resamples are walked eight at a time with the counts of a row in one byte
    # each; a row drawn more than 255 times sends its eight to the single walk
    rng = np.random.default_rng(4)
    real = np.round(rng.normal(size=3000), 2)  # runs of ties
    synth = np.round(rng.normal(0.1, 1.2, size=2500), 2)
    pooled = np.concatenate([real, synth])
    order = np.argsort(pooled)
    seq = order.astype(np.int32)[None]
    ends = np.append(pooled[order][1:] != pooled[order][:-1], True).astype(np.uint8)[None]
    # the heavy rows hold the smallest values: their jump is the statistic
    r_idx = _heavy(rng.integers(0, 3000, (21, 3000)), real_heavy, int(np.argmin(real)))
    s_idx = _heavy(rng.integers(0, 2500, (21, 2500)), synth_heavy, int(np.argmin(synth)))
    packed = _kernels.ks_resampled(seq, ends, 3000, r_idx, s_idx)
    plain = _kernels.ks_resampled(seq, ends, 3000, r_idx, s_idx, plain_walk=True)
    np.testing.assert_array_equal(packed, plain)
    expected = [ks_2samp(real[r], synth[s], method="asymp").statistic
                for r, s in zip(r_idx, s_idx)]
    np.testing.assert_array_equal(packed[:, 0], expected)


def test_batches_keep_the_draws_in_order(monkeypatch):
    # several batches (a small batch budget) give the replicates of one batch
    rng = np.random.default_rng(0)
    real, synth = rng.normal(size=(100, 2)), rng.normal(size=(90, 2))
    whole = bootstrap_ci(real, synth, stat_fn=fast_mean_ks, n_boot=40, random_seed=2)
    monkeypatch.setattr(bootstrap_module, "_BATCH_VALUES", 500)
    split = bootstrap_ci(real, synth, stat_fn=fast_mean_ks, n_boot=40, random_seed=2)
    np.testing.assert_array_equal(whole.replicates, split.replicates)


def _replaced_ks(*args, **kwargs):
    return ks_2samp(*args, **kwargs)


@pytest.mark.parametrize("real, synth, ks", [
    (np.array([[1.0], [np.nan]]), np.array([[1.0], [2.0]]), ks_2samp),  # NaN propagates
    (np.array([["a"], ["b"]], dtype=object), np.array([["a"]], dtype=object), ks_2samp),
    (np.zeros((3, 2)), np.zeros((3, 3)), ks_2samp),  # columns differ
    (np.zeros(3), np.zeros(3), ks_2samp),  # not 2-D
    (np.zeros((3, 0)), np.zeros((3, 0)), ks_2samp),  # no column
    (np.zeros((3, 1)), np.ones((3, 1)), _replaced_ks),  # not scipy's own function
])
def test_steps_aside_when_identity_is_not_certain(real, synth, ks):
    assert mean_ks_over_resamples(ks, np.mean)(real, synth) is None


def test_kernel_refuses_indices_outside_the_samples():
    fn = mean_ks_over_resamples(ks_2samp, np.mean)(np.zeros((3, 1)), np.ones((2, 1)))
    with pytest.raises(ValueError, match="outside its sample"):
        fn(np.array([[0, 1, 3]]), np.array([[0, 1]]))
    with pytest.raises(ValueError, match="outside its sample"):
        fn(np.array([[0, 1, 2]]), np.array([[-1, 1]]))
    with pytest.raises(ValueError, match="sizes"):
        fn(np.array([[0, 1]]), np.array([[0, 1]]))
    seq = np.array([[0, 7, 1]], dtype=np.int32)
    with pytest.raises(ValueError, match="outside the samples"):
        _kernels.ks_resampled(seq, np.ones((1, 3), np.uint8), 2,
                              np.zeros((1, 2), np.int64), np.zeros((1, 1), np.int64))


# ---------------------------------------------------------------------------
# Through the evaluator


@pytest.fixture
def tables():
    rng = np.random.default_rng(5)
    real = pd.DataFrame({"a": rng.normal(size=400), "b": rng.integers(0, 5, 400),
                         "c": rng.random(400) < 0.5, "t": ["x"] * 400})
    real.loc[::7, "a"] = np.nan
    synth = pd.DataFrame({"a": rng.normal(0.3, 1, 300), "b": rng.integers(0, 6, 300),
                          "c": rng.random(300) < 0.4, "t": ["y"] * 300})
    return real, synth


def _interval(real, synth, monkeypatch, spy_calls):
    real_bootstrap = bootstrap_module.bootstrap_ci

    def spy(*args, **kwargs):
        spy_calls.append(kwargs["stat_fn"])
        return real_bootstrap(*args, **kwargs)

    monkeypatch.setattr(bootstrap_module, "bootstrap_ci", spy)
    ev = TabularEvaluator(metrics=["ks_complement"], random_seed=4,
                          compute_bootstrap_ci=True, n_bootstrap=60)
    report = ev.evaluate(real, synth)
    return report.aggregate_metrics["ks_complement_a"].confidence_interval


def test_evaluator_interval_unchanged_and_replaced_ks_2samp_is_called(tables, monkeypatch):
    real, synth = tables
    seen = []
    fast = _interval(real, synth, monkeypatch, seen)
    assert callable(seen[0].over_resamples)
    assert seen[0].over_resamples(np.zeros((2, 1)), np.ones((2, 1))) is not None

    calls = []

    def counting_ks_2samp(a, b, *args, **kwargs):
        calls.append(len(a))
        return ks_2samp(a, b, *args, **kwargs)

    monkeypatch.setattr(scipy.stats, "ks_2samp", counting_ks_2samp)
    slow = _interval(real, synth, monkeypatch, seen)
    # the replaced function computes every replicate: 3 numeric columns,
    # the estimate plus 60 resamples
    assert len(calls) == 3 * 61
    assert fast == slow and fast[0] < fast[1]
