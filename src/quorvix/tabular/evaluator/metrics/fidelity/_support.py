"""k-nearest-neighbour support estimates shared by alpha-precision and
beta-recall."""

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


def support_score(support: np.ndarray, points: np.ndarray, k: int, support_label: str):
    """``coverage`` with k reduced to fit small supports; returns (value, k)."""
    if len(support) < 2:
        raise ValueError(
            f"the {support_label} table needs at least two rows to estimate its support")
    k_used = min(int(k), len(support) - 1)
    return coverage(support, points, k_used), k_used
