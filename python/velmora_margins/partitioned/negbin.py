"""The negative binomial model NB2 by Newton's method in the coefficients and alpha.

It starts from the same model's fit on a sample of the partitions where there is one (see
``sample``); else, or where that start's means are outside the model's, from the Poisson fit
of the same rows and the moment estimate of alpha there, Σ ((y − μ)² − μ) / μ² over the
residual degrees of freedom (at least 0.05). Each step solves the information (minus the
Hessian) against the score; one that lowers the log-likelihood, or takes alpha to 0 or
below, is halved. Where the information is not positive definite, the coefficients and
alpha step apart, each along its own curvature. A step below the tolerance ends the
iterations without a pass at the point it reaches.
"""

from __future__ import annotations

from functools import partial

import numpy as np

from velmora_margins import _kernels
from velmora_margins.errors import FitError
from velmora_margins.links import LINKS
from velmora_margins.partitioned import fitted as limits
from velmora_margins.partitioned.covariance import cluster_meat, sandwich
from velmora_margins.partitioned.fitted import Fitted, converged, not_converged
from velmora_margins.partitioned.glm import HALVINGS, scoring, with_kind
from velmora_margins.partitioned.kinds import GlmKind, NegbinKind, OutsideDomain
from velmora_margins.partitioned.parts import Part
from velmora_margins.partitioned.passes import Passes
from velmora_margins.partitioned.sample import sample_start
from velmora_margins.totals import weighted_total

TITLE = "negative binomial"


def dispersion_terms(part: Part, beta: np.ndarray) -> float:
    """Returns a partition's Σ w ((y − μ)² − μ) / μ² at the Poisson coefficients."""
    assert part.y is not None
    eta = part.x @ beta if part.offset is None else part.x @ beta + part.offset
    mu = np.exp(eta)
    terms = ((part.y - mu) ** 2 - mu) / mu**2
    return weighted_total(terms, part.weights)


def trial_sums(passes: Passes, params: np.ndarray) -> _kernels.FitSums | None:
    if not params[-1] > 0:
        return None
    try:
        sums: _kernels.FitSums = passes.totals(params)
    except OutsideDomain:
        return None
    return sums


def direction(totals: _kernels.FitSums) -> np.ndarray:
    """Returns Newton's step, or where that does not climb, the coefficients' and alpha's
    steps apart."""
    k = len(totals.score) - 1
    try:
        step = np.linalg.solve(totals.information, totals.score)
        if step @ totals.score > 0:
            return np.asarray(step)
    except np.linalg.LinAlgError:
        pass
    beta_step = np.linalg.solve(totals.information[:k, :k], totals.score[:k])
    curvature = abs(totals.information[k, k]) or 1.0
    return np.append(beta_step, totals.score[k] / curvature)


def poisson_start(
    passes: Passes, names: tuple[str, ...], formula: str
) -> tuple[np.ndarray, _kernels.FitSums]:
    """Returns the Poisson coefficients with the moment estimate of alpha there, and the
    sums at them."""
    poisson = with_kind(passes, GlmKind("poisson", LINKS["log"]))
    beta, start, _, _ = scoring(poisson, names, formula, TITLE)
    df_resid = start.weight - len(beta)
    moment = sum(passes.map(partial(dispersion_terms, beta=beta))) / max(df_resid, 1.0)
    params = np.append(beta, max(0.05, moment))
    totals: _kernels.FitSums = with_kind(passes, NegbinKind()).totals(params)
    return params, totals


def maximum(
    passes: Passes, names: tuple[str, ...], formula: str, initial: np.ndarray | None = None
) -> tuple[np.ndarray, _kernels.FitSums, int]:
    """Returns the maximum-likelihood coefficients and alpha, the sums there (or at the
    point of the last step, a step below the tolerance) and the iterations, the steps
    taken, the last one included."""
    negbin = with_kind(passes, NegbinKind())
    totals = None if initial is None else trial_sums(negbin, initial)
    if totals is None:
        params, totals = poisson_start(passes, names, formula)
    else:
        assert initial is not None
        params = initial
    passes = negbin
    step = np.zeros(len(params))
    iterations = 0
    for iterations in range(1, limits.MAX_ITERATIONS + 1):  # noqa: B007
        step = direction(totals)
        if converged(step, params + step):
            params = params + step
            break
        trial = trial_sums(passes, params + step)
        halvings = 0
        while (
            trial is None or not trial.loglik >= totals.loglik - 1e-12 * abs(totals.loglik)
        ) and halvings < HALVINGS:
            step = step / 2
            trial = trial_sums(passes, params + step)
            halvings += 1
        if trial is None:
            raise FitError(
                f"the {TITLE} fit cannot move on from alpha = {params[-1]:.6g}; the data may "
                "hold no more spread than a Poisson model's: fit model='poisson'"
            )
        params, totals = params + step, trial
        if converged(step, params):
            break
    else:
        raise FitError(not_converged(TITLE, step))
    if params[-1] < 1e-8:
        raise FitError(
            f"the {TITLE} fit's alpha falls to {params[-1]:.3g}: the data hold no more spread "
            "than a Poisson model's; fit model='poisson'"
        )
    return params, totals, iterations


def fit_negbin(passes: Passes, names: tuple[str, ...], formula: str, cov_type: str) -> Fitted:
    """Fits NB2 and returns its coefficients and alpha, last, with their covariance."""
    initial = sample_start(
        passes, len(names) + 1, lambda sample: maximum(sample, names, formula)[0]
    )
    params, totals, iterations = maximum(passes, names, formula, initial)
    passes = with_kind(passes, NegbinKind())
    try:
        bread = np.linalg.inv(totals.information)
    except np.linalg.LinAlgError as error:
        raise FitError(f"the {TITLE} fit's information cannot be inverted ({error})") from None
    if cov_type == "nonrobust":
        cov = bread
    elif cov_type == "cluster":
        cov = sandwich(bread, cluster_meat(passes, params, totals.rows))
    else:
        robust: _kernels.FitSums = passes.totals(params, True)
        assert robust.meat is not None
        cov = sandwich(bread, robust.meat)
    return Fitted(params, cov, ("alpha",), totals.loglik, totals.weight, iterations)
