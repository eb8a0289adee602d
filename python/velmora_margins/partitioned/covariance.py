"""The covariances that every fit shares: sandwiches, and the meat of the cluster-robust
one with its small-sample correction."""

from __future__ import annotations

import numpy as np

from velmora_margins.errors import FitError
from velmora_margins.partitioned.passes import Passes


def sandwich(bread: np.ndarray, meat: np.ndarray) -> np.ndarray:
    """Returns bread · meat · bread, made exactly symmetric."""
    cov = bread @ meat @ bread
    return np.asarray((cov + cov.T) / 2)


def cluster_meat(passes: Passes, params: np.ndarray, n: float) -> np.ndarray:
    """Returns the sum over clusters of each cluster's score outer product, times
    G/(G − 1) · (n − 1)/(n − k) for G clusters, n rows and k parameters."""
    meat, groups = passes.cluster_meat(params)
    if groups < 2:
        raise FitError("cluster: the cluster-robust covariance needs at least 2 clusters")
    k = len(params)
    return np.asarray(meat * (groups / (groups - 1)) * ((n - 1) / (n - k)))
