"""Native loops behind the metric classes reproduce the numbers of the
library calls they replace."""

import threading

import numpy as np
import pandas as pd
import pytest

from quorvix import _kernels
from quorvix.evaluation.metrics.similarity import CorrelationSimilarityMetrics


def _spearman_cases():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(400, 5))
    x[rng.random(x.shape) < 0.1] = np.nan
    yield "missing at random", x
    t = rng.integers(0, 4, (300, 4)).astype(float)
    t[rng.random(t.shape) < 0.2] = np.nan
    yield "ties and missing", t
    same = rng.normal(size=(50, 3))
    same[::4, :] = np.nan  # the same rows missing everywhere
    yield "shared missing rows", same
    c = rng.normal(size=(30, 3))
    c[:, 1] = 2.0  # constant: NaN
    c[3:, 2] = np.nan  # three values only
    yield "constant and short", c
    yield "two rows", rng.normal(size=(2, 3))
    yield "no rows", np.empty((0, 2))
    yield "one column", rng.normal(size=(10, 1))
    z = np.array([[0.0, 1.0], [-0.0, 2.0], [1.0, 2.0], [0.0, 3.0]])
    yield "signed zeros", z
    yield "column order", np.asfortranarray(rng.normal(size=(60, 4)))


SPEARMAN = list(_spearman_cases())


@pytest.mark.parametrize("name, x", SPEARMAN, ids=[c[0] for c in SPEARMAN])
def test_spearman_matrix_is_pandas_spearman(name, x):
    expected = pd.DataFrame(x).corr(method="spearman", min_periods=3).to_numpy()
    got = _kernels.spearman_matrix(x, 3)
    np.testing.assert_array_equal(got, expected)


def test_spearman_difference_unchanged():
    # the score as it was computed with pandas ranking every pair
    rng = np.random.default_rng(2)
    real = pd.DataFrame(rng.normal(size=(2000, 6)), columns=list("abcdef"))
    real["g"] = rng.integers(0, 3, 2000)
    synth = real.sample(frac=1.0, random_state=1).reset_index(drop=True) + 0.3
    synth["a"] = rng.permutation(synth["a"].to_numpy())
    for df in (real, synth):
        df.loc[rng.random(len(df)) < 0.05, "b"] = np.nan
        df.loc[rng.random(len(df)) < 0.05, "e"] = np.nan
    cr, cs = [np.fill_diagonal(m := np.clip(np.nan_to_num(
        df.corr(method="spearman", min_periods=3).to_numpy(), nan=0.0), -1, 1), 1.0) or m
        for df in (real, synth)]
    iu = np.triu_indices(7, k=1)
    expected = float(np.clip(1.0 - np.abs(cr[iu] - cs[iu]).mean(), 0.0, 1.0))
    got = CorrelationSimilarityMetrics(real, synth).spearman_correlation_difference()
    assert got == expected


def test_column_work_on_two_threads_gives_the_same_scores(monkeypatch):
    from quorvix.evaluation.metrics import _prep, _shared
    from quorvix.evaluation.metrics.similarity import UnivariateSimilarityMetrics
    from quorvix.tabular.evaluator.metrics.statistical.ks_complement import KSComplementMetric

    rng = np.random.default_rng(4)
    real = pd.DataFrame({f"x{i}": rng.normal(i, 1, 3000) for i in range(5)})
    real["t"] = rng.choice(list("abc"), 3000)
    real.loc[::11, "x2"] = np.nan
    synth = real.sample(frac=1.0, replace=True, random_state=2).reset_index(drop=True)
    synth["x1"] += 0.3

    def scores():
        _shared.clear()
        u = UnivariateSimilarityMetrics(real, synth)
        return (KSComplementMetric().compute(real, synth), u.wasserstein_distance_metric(),
                u.total_variation_distance(), u.jensen_shannon_divergence())

    monkeypatch.setattr(_prep, "_PARALLEL_MIN_ROWS", 10**9)
    one_thread = scores()
    monkeypatch.setattr(_prep, "_PARALLEL_MIN_ROWS", 0)
    two_threads = scores()
    assert two_threads == one_thread
    assert list(two_threads[0]) == [f"x{i}" for i in range(5)]


def test_column_work_raises_the_first_error(monkeypatch):
    from quorvix.evaluation.metrics import _prep

    monkeypatch.setattr(_prep, "_PARALLEL_MIN_ROWS", 0)

    def fn(i):
        if i in (1, 3):
            raise ValueError(f"column {i}")
        return i * 2

    assert _prep.per_column(lambda i: i * 2, range(5), 10) == [0, 2, 4, 6, 8]
    with pytest.raises(ValueError, match="column 1"):
        _prep.per_column(fn, range(5), 10)


def test_distance_blocks_on_two_threads_give_the_same_values(monkeypatch):
    import os

    from quorvix.evaluation.metrics._prep import nearest_sq_distances
    from quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak import LikelihoodLeakMetric

    rng = np.random.default_rng(8)
    real = pd.DataFrame(rng.normal(size=(5200, 4)), columns=list("abcd"))
    real["t"] = rng.choice(["x", "y"], 5200)
    synth = real.sample(2000, random_state=3).reset_index(drop=True)
    q, ref = rng.normal(size=(3000, 3)), rng.normal(size=(2500, 3))
    exclude = rng.integers(-1, 2500, 3000)

    def run():
        leak = LikelihoodLeakMetric(random_seed=1).compute(real, synth)
        return (leak.value, leak.details,
                nearest_sq_distances(q, ref, k=3, exclude=exclude).tolist())

    two = run()
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    assert run() == two


@pytest.mark.parametrize("x, edges", [
    (np.array([0.5, 1.0, 2.0, 3.0, 3.0, -5.0, 9.0]), np.array([1.0, 2.0, 3.0])),
    (np.array([-0.0, 0.0, 1.0]), np.array([0.0])),
    (np.array([], dtype=float), np.array([0.0, 1.0])),
    (np.array([-np.inf, np.inf, 2.0]), np.array([1.0, 2.0, 2.0, 4.0])),
    (np.random.default_rng(1).normal(size=5000),
     np.quantile(np.random.default_rng(2).normal(size=300), np.linspace(0, 1, 21))),
])
def test_bin_counts_are_the_searchsorted_counts(x, edges):
    from quorvix.evaluation.metrics.similarity import _quantile_bins

    edges = np.unique(edges)
    expected = np.bincount(_quantile_bins(x, edges), minlength=len(edges) + 1)
    np.testing.assert_array_equal(_kernels.bin_counts(x, edges), expected)


@pytest.mark.parametrize("x", [
    np.array([]), np.array([1.0]), np.array([-0.0, 0.0, 0.0]), np.arange(20.0),
    np.arange(21.0), np.tile(np.arange(19.0), 50), np.random.default_rng(0).normal(size=100),
])
def test_more_distinct_than_counts_like_unique(x):
    for limit in (0, 1, 19, 20, 21):
        assert _kernels.more_distinct_than(x, limit) == (np.unique(x).size > limit)


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("kind", ["continuous", "ties", "copies"])
def test_kth_nearest_is_the_partition_of_the_distances(k, kind):
    from quorvix.evaluation.metrics._prep import kth_smallest_per_row, pairwise_sq_distances

    rng = np.random.default_rng(k)
    q = rng.normal(size=(70, 4)) if kind == "continuous" else rng.integers(-1, 2, (70, 4)) * 1.0
    ref = q[rng.integers(0, 70, 50)] if kind == "copies" else rng.normal(size=(50, 4))
    exclude = rng.integers(-1, 50, 70)
    d2 = pairwise_sq_distances(q, ref)
    d2[np.arange(70)[exclude >= 0], exclude[exclude >= 0]] = np.inf
    expected = kth_smallest_per_row(d2.copy(), k)
    got = _kernels.kth_nearest(q @ ref.T, np.einsum("ij,ij->i", q, q),
                               np.einsum("ij,ij->i", ref, ref), k, exclude)
    np.testing.assert_array_equal(got, expected)
    np.testing.assert_array_equal(expected, np.partition(d2, k - 1, axis=1)[:, k - 1])


def test_kth_nearest_with_nan_rows_sorts_nan_last():
    gram = np.array([[0.0, np.nan, 1.0], [np.nan, np.nan, 0.0]])
    zeros = np.zeros(2)
    got = _kernels.kth_nearest(gram, zeros, np.zeros(3), 2, np.empty(0, np.int64))
    d2 = np.maximum(-2.0 * gram, 0.0)
    np.testing.assert_array_equal(got, np.partition(d2, 1, axis=1)[:, 1])
    with pytest.raises(ValueError):
        _kernels.kth_nearest(gram, zeros, np.zeros(3), 4, np.empty(0, np.int64))


@pytest.mark.parametrize("kind", ["continuous", "ties", "copies"])
def test_support_scores_match_the_full_distance_matrix(kind, monkeypatch):
    from quorvix.evaluation.metrics._prep import pairwise_sq_distances
    from quorvix.tabular.evaluator.metrics.fidelity import _support

    rng = np.random.default_rng(6)
    sup = rng.normal(size=(300, 3)) if kind != "ties" else rng.integers(-1, 2, (300, 3)) * 1.0
    pts = sup[rng.integers(0, 300, 250)] if kind == "copies" else rng.normal(size=(250, 3))
    k = 4
    d_ss = pairwise_sq_distances(sup, sup)
    np.fill_diagonal(d_ss, np.inf)
    radii2 = np.partition(d_ss, k - 1, axis=1)[:, k - 1]
    sq = max(np.einsum("ij,ij->i", sup, sup).max(), np.einsum("ij,ij->i", pts, pts).max())
    tol = 1e-9 * (1.0 + sq)
    d_ps = pairwise_sq_distances(pts, sup)
    precision = float((d_ps <= radii2 + tol).any(axis=1).mean())
    recall = float((d_ps.min(axis=0) <= radii2 + tol).mean())
    assert _support.coverage(sup, pts, k) == precision
    assert _support.covered(sup, pts, k) == recall
    # both from one pass over the blocks (several blocks, on two threads)
    monkeypatch.setattr(_support, "_BLOCK_CELLS", 1000)
    monkeypatch.setattr(_support, "_PARALLEL_CELLS", 1000)
    assert _support._both_scores(sup, pts, k) == (precision, recall)


def test_nearest_and_within_reads_the_block_both_ways():
    gram = np.array([[0.0, 1.0, np.nan], [np.nan, np.nan, np.nan], [2.0, -1.0, 0.5]])
    a_sq, b_sq = np.array([1.0, 0.0, 4.0]), np.array([1.0, 2.0, 0.0])
    d2 = np.maximum(a_sq[:, None] + b_sq[None, :] - 2.0 * gram, 0.0)
    limit = np.array([0.5, 10.0, 2.0])
    nearest, within = _kernels.nearest_and_within(gram, a_sq, b_sq, limit)
    np.testing.assert_array_equal(nearest, np.fmin.reduce(d2, axis=1))  # [1, NaN, 1]
    np.testing.assert_array_equal(nearest, [1.0, np.nan, 1.0])
    np.testing.assert_array_equal(within, (d2 <= limit[:, None]).any(axis=0))
    with pytest.raises(ValueError):
        _kernels.nearest_and_within(gram, a_sq, b_sq, limit[:2])


def test_radii_are_reused_only_for_the_same_sample():
    from quorvix.tabular.evaluator.metrics.fidelity import _support

    rng = np.random.default_rng(1)
    x = rng.normal(size=(200, 3))
    first = _support.knn_radii2(x, 3)
    assert _support.knn_radii2(x.copy(), 3) is first
    assert _support.knn_radii2(x, 2) is not first
    y = x.copy()
    y[5, 1] += 1e-12
    assert _support.knn_radii2(y, 3) is not first  # changed content: computed anew


def _text_tables(dtype):
    rng = np.random.default_rng(9)
    levels = np.array([f"v{i}" for i in range(30)], dtype=object)

    def col(n, k, share_missing=0.1):
        v = np.resize(np.repeat(levels[:k], 40), n)  # many tied counts
        rng.shuffle(v)
        v = v.astype(object)
        v[rng.random(n) < share_missing] = None
        return pd.Series(v, dtype=dtype)

    real = pd.DataFrame({"a": col(900, 30), "x": rng.normal(size=900), "b": col(900, 3),
                         "gone": col(900, 2, share_missing=1.0)})
    synth = pd.DataFrame({"a": col(700, 25), "x": rng.normal(size=700), "b": col(700, 4),
                          "gone": col(700, 2)})
    return real, synth


@pytest.mark.parametrize("dtype", [object, "string", "string[pyarrow]"])
def test_text_columns_encode_and_count_as_python_objects_do(monkeypatch, dtype):
    from quorvix.evaluation.metrics import _prep

    real, synth = _text_tables(dtype)

    def outputs():
        enc = _prep.Encoder(real, synth)
        codes = [_prep.categorical_codes(real[c], synth[c]) for c in ("a", "b", "gone")]
        return enc._levels, enc.transform(real), enc.transform(synth), codes

    fast = outputs()
    monkeypatch.setattr(_prep, "_holds_text_only", lambda s: False)
    slow = outputs()
    assert {c: list(v) for c, v in fast[0].items()} == {c: list(v) for c, v in slow[0].items()}
    np.testing.assert_array_equal(fast[1], slow[1])
    np.testing.assert_array_equal(fast[2], slow[2])
    for (fr, fs, fn), (sr, ss, sn) in zip(fast[3], slow[3]):
        np.testing.assert_array_equal(fr, sr)
        np.testing.assert_array_equal(fs, ss)
        assert fn == sn


def _gower_blocks(q_num, q_cat, r_num, r_cat, exclude=None):
    """The DCR metric's numpy blocks, written out."""
    acc = np.zeros((len(q_num), len(r_num)), dtype="float32")
    tmp = np.empty_like(acc)
    for j in range(q_num.shape[1]):
        np.subtract(q_num[:, j, None], r_num[None, :, j], out=tmp)
        np.abs(tmp, out=tmp)
        np.minimum(tmp, 1.0, out=tmp)
        acc += tmp
    for j in range(q_cat.shape[1]):
        acc += q_cat[:, j, None] != r_cat[None, :, j]
    if exclude is not None:
        acc[np.arange(len(q_num)), exclude] = np.inf
    return acc.min(axis=1).astype("float64")


@pytest.mark.parametrize("seed", range(7))
def test_gower_nearest_is_the_numpy_blocks(seed):
    from quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record import _nearest

    rng = np.random.default_rng(seed)
    n, m, a, b = 40 + seed, 60, seed % 4, (seed + 1) % 3
    if seed == 6:  # enough work for two threads
        n, m = 301, 707
    q_num = (rng.random((n, a)) * 1.5).astype(np.float32)
    r_num = (rng.random((m, a)) * 1.5).astype(np.float32)
    q_num[rng.random((n, a)) < 0.2] = 10.0  # the metric's stand-in for missing
    if seed == 5:
        r_num[rng.random((m, a)) < 0.1] = np.nan
    q_cat, r_cat = rng.integers(-1, 3, (n, b)), rng.integers(-1, 3, (m, b))
    exclude = rng.integers(-1, m, n) if seed % 2 else None
    np.testing.assert_array_equal(_nearest(q_num, q_cat, r_num, r_cat, exclude),
                                  _gower_blocks(q_num, q_cat, r_num, r_cat, exclude))


def test_forests_on_two_threads_predict_as_on_one(monkeypatch):
    from quorvix.evaluation.metrics import _models

    rng = np.random.default_rng(3)
    x, x_test = rng.normal(size=(600, 5)), rng.normal(size=(200, 5))
    y_class = np.where(x[:, 0] + rng.normal(size=600) > 0, "a", "b").astype(object)
    y_reg = x[:, 1] * 2 + rng.normal(size=600)
    two = [_models.fit_predict("classification", x, y_class, x_test, 5),
           _models.fit_predict("regression", x, y_reg, x_test, 5)]
    monkeypatch.setattr(_models, "_N_JOBS", 1)
    one = [_models.fit_predict("classification", x, y_class, x_test, 5),
           _models.fit_predict("regression", x, y_reg, x_test, 5)]
    np.testing.assert_array_equal(two[0], one[0])
    np.testing.assert_array_equal(two[1], one[1])


@pytest.mark.parametrize("bandwidth", [1e-3, 0.05, 0.5, 5.0])
def test_kernel_log_sums_are_scipys_logsumexp_up_to_the_last_bits(bandwidth):
    from scipy.special import logsumexp

    from quorvix.evaluation.metrics._prep import pairwise_sq_distances

    rng = np.random.default_rng(4)
    ref = rng.normal(size=(400, 6))
    q = np.vstack([rng.normal(size=(60, 6)), ref[:5], np.full((1, 6), 40.0)])  # copies, far away
    divisor = 2.0 * bandwidth ** 2
    got = _kernels.kernel_log_sums(q @ ref.T, np.einsum("ij,ij->i", q, q),
                                   np.einsum("ij,ij->i", ref, ref), divisor)
    expected = logsumexp(-pairwise_sq_distances(q, ref) / divisor, axis=1)
    # on the log scale: the left-out terms weigh less than 2^-60 of the sum;
    # what remains is the rounding of the additions, done in another order
    # than scipy's (a few units in the last place of the sum)
    np.testing.assert_allclose(got, expected, rtol=1e-15, atol=1e-14)


def test_kernel_log_sums_edge_rows():
    gram = np.array([[0.0, 1.0], [np.nan, 0.0], [-np.inf, -np.inf]])
    got = _kernels.kernel_log_sums(gram, np.zeros(3), np.zeros(2), 2.0)
    # row 0: d2 = 0 and 0 (negative clamped): log(2); NaN stays NaN;
    # infinite distances: every term 0, log 0 = -inf
    np.testing.assert_array_equal(got, [np.log(2.0), np.nan, -np.inf])
    with pytest.raises(ValueError):
        _kernels.kernel_log_sums(gram, np.zeros(3), np.zeros(2), 0.0)


def test_sq_distances_in_place_are_numpys():
    from quorvix.evaluation.metrics._prep import pairwise_sq_distances

    rng = np.random.default_rng(5)
    a = rng.normal(size=(50, 7))
    b = np.vstack([a[:10], rng.normal(size=(30, 7))])  # copies: tiny negatives clamped
    a[3, 2] = np.nan
    gram = a @ b.T
    _kernels.sq_distances_in_place(gram, np.einsum("ij,ij->i", a, a), np.einsum("ij,ij->i", b, b))
    np.testing.assert_array_equal(gram, pairwise_sq_distances(a, b))
    with pytest.raises(ValueError):
        _kernels.sq_distances_in_place(gram, np.zeros(3), np.zeros(40))


def test_scratch_buffers_are_reused_only_during_an_evaluation():
    from quorvix.evaluation.metrics import _prep

    outside = _prep.scratch_matrix(3, 4)
    assert not np.shares_memory(_prep.scratch_matrix(3, 4), outside)
    _prep.reuse_buffers(True)
    try:
        first = _prep.scratch_matrix(30, 40)
        smaller = _prep.scratch_matrix(2, 5)
        assert smaller.shape == (2, 5) and smaller.flags.c_contiguous
        assert np.shares_memory(first, smaller)  # one buffer per thread
        other = []
        worker = threading.Thread(target=lambda: other.append(_prep.scratch_matrix(30, 40)))
        worker.start()
        worker.join()
        assert not np.shares_memory(first, other[0])
    finally:
        _prep.reuse_buffers(False)
    assert _prep._scratch == {}


def _with_categories(df, rng, level_counts, n_rows):
    """The first n_rows of df with text columns c0, c1, ... of the given
    numbers of levels; about 5 % of c1 missing."""
    extra = {f"c{i}": rng.choice([f"v{j}" for j in range(levels)], len(df)).astype(object)
             for i, levels in enumerate(level_counts)}
    out = df.assign(**extra)
    out.loc[rng.random(len(df)) < 0.05, "c1"] = None
    return out.iloc[:n_rows]


def _layout_pair(n_q, m, n_dense, n_blocks, n_flags, seed):
    """Queries and references in an encoder-like layout: their parts, and
    the same rows as full matrices (dense columns, then one-hot blocks of
    width 5 holding 0.5, then 0/1 indicator columns set for about 30 % of
    the rows)."""
    rng = np.random.default_rng(seed)

    def side(n):
        dense = rng.normal(size=(n, n_dense))
        slots = rng.integers(0, 5, size=(n, n_blocks)).astype(np.uint8)
        flags = (rng.random((n, n_flags)) < 0.3).astype(np.uint8)
        full = np.zeros((n, n_dense + 5 * n_blocks + n_flags))
        full[:, :n_dense] = dense
        for b in range(n_blocks):
            full[np.arange(n), n_dense + 5 * b + slots[:, b]] = 0.5
        full[:, n_dense + 5 * n_blocks:] = flags
        return [dense, slots, flags, full]

    qs, rs = side(n_q), side(m)
    for a, b in zip(qs, rs):
        b[: min(m, n_q) // 2] = a[: min(m, n_q) // 2]  # some exact copies
    q_dense, q_slots, q_flags, q = qs
    r_dense, r_slots, r_flags, r = rs
    if n_q > 2 and n_dense:
        q_dense[1, 0] = q[1, 0] = np.nan  # a query without any distance
    args = (q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, 0.25,
            np.einsum("ij,ij->i", q, q), np.einsum("ij,ij->i", r, r))
    return args, q, r


# sizes around the groups of queries (16), the panels (8) and tiles (512) of
# references, and one large enough for two threads
_LAYOUT_SIZES = [(1, 1, 2, 1, 0), (5, 9, 3, 0, 2), (37, 700, 4, 11, 1), (300, 1100, 12, 8, 12)]


@pytest.mark.parametrize("n_q, m, n_dense, n_blocks, n_flags", _LAYOUT_SIZES)
def test_layout_scans_give_the_numbers_of_the_plain_products(n_q, m, n_dense, n_blocks, n_flags):
    args, q, r = _layout_pair(n_q, m, n_dense, n_blocks, n_flags, seed=n_q + m)
    gram = np.ascontiguousarray(q @ r.T)
    a_sq, b_sq = args[7], args[8]
    none = np.empty(0, dtype=np.int64)
    for k in sorted({1, min(3, m)}):
        np.testing.assert_allclose(
            _kernels.layout_kth_nearest(*args, k, none),
            _kernels.kth_nearest(gram, a_sq, b_sq, k, none), rtol=1e-12, atol=1e-12)
    if m > 1:
        # leave-one-out: query i must not meet reference i (-1: nothing left out)
        exclude = np.arange(n_q, dtype=np.int64) % m
        exclude[::3] = -1
        np.testing.assert_allclose(
            _kernels.layout_kth_nearest(*args, 1, exclude),
            _kernels.kth_nearest(gram, a_sq, b_sq, 1, exclude), rtol=1e-12, atol=1e-12)
    for divisor in (0.05, 3.0):
        np.testing.assert_allclose(
            _kernels.layout_kernel_log_sums(*args, divisor),
            _kernels.kernel_log_sums(gram, a_sq, b_sq, divisor), rtol=1e-12, atol=1e-12)
    limit = np.random.default_rng(1).uniform(0.0, 2.0 * n_dense + 1.0, n_q)
    nearest, within = _kernels.layout_nearest_and_within(*args, limit)
    want_nearest, want_within = _kernels.nearest_and_within(gram, a_sq, b_sq, limit)
    np.testing.assert_allclose(nearest, want_nearest, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(within, want_within)


def test_layout_scans_refuse_parts_that_do_not_match():
    args, _, _ = _layout_pair(6, 10, 3, 2, 2, seed=0)
    q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, w, a_sq, b_sq = args
    none = np.empty(0, dtype=np.int64)
    bad = [
        (q_dense, q_slots, q_flags, r_dense[:, :2].copy(), r_slots, r_flags, w, a_sq, b_sq),
        (q_dense, q_slots, q_flags, r_dense, r_slots[:, :1].copy(), r_flags, w, a_sq, b_sq),
        (q_dense, q_slots, q_flags, r_dense, r_slots, r_flags[:, :1].copy(), w, a_sq, b_sq),
        (q_dense, q_slots[:5].copy(), q_flags, r_dense, r_slots, r_flags, w, a_sq, b_sq),
        (q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, w, a_sq, b_sq[:9].copy()),
    ]
    for case in bad:
        with pytest.raises(ValueError):
            _kernels.layout_kth_nearest(*case, 1, none)
    with pytest.raises(ValueError):
        _kernels.layout_kth_nearest(*args, 11, none)  # k beyond the references
    with pytest.raises(ValueError):
        _kernels.layout_kth_nearest(*args, 1, np.zeros(5, dtype=np.int64))
    with pytest.raises(ValueError):
        _kernels.layout_kernel_log_sums(*args, 0.0)
    with pytest.raises(ValueError):
        _kernels.layout_nearest_and_within(*args, np.ones(5))


def test_encoder_rows_follow_the_documented_encoding():
    from quorvix.evaluation.metrics._prep import Encoder

    real = pd.DataFrame({
        "x": [1.0, 2.0, np.nan, 4.0, 5.0],
        "k": [7.0, 7.0, 7.0, 7.0, 7.0],  # constant: deviation counts as 1
        "t": pd.array(["a", "b", "a", None, "c"], dtype="string"),
        "o": np.array([1, "b", 1, 2.5, None], dtype=object),
    })
    synth = pd.DataFrame({
        "x": [0.0, 10.0, 3.0],
        "k": [7.0, 8.0, np.nan],
        "t": pd.array(["c", "zz", None], dtype="string"),
        "o": np.array([2.5, "new", 1], dtype=object),
    })
    enc = Encoder(real, synth, max_categories=2)
    w = 1.0 / np.sqrt(2.0)
    mean_x = np.mean([1.0, 2.0, 4.0, 5.0])
    std_x = np.std([1.0, 2.0, 4.0, 5.0])
    t_levels = list(enc._levels["t"])  # the two most frequent, then "other", "missing"
    o_levels = list(enc._levels["o"])

    def expected(df):
        rows = []
        for _, r in df.iterrows():
            x = (r["x"] - mean_x) / std_x
            k = r["k"] - 7.0
            row = [0.0 if np.isnan(x) else x, float(np.isnan(x)),
                   0.0 if np.isnan(k) else k, float(np.isnan(k))]
            for value, levels in ((r["t"], t_levels), (r["o"], o_levels)):
                block = [0.0] * (len(levels) + 2)
                slot = len(levels) + 1 if pd.isna(value) else (
                    levels.index(value) if value in levels else len(levels))
                block[slot] = w
                row += block
            rows.append(row)
        return np.array(rows)

    for df in (real, synth):
        np.testing.assert_array_equal(enc.transform(df), expected(df))


def test_encode_rows_refuses_slots_outside_their_block():
    col = np.zeros(3)
    with pytest.raises(ValueError, match="outside its block"):
        _kernels.encode_rows([col], [0.0], [1.0], [0], [np.array([0, 3, 1])], [3], 0.5, 3)
    with pytest.raises(ValueError, match="another length"):
        _kernels.encode_rows([col[:2]], [0.0], [1.0], [0], [], [], 0.5, 3)


def test_encoded_rows_are_the_matrix_in_parts(real_table, twin_table):
    from quorvix.evaluation.metrics._prep import Encoder, nearest_sq_distances

    rng = np.random.default_rng(8)
    # text columns of 3 to 30 levels (one beyond the 20 kept), some missing
    real, synth = (_with_categories(df, rng, (3, 7, 12, 30), 400)
                   for df in (real_table, twin_table))
    enc = Encoder(real, synth)
    x, e = enc.transform(real), enc.encode(real)
    slices = enc.feature_slices()
    values = [slices[c].start for c in enc.numeric]
    indicators = [slices[c].start + 1 for c in enc.numeric if slices[c].stop - slices[c].start == 2]
    assert indicators  # the tables have missing values
    np.testing.assert_array_equal(e.dense, x[:, values])
    np.testing.assert_array_equal(e.flags, x[:, indicators])
    np.testing.assert_array_equal(
        e.slots, np.stack([np.argmax(x[:, slices[c]], axis=1) for c in enc.categorical], axis=1))
    np.testing.assert_allclose(e.sq, np.einsum("ij,ij->i", x, x), rtol=1e-13)
    assert e.dimensions == x.shape[1]
    y, f = enc.transform(synth), enc.encode(synth)
    q = np.arange(0, 400, 7)
    for k, exclude in ((1, None), (3, None), (1, q), (2, q)):
        ref_x, ref_e = (x, e) if exclude is not None else (y, f)
        np.testing.assert_allclose(
            nearest_sq_distances(e.take(q), ref_e, k=k, exclude=exclude),
            nearest_sq_distances(x[q], ref_x, k=k, exclude=exclude), rtol=1e-12, atol=1e-12)
    with pytest.raises(TypeError, match="encoded rows"):
        nearest_sq_distances(e.take(q), y)  # encoded rows against a matrix


def test_row_keys_are_equal_exactly_for_equal_rows():
    num = np.array([[0.5, 0.0], [0.5, -0.0], [np.nan, 1.0], [np.nan, 1.0], [0.5, 0.0],
                    [0.0, 0.5]], dtype=np.float32)
    cat = np.array([[1, 2], [1, 2], [3, -1], [3, -1], [1, 3], [1, 2]], dtype=np.int64)
    keys = _kernels.row_keys(num, cat)
    assert keys[0] == keys[1]  # 0.0 and -0.0
    assert keys[2] == keys[3]  # NaN and NaN
    assert len({keys[0], keys[2], keys[4], keys[5]}) == 4  # a code, the order of values
    rng = np.random.default_rng(0)
    many = _kernels.row_keys(rng.random((20000, 3)).astype(np.float32),
                             rng.integers(0, 4, (20000, 2)))
    assert len(np.unique(many)) == 20000
    with pytest.raises(ValueError):
        _kernels.row_keys(num, cat[:3])
