"""Newton's method for a binary model, each iteration one pass of partial sums.

The log-likelihood, its gradient (the score) and the information matrix are sums over
rows, so each partition adds its own and the totals decide the next step. Covariances:
the inverse information (nonrobust); the sandwich H⁻¹ S H⁻¹ with S the sum of the rows'
score outer products (HC0 to HC3, which are one and the same for these models); and the
cluster sandwich, S summed by cluster first, times G/(G − 1) · (n − 1)/(n − k).
"""

from __future__ import annotations

import functools
import operator
import os
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.effects.passes import aligned
from velmora_margins.errors import FitError
from velmora_margins.formula.design import binary_columns
from velmora_margins.links import Link
from velmora_margins.partitioned.parts import Layout, Part, build_indexed
from velmora_margins.partitioned.runner import Runner

MAX_ITERATIONS = 100
# Newton's method stops once a step moves no coefficient by more than this, relative to
# the largest coefficient (or absolutely, below 1); the next step would be its square.
STEP_TOLERANCE = 1e-9
# Partitions' design matrices are kept in memory between iterations when they hold at
# most this many bytes in all; larger data is read again for every iteration.
CACHE_BYTES = 2 << 30


@dataclass(frozen=True)
class FirstSums:
    """A partition's sums of the first pass, with its 0/1 columns."""

    sums: _kernels.FitSums
    binary: np.ndarray


def part_sums(part: Part, link: Link, beta: np.ndarray, meat: bool) -> _kernels.FitSums:
    """Returns a partition's fit sums at beta."""
    assert part.y is not None
    weights = None if part.weights is None else aligned(part.weights)
    return _kernels.fit_sums(
        link.name, aligned(beta), aligned(part.x), aligned(part.y), weights, meat
    )


def first_sums(part: Part, link: Link, beta: np.ndarray) -> FirstSums:
    """Returns a partition's fit sums at beta and which of its columns hold only 0 and 1."""
    return FirstSums(part_sums(part, link, beta, False), binary_columns(part.x))


def binary_columns_of(part: Part) -> np.ndarray:
    return binary_columns(part.x)


@dataclass(frozen=True)
class ClusterScores:
    """A partition's clusters and the sum of the scores of each one's rows."""

    labels: np.ndarray
    scores: np.ndarray  # clusters x k


def part_cluster_scores(part: Part, link: Link, beta: np.ndarray) -> ClusterScores:
    """Returns a partition's clusters and the sum of the scores of each one's rows."""
    assert part.y is not None
    assert part.cluster is not None
    codes, labels = pd.factorize(part.cluster)
    weights = None if part.weights is None else aligned(part.weights)
    scores = _kernels.cluster_scores(
        link.name,
        aligned(beta),
        aligned(part.x),
        aligned(part.y),
        weights,
        codes.astype(np.int64),
        len(labels),
    )
    return ClusterScores(np.asarray(labels), scores)


def exact_rows(part: Part, link: Link, beta: np.ndarray) -> int:
    """Returns how many of a partition's rows the model predicts exactly (to 1e-6)."""
    assert part.y is not None
    predicted = link.cdf(part.x @ beta)
    return int((np.abs(predicted - part.y) < 1e-6).sum())


def built_part(frame: pd.DataFrame, index: int, layout: Layout, names: list[str]) -> Part:
    return build_indexed(frame, index, layout, names)


def on_built(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    task: Callable[[Part], Any],
) -> Any:
    """Builds a partition's arrays and runs a task on them."""
    return task(build_indexed(frame, index, layout, names, reuse=True))


def on_kept(part: Part, index: int, task: Callable[[Part], Any]) -> Any:
    return task(part)


class Passes:
    """The passes of a fit over the partitions, from kept design matrices where they fit.

    The tasks handed to the runner are module functions with their arguments bound, so
    that they pickle for Dask's worker processes."""

    def __init__(self, runner: Runner, layout: Layout, link: Link, keep: bool) -> None:
        self.runner = runner
        self.layout = layout
        self.link = link
        self.names = runner.names()
        self.flags: np.ndarray | None = None  # the 0/1 columns, once a pass has found them
        self.kept: list[Any] | None = None
        if keep:
            self.kept = runner.keep(partial(built_part, layout=layout, names=self.names))

    def map(self, task: Callable[[Part], Any]) -> list[Any]:
        if self.kept is not None:
            return self.runner.run_kept(self.kept, partial(on_kept, task=task))
        return self.runner.run(partial(on_built, layout=self.layout, names=self.names, task=task))

    def totals(self, beta: np.ndarray, meat: bool = False) -> _kernels.FitSums:
        """Returns the sums of a pass at beta; the first pass notes the 0/1 columns too."""
        if self.flags is None and not meat:
            first: list[FirstSums] = self.map(partial(first_sums, link=self.link, beta=beta))
            self.flags = np.vstack([p.binary for p in first]).all(axis=0)
            parts = [p.sums for p in first]
        else:
            parts = self.map(partial(part_sums, link=self.link, beta=beta, meat=meat))
        return functools.reduce(operator.add, parts)

    def cluster_meat(self, beta: np.ndarray) -> tuple[np.ndarray, int]:
        """Returns the sum over clusters of each cluster's score outer product, and the
        number of clusters."""
        pieces: list[ClusterScores] = self.map(
            partial(part_cluster_scores, link=self.link, beta=beta)
        )
        labels = np.concatenate([p.labels for p in pieces])
        scores = np.concatenate([p.scores for p in pieces])
        codes, unique = pd.factorize(labels)
        summed = np.zeros((len(unique), scores.shape[1]))
        np.add.at(summed, codes, scores)
        return summed.T @ summed, len(unique)

    def binary(self) -> np.ndarray:
        """Returns whether each design column holds only 0 and 1 in every partition."""
        if self.flags is None:
            self.flags = np.vstack(self.map(binary_columns_of)).all(axis=0)
        return np.asarray(self.flags)

    def exact_rows(self, beta: np.ndarray) -> int:
        """Returns how many rows the model predicts exactly (to 1e-6)."""
        return sum(self.map(partial(exact_rows, link=self.link, beta=beta)))


def design_bytes(rows: int | None, columns: int) -> int:
    """Returns about how many bytes the partitions' design matrices take, or a huge
    number when the rows are not known without reading them."""
    if rows is None:
        return 1 << 62
    return rows * (columns + 3) * 8


def cache_limit() -> int:
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return CACHE_BYTES
    return min(CACHE_BYTES, memory // 4)


@dataclass(frozen=True)
class Estimate:
    """Where Newton's method ended: the coefficients, the sums there, the iterations."""

    beta: np.ndarray
    totals: _kernels.FitSums
    iterations: int


def newton(passes: Passes, names: tuple[str, ...], formula: str) -> Estimate:
    """Returns the maximum-likelihood coefficients and the sums there; fails on collinear
    regressors, separated outcomes, or steps that do not converge."""
    title = passes.link.title
    beta = np.zeros(len(names))
    totals = passes.totals(beta)
    if totals.rows == 0:
        raise FitError(f"no rows left for {formula!r} once rows with missing values are dropped")
    check_rank(totals.information, names, formula)
    for iteration in range(1, MAX_ITERATIONS + 1):
        try:
            step = np.linalg.solve(totals.information, totals.score)
        except np.linalg.LinAlgError as error:
            raise FitError(
                f"the {title} fit failed ({error}); look for regressors that are collinear or "
                "constant and drop them"
            ) from None
        new = beta + step
        trial = passes.totals(new)
        halvings = 0
        while not trial.loglik >= totals.loglik - 1e-12 * abs(totals.loglik) and halvings < 40:
            step = step / 2
            new = beta + step
            trial = passes.totals(new)
            halvings += 1
        beta, totals = new, trial
        if totals.loglik > -1e-9 * max(totals.weight, 1.0):
            raise FitError(separated(title))
        if np.max(np.abs(step)) <= STEP_TOLERANCE * max(1.0, float(np.max(np.abs(beta)))):
            return Estimate(beta, totals, iteration)
    if passes.exact_rows(beta) > 0:
        raise FitError(separated(title))
    raise FitError(
        f"the {title} fit did not converge in {MAX_ITERATIONS} iterations; rescale the "
        "regressors or simplify the model"
    )


def separated(title: str) -> str:
    return (
        f"the outcome is perfectly separated: some regressors predict it exactly, so the "
        f"{title} coefficients do not exist; drop or merge those regressors or categories"
    )


def information_rank(information: np.ndarray) -> int:
    """Returns the numerical rank of an information matrix (a multiple of X'WX): the
    number of eigenvalues of its correlation form (unit diagonal) above λ_max · k · eps,
    the size below which a computed eigenvalue cannot be told from rounding."""
    k = len(information)
    if k == 0:
        return 0
    scale = np.sqrt(np.diag(information))
    if np.any(scale == 0):
        keep = scale > 0
        return information_rank(information[np.ix_(keep, keep)])
    values = np.linalg.eigvalsh(information / np.outer(scale, scale))
    return int(np.count_nonzero(values > values.max() * k * np.finfo(float).eps))


def check_rank(information: np.ndarray, names: tuple[str, ...], formula: str) -> None:
    """Fails when the regressors are collinear, or hold values that are not finite."""
    if not np.isfinite(information).all():
        raise FitError("the design matrix holds infinite values; check the data for them")
    scale = np.sqrt(np.diag(information))
    if np.any(scale == 0):
        constant = names[int(np.flatnonzero(scale == 0)[0])]
        raise FitError(
            f"the regressors of {formula!r} are collinear: {constant} is all zeros; drop it"
        )
    rank, k = information_rank(information), len(names)
    if rank < k:
        raise FitError(
            f"the regressors of {formula!r} are collinear: their {k} columns have rank {rank}, "
            "so some coefficients are not identified; drop the redundant terms"
        )


def covariance(passes: Passes, estimate: Estimate, cov_type: str) -> np.ndarray:
    """Returns the covariance of the coefficients of the chosen type."""
    bread = np.linalg.inv(estimate.totals.information)
    if cov_type == "nonrobust":
        return bread
    if cov_type == "cluster":
        meat, groups = passes.cluster_meat(estimate.beta)
        if groups < 2:
            raise FitError("cluster: the cluster-robust covariance needs at least 2 clusters")
        n, k = estimate.totals.weight, len(estimate.beta)
        meat = meat * (groups / (groups - 1)) * ((n - 1) / (n - k))
    else:
        robust = passes.totals(estimate.beta, meat=True)
        assert robust.meat is not None
        meat = robust.meat
    cov = bread @ meat @ bread
    return np.asarray((cov + cov.T) / 2)
