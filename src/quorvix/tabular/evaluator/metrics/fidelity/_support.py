"""k-nearest-neighbour support estimates shared by alpha-precision and
beta-recall.

Both estimate the real data's support the same way: a ball around every real
record whose radius is the distance to its k-th nearest other real record.
Alpha-precision asks how many synthetic records fall inside the union of those
balls; beta-recall asks how many of the balls hold a synthetic record (the
"coverage" of the density-and-coverage estimators). Balls are always centred
on real records: balls centred on synthetic records grow with the spread of
the synthetic data, so uniform noise would cover everything.
"""

from __future__ import annotations

import hashlib
from typing import Optional

import numpy as np
import pandas as pd

from quorvix import _kernels
from quorvix.evaluation.metrics._prep import (
    Encoded,
    check_pair,
    common_columns,
    inner_products,
    make_rng,
    nearest_sq_distances,
    on_two_threads,
    pair_encoder,
    pairwise_sq_distances,
    scratch_matrix,
    subsample,
)
from quorvix.evaluation.metrics._shared import pair_memo


# distances per block of the joint precision/coverage pass (8 MB), and the
# size from which its blocks run two at a time
_BLOCK_CELLS = 1_000_000
_PARALLEL_CELLS = 4_000_000

_last_radii: list = []  # [(key, radii2)] of the last support, for the next metric


def knn_radii2(support: np.ndarray, k: int) -> np.ndarray:
    """Squared distance from each support record to its k-th nearest other
    record. Alpha-precision and beta-recall ask for the radii of the same
    encoded sample one after the other; the last answer is kept (keyed by a
    digest of the array) and handed to the next caller with the same one."""
    support = np.ascontiguousarray(support)
    h = hashlib.sha256(support.view(np.uint8))
    key = (support.shape, str(support.dtype), int(k), h.digest())
    if _last_radii and _last_radii[0][0] == key:
        return _last_radii[0][1]
    radii2 = nearest_sq_distances(support, support, k=k, exclude=np.arange(len(support)))
    radii2.setflags(write=False)
    _last_radii[:] = [(key, radii2)]
    return radii2


def coverage(support: np.ndarray, points: np.ndarray, k: int) -> float:
    """Share of ``points`` inside the k-NN support of ``support``.

    The support is the union of balls centred on the support records, each
    with radius the distance from its centre to its k-th nearest other
    support record. A point on a ball's boundary is inside.
    """
    n = len(support)
    radii2 = knn_radii2(support, k)
    sup_sq = np.einsum("ij,ij->i", support, support)
    pts_sq = np.einsum("ij,ij->i", points, points)
    # slack for rounding in |a|^2 + |b|^2 - 2ab, so that a copy of a support
    # record with a zero radius (duplicates) still counts as inside
    tol = 1e-9 * (1.0 + max(float(sup_sq.max(initial=0.0)), float(pts_sq.max(initial=0.0))))
    limit = radii2 + tol
    inside = np.zeros(len(points), dtype=bool)
    step = max(1, 4_000_000 // max(1, n))
    for start in range(0, len(points), step):
        block = points[start:start + step]
        if block.dtype == np.float64 and support.dtype == np.float64:
            # (pairwise_sq_distances(...) <= limit).any(axis=1), in one pass
            inside[start:start + step] = _kernels.any_within(
                np.ascontiguousarray(block @ support.T), np.einsum("ij,ij->i", block, block),
                sup_sq, np.ascontiguousarray(limit, dtype=np.float64))
            continue
        d2 = pairwise_sq_distances(block, support, sup_sq)
        inside[start:start + step] = (d2 <= limit[None, :]).any(axis=1)
    return float(inside.mean())


def covered(centres: np.ndarray, points: np.ndarray, k: int) -> float:
    """Share of ``centres`` whose k-NN ball (radius: distance to the k-th
    nearest other centre) holds at least one of ``points``. A point on the
    boundary counts as inside."""
    radii2 = knn_radii2(centres, k)
    nearest2 = nearest_sq_distances(centres, points, k=1)
    c_sq = np.einsum("ij,ij->i", centres, centres)
    p_sq = np.einsum("ij,ij->i", points, points)
    tol = 1e-9 * (1.0 + max(float(c_sq.max(initial=0.0)), float(p_sq.max(initial=0.0))))
    return float((nearest2 <= radii2 + tol).mean())


def embed_pair(real: pd.DataFrame, synth: pd.DataFrame, max_samples: Optional[int],
               random_seed: Optional[int], parts: bool = False):
    """Seeded subsamples of both tables encoded with the real table's
    standardisation (see ``Encoder``): matrices, or with ``parts`` the
    ``Encoded`` rows of the same samples. The encoder and the samples are
    made once per pair of tables and shared with the other metrics of the
    evaluation (see ``quorvix.evaluation.metrics._shared``)."""
    check_pair(real, synth)
    if not common_columns(real, synth):
        raise ValueError("the tables share no column")
    if len(real) == 0 or len(synth) == 0:
        raise ValueError("both tables need at least one row")
    memo = pair_memo(real, synth)

    def compute():
        enc = pair_encoder(memo, real, synth)
        rng = make_rng(random_seed)
        encode = enc.encode if parts else enc.transform
        x_real = encode(subsample(real, max_samples, rng))
        x_synth = encode(subsample(synth, max_samples, rng))
        return x_real, x_synth

    return memo.get(("embedded", max_samples, random_seed, parts), compute)


def support_score(support: np.ndarray, points: np.ndarray, k: int, support_label: str,
                  score=None):
    """``score(support, points, k)`` (default ``coverage``) with k reduced to
    fit small supports; returns (value, k)."""
    if len(support) < 2:
        raise ValueError(
            f"the {support_label} table needs at least two rows to estimate its support")
    k_used = min(int(k), len(support) - 1)
    return (score or coverage)(support, points, k_used), k_used


def precision_and_coverage(real: pd.DataFrame, synth: pd.DataFrame, max_samples: Optional[int],
                           random_seed: Optional[int], k: int):
    """(alpha-precision, beta-recall coverage, k used, real rows, synthetic
    rows) of the pair: ``coverage`` and ``covered`` of the same encoded
    samples, computed together once per pair of tables.

    Both look at the distances between every real and every synthetic
    record of the samples: precision asks, per synthetic record, whether
    some real ball holds it, coverage asks, per real record, for its nearest
    synthetic record. One pass over each block of those distances answers
    both."""
    x_real, x_synth = embed_pair(real, synth, max_samples, random_seed, parts=True)
    if len(x_real) < 2:
        raise ValueError("the real table needs at least two rows to estimate its support")
    k_used = min(int(k), len(x_real) - 1)
    memo = pair_memo(real, synth)
    return memo.get(("precision_and_coverage", max_samples, random_seed, k_used),
                    lambda: (*_both_scores_encoded(x_real, x_synth, k_used), k_used,
                             len(x_real), len(x_synth)))


def _both_scores_encoded(support: Encoded, points: Encoded, k: int):
    """(``coverage``, ``covered``) of encoded samples from one native scan
    of the real x synthetic distances, with the radii and the slack of
    those two functions."""
    radii2 = nearest_sq_distances(support, support, k=k, exclude=np.arange(len(support)))
    tol = 1e-9 * (1.0 + max(float(support.sq.max(initial=0.0)),
                            float(points.sq.max(initial=0.0))))
    limit = np.ascontiguousarray(radii2 + tol, dtype=np.float64)
    nearest2, inside = _kernels.layout_nearest_and_within(*support.scan_args(points), limit)
    return float(inside.mean()), float((nearest2 <= limit).mean())


def _both_scores(support: np.ndarray, points: np.ndarray, k: int):
    """(``coverage``, ``covered``) of the same samples from one pass."""
    if support.dtype != np.float64 or points.dtype != np.float64:
        return coverage(support, points, k), covered(support, points, k)
    radii2 = knn_radii2(support, k)
    sup_sq = np.einsum("ij,ij->i", support, support)
    pts_sq = np.einsum("ij,ij->i", points, points)
    # the slack of coverage() and covered()
    tol = 1e-9 * (1.0 + max(float(sup_sq.max(initial=0.0)), float(pts_sq.max(initial=0.0))))
    limit = np.ascontiguousarray(radii2 + tol, dtype=np.float64)
    products = inner_products(support, points)
    nearest2 = np.empty(len(support))
    step = max(1, _BLOCK_CELLS // max(1, len(points)))

    def block(start):
        stop = min(len(support), start + step)
        gram = products(start, stop, scratch_matrix(stop - start, len(points)))
        nearest2[start:stop], within = _kernels.nearest_and_within(
            gram, sup_sq[start:stop], pts_sq, limit[start:stop])
        return within

    blocks = on_two_threads(block, range(0, len(support), step),
                            len(support) * len(points) >= _PARALLEL_CELLS)
    inside = np.logical_or.reduce(blocks) if blocks else np.zeros(len(points), dtype=bool)
    return float(inside.mean()), float((nearest2 <= limit).mean())
