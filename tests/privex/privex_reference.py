"""The noise passes written out step by step in Python, one numpy call per draw
exactly as the passes document them (scalar Laplace draws per distinct value,
choice over the list of values). The native module must agree with these draw
for draw wherever the plain steps are well defined (float columns, unique
index labels, values that numpy keeps as they are)."""

import numpy as np
import pandas as pd

CATEGORICAL_KINDS = ["object", "string", "category", "bool"]


def laplace_values(data, sensitivity, epsilon):
    return data + np.random.laplace(0, float(sensitivity) / epsilon, data.shape)


def gaussian_values(data, sensitivity, epsilon, delta):
    sigma = np.sqrt(2 * np.log(1.25 / delta)) * float(sensitivity) / epsilon
    return data + np.random.normal(0, sigma, data.shape)


def numerical_pass(df, cols, epsilon=1.0, noise_scale=0.1):
    df_dp = df.copy()
    for col in cols:
        if col not in df.columns:
            continue
        col_data = df[col].dropna()
        if len(col_data) == 0:
            continue
        try:
            is_integer = bool(np.all(np.mod(col_data, 1) == 0))
        except Exception:
            is_integer = False
        data_range = col_data.max() - col_data.min()
        if data_range == 0:
            data_range = 1.0
        noisy = laplace_values(col_data.values, data_range * noise_scale, epsilon)
        df_dp.loc[col_data.index, col] = noisy
        df_dp[col] = np.clip(
            df_dp[col], col_data.min() - data_range * 0.1, col_data.max() + data_range * 0.1
        )
        if is_integer:
            df_dp[col] = df_dp[col].round()
    return df_dp


def gaussian_loop(df_dp, cols, epsilon=1.0, delta=1e-5, noise_scale=0.1):
    for col in cols:
        if col not in df_dp.columns:
            continue
        col_data = df_dp[col].dropna()
        if len(col_data) == 0:
            continue
        data_range = col_data.max() - col_data.min()
        if data_range == 0:
            data_range = 1.0
        noisy = gaussian_values(col_data.values, data_range * noise_scale, epsilon, delta)
        df_dp.loc[col_data.index, col] = noisy
    return df_dp


def categorical_pass(df, cols, epsilon=1.0):
    df_dp = df.copy()
    for col in cols:
        if col not in df.columns:
            continue
        value_counts = df[col].value_counts()
        if len(df[col].dropna()) == 0:
            continue
        sensitivity = 1.0
        noisy_counts = {}
        for value, count in value_counts.items():
            noisy_count = count + np.random.laplace(0, sensitivity / epsilon)
            noisy_counts[value] = max(0, noisy_count)
        total_noisy = sum(noisy_counts.values())
        if total_noisy > 0:
            probabilities = {v: c / total_noisy for v, c in noisy_counts.items()}
        else:
            probabilities = {v: 1.0 / len(value_counts) for v in value_counts.index}
        values = list(probabilities.keys())
        weights = list(probabilities.values())
        probs = np.array(weights) / np.sum(weights)
        df_dp[col] = np.random.choice(values, size=len(df), p=probs)
    return df_dp


def minimal_pass(df, numerical_noise_std=0.01, categorical_noise_prob=0.05):
    df_dp = df.copy()
    for col in df.select_dtypes(include=[np.number]).columns:
        noise = np.random.normal(0, numerical_noise_std, len(df))
        df_dp[col] = df[col] + noise
    for col in df.select_dtypes(include=CATEGORICAL_KINDS).columns:
        mask = np.random.random(len(df)) < categorical_noise_prob
        if not mask.any():
            continue
        unique_values = df[col].dropna().unique()
        if len(unique_values) < 2:
            continue
        df_dp.loc[mask, col] = np.random.choice(unique_values, size=mask.sum())
    return df_dp


def state_after():
    """A fingerprint of numpy's global legacy random state."""
    _, keys, pos, has_gauss, cached = np.random.get_state()
    return keys.tobytes(), pos, has_gauss, cached


def seeded(seed, fn, *args, **kwargs):
    """fn(*args) right after np.random.seed(seed); returns (result, state fingerprint)."""
    np.random.seed(seed)
    out = fn(*args, **kwargs)
    return out, state_after()


def frames_identical(a, b):
    """Equal values (exactly), dtypes, index and columns."""
    pd.testing.assert_frame_equal(a, b, check_exact=True)


def seeded_outcome(seed, fn, *args, **kwargs):
    """seeded(), with an exception standing as (type, message) for the result."""
    np.random.seed(seed)
    try:
        out = fn(*args, **kwargs)
    except Exception as err:
        out = (type(err), str(err))
    return out, state_after()


def assert_same_outcome(got, expected):
    """Two seeded_outcome() results: the same table or the same error, and the same state after."""
    (out, state), (want, want_state) = got, expected
    assert state == want_state
    assert isinstance(out, tuple) == isinstance(want, tuple), (out, want)
    if isinstance(out, tuple):
        assert out == want
    else:
        frames_identical(out, want)
