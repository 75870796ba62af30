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

from typing import Optional

import numpy as np
import pandas as pd

from quorvix.evaluation.metrics._prep import (
    check_pair,
    common_columns,
    make_rng,
    nearest_sq_distances,
    pair_encoder,
    pairwise_sq_distances,
    subsample,
)
from quorvix.evaluation.metrics._shared import pair_memo


def coverage(support: np.ndarray, points: np.ndarray, k: int) -> float:
    """Share of ``points`` inside the k-NN support of ``support``.

    The support is the union of balls centred on the support records, each
    with radius the distance from its centre to its k-th nearest other
    support record. A point on a ball's boundary is inside.
    """
    n = len(support)
    radii2 = nearest_sq_distances(support, support, k=k, exclude=np.arange(n))
    sup_sq = np.einsum("ij,ij->i", support, support)
    pts_sq = np.einsum("ij,ij->i", points, points)
    # slack for rounding in |a|^2 + |b|^2 - 2ab, so that a copy of a support
    # record with a zero radius (duplicates) still counts as inside
    tol = 1e-9 * (1.0 + max(float(sup_sq.max(initial=0.0)), float(pts_sq.max(initial=0.0))))
    limit = radii2 + tol
    inside = np.zeros(len(points), dtype=bool)
    step = max(1, 4_000_000 // max(1, n))
    for start in range(0, len(points), step):
        d2 = pairwise_sq_distances(points[start:start + step], support, sup_sq)
        inside[start:start + step] = (d2 <= limit[None, :]).any(axis=1)
    return float(inside.mean())


def covered(centres: np.ndarray, points: np.ndarray, k: int) -> float:
    """Share of ``centres`` whose k-NN ball (radius: distance to the k-th
    nearest other centre) holds at least one of ``points``. A point on the
    boundary counts as inside."""
    n = len(centres)
    radii2 = nearest_sq_distances(centres, centres, k=k, exclude=np.arange(n))
    nearest2 = nearest_sq_distances(centres, points, k=1)
    c_sq = np.einsum("ij,ij->i", centres, centres)
    p_sq = np.einsum("ij,ij->i", points, points)
    tol = 1e-9 * (1.0 + max(float(c_sq.max(initial=0.0)), float(p_sq.max(initial=0.0))))
    return float((nearest2 <= radii2 + tol).mean())


def embed_pair(real: pd.DataFrame, synth: pd.DataFrame, max_samples: Optional[int],
               random_seed: Optional[int]):
    """Seeded subsamples of both tables encoded with the real table's
    standardisation (see ``Encoder``). The encoder is fitted once per pair of
    tables and shared with the other metrics of the evaluation (see
    ``quorvix.evaluation.metrics._shared``)."""
    check_pair(real, synth)
    if not common_columns(real, synth):
        raise ValueError("the tables share no column")
    if len(real) == 0 or len(synth) == 0:
        raise ValueError("both tables need at least one row")
    enc = pair_encoder(pair_memo(real, synth), real, synth)
    rng = make_rng(random_seed)
    x_real = enc.transform(subsample(real, max_samples, rng))
    x_synth = enc.transform(subsample(synth, max_samples, rng))
    return x_real, x_synth


def support_score(support: np.ndarray, points: np.ndarray, k: int, support_label: str,
                  score=None):
    """``score(support, points, k)`` (default ``coverage``) with k reduced to
    fit small supports; returns (value, k)."""
    if len(support) < 2:
        raise ValueError(
            f"the {support_label} table needs at least two rows to estimate its support")
    k_used = min(int(k), len(support) - 1)
    return (score or coverage)(support, points, k_used), k_used
