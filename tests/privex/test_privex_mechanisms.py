"""The Laplace and Gaussian mechanisms: draws, scales, shapes and failures."""

import math

import numpy as np
import pytest
from scipy import stats

GAUSS_FACTOR = math.sqrt(2 * math.log(1.25 / 1e-5))


@pytest.fixture
def processor(privex):
    return privex.PrivexProcessor(epsilon=0.5, delta=1e-5)


def test_laplace_draws_one_call_with_the_data_shape(processor):
    data = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    np.random.seed(3)
    expected = data + np.random.laplace(0, 2.0 / 0.5, (2, 3))
    after = np.random.random()
    np.random.seed(3)
    out = processor._add_laplace_noise(data, 2.0)
    assert out.shape == (2, 3)
    assert np.array_equal(out, expected)
    assert np.random.random() == after
    assert np.array_equal(data, [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])


def test_gaussian_draws_one_call_with_the_data_shape(processor):
    data = np.arange(12.0).reshape(3, 4)
    sigma = np.sqrt(2 * np.log(1.25 / 1e-5)) * 3.0 / 0.5
    np.random.seed(4)
    expected = data + np.random.normal(0, sigma, (3, 4))
    np.random.seed(4)
    out = processor._add_gaussian_noise(data=data, sensitivity=3)
    assert np.array_equal(out, expected)


@pytest.mark.parametrize("name", ["_add_laplace_noise", "_add_gaussian_noise"])
def test_seeded_calls_repeat_and_edge_inputs(processor, name):
    mechanism = getattr(processor, name)
    data = np.linspace(-5, 5, 20)
    np.random.seed(11)
    first = mechanism(data, 1.5)
    np.random.seed(11)
    assert np.array_equal(mechanism(data, 1.5), first)
    assert mechanism(np.array([]), 1.0).shape == (0,)
    assert np.array_equal(mechanism(data, 0), data)  # zero scale: values unchanged


@pytest.mark.parametrize(
    "name, setting",
    [
        ("_add_laplace_noise", "epsilon"),
        ("_add_gaussian_noise", "epsilon"),
        ("_add_gaussian_noise", "delta"),
    ],
)
def test_zero_denominator_raises_zero_division(privex, name, setting):
    p = privex.PrivexProcessor(**{setting: 0.0})
    np.random.seed(1)
    before = np.random.get_state()[1].copy()
    np.random.seed(1)
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        getattr(p, name)(np.ones(3), 1.0)
    assert np.array_equal(np.random.get_state()[1], before)


@pytest.mark.parametrize("name", ["_add_laplace_noise", "_add_gaussian_noise"])
@pytest.mark.parametrize("epsilon, sensitivity", [(-1.0, 1.0), (1.0, -1.0)])
def test_negative_scale_is_refused_by_numpy(privex, name, epsilon, sensitivity):
    p = privex.PrivexProcessor(epsilon=epsilon)
    with pytest.raises(ValueError, match="scale < 0"):
        getattr(p, name)(np.ones(3), sensitivity)


@pytest.mark.parametrize("name", ["_add_laplace_noise", "_add_gaussian_noise"])
def test_sensitivity_must_convert_to_float(processor, name):
    np.random.seed(2)
    expected = np.random.random()
    np.random.seed(2)
    with pytest.raises(TypeError, match="must be real number, not str"):
        getattr(processor, name)(np.ones(3), "1.0")
    assert np.random.random() == expected  # nothing was drawn
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        getattr(processor, name)(np.ones(3))


# ---------------------------------------------------------------------------
# The noise really has the stated scale: Kolmogorov-Smirnov against the exact
# distribution on a large seeded sample, plus a wrong scale that the same test
# must reject, so the check has teeth.

N = 200_000


@pytest.mark.parametrize("epsilon, sensitivity", [(1.0, 1.0), (0.25, 3.0), (8.0, 0.5)])
def test_laplace_noise_has_scale_sensitivity_over_epsilon(privex, epsilon, sensitivity):
    p = privex.PrivexProcessor(epsilon=epsilon, random_state=20240)
    noise = p._add_laplace_noise(np.zeros(N), sensitivity)
    scale = sensitivity / epsilon
    assert stats.kstest(noise, stats.laplace(scale=scale).cdf).pvalue > 0.01
    assert stats.kstest(noise, stats.laplace(scale=scale * 1.03).cdf).pvalue < 1e-6


@pytest.mark.parametrize(
    "epsilon, delta, sensitivity", [(1.0, 1e-5, 1.0), (0.5, 1e-3, 2.0), (4.0, 0.1, 10.0)]
)
def test_gaussian_noise_has_the_calibrated_sigma(privex, epsilon, delta, sensitivity):
    p = privex.PrivexProcessor(epsilon=epsilon, delta=delta, random_state=777)
    noise = p._add_gaussian_noise(np.zeros(N), sensitivity)
    sigma = math.sqrt(2 * math.log(1.25 / delta)) * sensitivity / epsilon
    assert stats.kstest(noise, stats.norm(scale=sigma).cdf).pvalue > 0.01
    assert stats.kstest(noise, stats.norm(scale=sigma * 1.03).cdf).pvalue < 1e-6


def test_default_gaussian_factor(privex):
    p = privex.PrivexProcessor(random_state=1)
    noise = p._add_gaussian_noise(np.zeros(N), 1.0)
    assert GAUSS_FACTOR == pytest.approx(4.8448, abs=1e-4)
    assert np.std(noise) == pytest.approx(GAUSS_FACTOR, rel=0.01)
