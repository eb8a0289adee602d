"""Newton's method for a binary model, each iteration one pass of partial sums.

The log-likelihood, its gradient (the score) and the information matrix are sums over
rows, so each partition adds its own and the totals decide the next step. It starts from
the fit on a sample of the partitions where there is one (see ``sample``), else from zero.
A step below the tolerance ends it without a pass at the point it reaches: the sums there
differ from those it was computed from by about its size, relatively, and the estimate
carries the latter. Covariances:
the inverse information (nonrobust); the sandwich H⁻¹ S H⁻¹ with S the sum of the rows'
score outer products (HC0 to HC3, which are one and the same for these models); and the
cluster sandwich, S summed by cluster first, times G/(G − 1) · (n − 1)/(n − k).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from functools import partial

import numpy as np

from velmora_margins import _kernels
from velmora_margins.errors import FitError
from velmora_margins.links import Link
from velmora_margins.partitioned.covariance import cluster_meat, sandwich
from velmora_margins.partitioned.fitted import converged
from velmora_margins.partitioned.kinds import BinaryKind
from velmora_margins.partitioned.parts import Part
from velmora_margins.partitioned.passes import Passes

MAX_ITERATIONS = 100


def exact_rows(part: Part, link: Link, beta: np.ndarray) -> int:
    """Returns how many of a partition's rows the model predicts exactly (to 1e-6)."""
    assert part.y is not None
    eta = part.x @ beta if part.offset is None else part.x @ beta + part.offset
    return int((np.abs(link.cdf(eta) - part.y) < 1e-6).sum())


def link_of(passes: Passes) -> Link:
    kind = passes.kind
    assert isinstance(kind, BinaryKind)
    return kind.link


@dataclass(frozen=True)
class Estimate:
    """Where Newton's method ended: the coefficients, the sums there (or at the point of
    the last step, a step below the tolerance) and the iterations, the steps taken on all
    the data, the last one included."""

    beta: np.ndarray
    totals: _kernels.FitSums
    iterations: int


def newton(
    passes: Passes, names: tuple[str, ...], formula: str, start: np.ndarray | None = None
) -> Estimate:
    """Returns the maximum-likelihood coefficients and the sums there, from a start or from
    zero; fails on collinear regressors, separated outcomes, or steps that do not converge."""
    title = link_of(passes).title
    beta = np.zeros(len(names)) if start is None else start
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
        if converged(step, new):
            return Estimate(new, totals, iteration)
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
        if converged(step, beta):
            return Estimate(beta, totals, iteration)
    if sum(passes.map(partial(exact_rows, link=link_of(passes), beta=beta))) > 0:
        raise FitError(separated(title))
    raise FitError(
        f"the {title} fit did not converge in {MAX_ITERATIONS} iterations; rescale the "
        "regressors or simplify the model"
    )


def sample_newton(names: tuple[str, ...], formula: str) -> Callable[[Passes], np.ndarray]:
    """Returns the fit of the coefficients on a sample's passes."""
    return lambda sample: newton(sample, names, formula).beta


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
        meat = cluster_meat(passes, estimate.beta, estimate.totals.weight)
    else:
        robust = passes.totals(estimate.beta, meat=True)
        assert robust.meat is not None
        meat = robust.meat
    return sandwich(bread, meat)
