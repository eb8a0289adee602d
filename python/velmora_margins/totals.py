"""Weighted totals over a partition's rows, summed on the calling thread.

A partition's task runs on one of the scheduler's threads, which already take every core.
NumPy's dot product hands a long vector to its BLAS, whose threads then spin for a while
after each call, each on a core the scheduler's threads would use, and whose total
depends on how many threads it had. NumPy's own pairwise sum does neither."""

from __future__ import annotations

import numpy as np


def weighted_total(values: np.ndarray, weights: np.ndarray | None = None) -> float:
    """Returns the sum of values, each times its weight where weights are given."""
    return float(np.sum(values if weights is None else weights * values))
