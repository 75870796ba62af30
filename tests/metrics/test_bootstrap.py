import numpy as np
import pytest

from quorvix.utils.bootstrap import BootstrapResult, bootstrap_ci


def mean_diff(r, s):
    return float(r[:, 0].mean() - s[:, 0].mean())


@pytest.fixture(scope="module")
def samples():
    rng = np.random.default_rng(0)
    return rng.normal(1.0, 1.0, size=(400, 2)), rng.normal(0.0, 1.0, size=(300, 2))


def test_interval_brackets_estimate_and_truth(samples):
    r, s = samples
    res = bootstrap_ci(r, s, stat_fn=mean_diff, n_boot=300, alpha=0.05, random_seed=1)
    assert isinstance(res, BootstrapResult)
    assert res.estimate == pytest.approx(mean_diff(r, s))
    assert res.lower < res.estimate < res.upper
    assert res.lower < 1.0 < res.upper  # true difference of the means
    # width close to the normal-theory one: 2 * 1.96 * sqrt(1/400 + 1/300)
    assert res.upper - res.lower == pytest.approx(2 * 1.96 * np.sqrt(1 / 400 + 1 / 300), rel=0.25)
    assert (res.n_boot, res.alpha, res.n_valid) == (300, 0.05, 300)


def test_same_seed_same_interval_other_seed_differs(samples):
    r, s = samples
    a = bootstrap_ci(r, s, stat_fn=mean_diff, n_boot=50, alpha=0.1, random_seed=7)
    b = bootstrap_ci(r, s, stat_fn=mean_diff, n_boot=50, alpha=0.1, random_seed=7)
    c = bootstrap_ci(r, s, stat_fn=mean_diff, n_boot=50, alpha=0.1, random_seed=8)
    assert (a.lower, a.upper) == (b.lower, b.upper)
    np.testing.assert_array_equal(a.replicates, b.replicates)
    assert not np.array_equal(a.replicates, c.replicates)


def test_stat_fn_sees_resampled_rows_of_each_input():
    real = np.array([[1.0, 10.0], [2.0, 20.0], [3.0, 30.0]])
    synth = np.array([[-1.0, -10.0], [-2.0, -20.0]])
    seen = []

    def stat(r, s):
        seen.append((r.copy(), s.copy()))
        return 0.0

    bootstrap_ci(real, synth, stat_fn=stat, n_boot=20, alpha=0.05, random_seed=0)
    assert len(seen) == 21  # the full-sample estimate, then one call per replicate
    for r, s in seen[1:]:
        assert r.shape == (3, 2) and s.shape == (2, 2)
        # rows are whole rows of the matching input (columns stay together)
        assert all(any((row == x).all() for x in real) for row in r)
        assert all(any((row == x).all() for x in synth) for row in s)


def test_nonfinite_replicates_are_left_out():
    calls = {"n": 0}

    def flaky(r, s):
        calls["n"] += 1
        return float("nan") if calls["n"] % 2 else 1.0

    res = bootstrap_ci(np.ones((5, 1)), np.ones((5, 1)), stat_fn=flaky, n_boot=10,
                       alpha=0.05, random_seed=0)
    assert res.n_valid == 5 and res.lower == res.upper == 1.0
    all_nan = bootstrap_ci(np.ones((5, 1)), np.ones((5, 1)), stat_fn=lambda r, s: np.nan,
                           n_boot=3, alpha=0.05, random_seed=0)
    assert all_nan.n_valid == 0 and np.isnan(all_nan.lower) and np.isnan(all_nan.upper)


@pytest.mark.parametrize("kwargs, message", [
    ({"n_boot": 0}, "n_boot"),
    ({"n_boot": -5}, "n_boot"),
    ({"n_boot": 2.5}, "n_boot"),
    ({"alpha": 0.0}, "alpha"),
    ({"alpha": 1.0}, "alpha"),
    ({"alpha": float("nan")}, "alpha"),
    ({"alpha": "x"}, "alpha"),
])
def test_bad_settings_raise_value_error(kwargs, message):
    args = {"n_boot": 10, "alpha": 0.05, "random_seed": 0, **kwargs}
    with pytest.raises(ValueError, match=message):
        bootstrap_ci(np.ones((3, 1)), np.ones((3, 1)), stat_fn=mean_diff, **args)


def test_empty_sample_raises_value_error():
    with pytest.raises(ValueError, match="no rows"):
        bootstrap_ci(np.empty((0, 2)), np.ones((3, 2)), stat_fn=mean_diff, n_boot=5,
                     alpha=0.05, random_seed=0)


def test_numeric_object_arrays_become_float():
    import pandas as pd

    df = pd.DataFrame({"b": [True, False, True], "i": [1, 2, 3], "f": [0.5, 1.5, 2.5]})
    assert df.values.dtype == object
    dtypes = set()

    def stat(r, s):
        dtypes.add((r.dtype, s.dtype))
        return float(r[:, 1].sum())

    res = bootstrap_ci(df.values, df.values, stat_fn=stat, n_boot=5, alpha=0.05, random_seed=0)
    assert dtypes == {(np.dtype("float64"), np.dtype("float64"))} and res.estimate == 6.0
    # text stays as it is
    text = np.array([["a"], ["b"]], dtype=object)
    out = bootstrap_ci(text, text, stat_fn=lambda r, s: float(r.dtype == object),
                       n_boot=2, alpha=0.05, random_seed=0)
    assert out.estimate == 1.0
