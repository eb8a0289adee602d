"""Generalized linear models by Fisher scoring (iteratively reweighted least squares), each
iteration one pass of the family's sums.

The start is the fit on a sample of the partitions where there is one (see ``sample``);
else, or where that start gives a row a mean outside the model's, one weighted
least-squares step from the means halfway between each outcome and the outcomes' mean (for
the binomial family, between the outcome and 1/2), as iteratively reweighted least squares
begins. Each step solves the expected information against the score; a step that raises
the deviance, or leaves a row's linear predictor or mean outside what the link and family
allow, is halved. A step below a hundredth of the tolerance ends the iterations without a
pass at the point it reaches, whose sums differ from those it was computed from by about
its size: less than that would not do, as Pearson's chi-squared (and the scale from it),
unlike the deviance, moves with the coefficients at first order.

The scale is Pearson's chi-squared over the residual degrees of freedom (1 for the
binomial, Poisson and negative binomial families); the log-likelihood is taken at it (at
the deviance over the rows for the Gaussian family with the identity link, where that is
the maximum-likelihood scale).
"""

from __future__ import annotations

import copy
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial

import numpy as np
from scipy import special

from velmora_margins import _kernels
from velmora_margins.errors import FitError
from velmora_margins.formula.design_columns import aligned
from velmora_margins.partitioned import fitted as limits
from velmora_margins.partitioned.covariance import cluster_meat, sandwich
from velmora_margins.partitioned.fitted import Fitted, converged, not_converged
from velmora_margins.partitioned.kinds import GlmKind, NegbinKind, OutsideDomain
from velmora_margins.partitioned.newton import check_rank
from velmora_margins.partitioned.parts import Part
from velmora_margins.partitioned.passes import Passes
from velmora_margins.partitioned.sample import sample_start
from velmora_margins.totals import weighted_total

# Halvings of a step before the fit gives up on it.
HALVINGS = 40
# A step that moves no coefficient by more than this (relative to the largest, as the
# tolerance) ends the iterations without a pass at the point it reaches.
FINAL_STEP = limits.STEP_TOLERANCE / 100


@dataclass(frozen=True)
class Moments:
    """A partition's weighted outcome total and weight."""

    total: float
    weight: float
    rows: int

    def __add__(self, other: Moments) -> Moments:
        return Moments(self.total + other.total, self.weight + other.weight, self.rows + other.rows)


def outcome_moments(part: Part) -> Moments:
    assert part.y is not None
    weight = len(part.y) if part.weights is None else weighted_total(part.weights)
    return Moments(weighted_total(part.y, part.weights), float(weight), len(part.y))


def linear_predictor_of_mean(link: str, mu: np.ndarray) -> np.ndarray:
    """Returns g(mu), the link of a mean."""
    forms = {
        "logit": lambda m: np.log(m / (1 - m)),
        "probit": special.ndtri,
        "cloglog": lambda m: np.log(-np.log1p(-m)),
        "loglog": lambda m: -np.log(-np.log(m)),
        "cauchy": lambda m: np.tan(np.pi * (m - 0.5)),
        "log": np.log,
        "identity": lambda m: m,
        "sqrt": np.sqrt,
        "inverse_power": lambda m: 1 / m,
        "inverse_squared": lambda m: 1 / m**2,
    }
    values: np.ndarray = np.asarray(forms[link](mu), dtype=np.float64)
    return values


def variance(kind: GlmKind, mu: np.ndarray) -> np.ndarray:
    """Returns the family's variance function at the means."""
    powers = {"poisson": 1.0, "gaussian": 0.0, "gamma": 2.0, "inverse_gaussian": 3.0}
    if kind.family == "binomial":
        return np.asarray(mu * (1 - mu))
    if kind.family == "negative_binomial":
        return np.asarray(mu + kind.alpha * mu**2)
    power = kind.var_power if kind.family == "tweedie" else powers[kind.family]
    return np.asarray(mu**power)


def start_sums(part: Part, kind: GlmKind, mean: float) -> _kernels.LinearSums:
    """Returns a partition's sums of the weighted least squares that starts the fit."""
    assert part.y is not None
    mu = (part.y + (0.5 if kind.family == "binomial" else mean)) / 2
    with np.errstate(all="ignore"):
        eta = linear_predictor_of_mean(kind.link.name, mu)
        slope = np.zeros(len(eta))  # dmu/deta, 1/g'(mu)
        finite = np.isfinite(eta)
        slope[finite] = kind.link.pdf(eta[finite])
        w = slope**2 / variance(kind, mu)
        if part.weights is not None:
            w = w * part.weights
        z = eta if part.offset is None else eta - part.offset
    # A row whose start is not a number (an outcome at the edge of what the link reaches)
    # takes no part in it.
    unusable = ~(np.isfinite(w) & np.isfinite(z))
    w = np.where(unusable, 0.0, w)
    z = np.where(unusable, 0.0, z)
    return _kernels.ols_sums(part.x.argument(), aligned(z), aligned(w))


def start(passes: Passes, kind: GlmKind, formula: str) -> np.ndarray:
    """Returns the coefficients that begin the iterations."""
    moments: Moments = passes.total(outcome_moments)
    if moments.rows == 0:
        raise FitError(f"no rows left for {formula!r} once rows with missing values are dropped")
    mean = moments.total / moments.weight if moments.weight > 0 else 0.0
    sums: _kernels.LinearSums = passes.total(partial(start_sums, kind=kind, mean=mean))
    if not np.isfinite(sums.xtwx).all() or not np.isfinite(sums.xtwy).all():
        return np.zeros(len(sums.xtwy))
    try:
        return np.asarray(np.linalg.solve(sums.xtwx, sums.xtwy))
    except np.linalg.LinAlgError:
        return np.zeros(len(sums.xtwy))


def trial_sums(
    passes: Passes, beta: np.ndarray, constants: bool = False
) -> _kernels.GlmSums | None:
    """Returns the sums at beta, or None where a row's mean is outside the model's; their
    loglik without its terms in the data alone unless constants (see GlmKind.sums)."""
    try:
        sums: _kernels.GlmSums = passes.totals(beta, constants=constants)
    except OutsideDomain:
        return None
    return sums


def scoring(
    passes: Passes,
    names: tuple[str, ...],
    formula: str,
    title: str,
    initial: np.ndarray | None = None,
) -> tuple[np.ndarray, _kernels.GlmSums, int, float]:
    """Returns the maximum-likelihood coefficients, the sums there (or at the point of the
    last step, a step below the tolerance), the iterations, the steps taken, the last
    one included, and the sum of the log-likelihood's terms in the data alone, which the
    sums of the iterations after the first leave out of their loglik (see log_likelihood);
    from the initial coefficients where they give every row a mean that the model allows."""
    kind = passes.kind
    assert isinstance(kind, GlmKind)
    totals = None if initial is None else trial_sums(passes, initial, constants=True)
    if totals is None:
        beta = start(passes, kind, formula)
        totals = passes.totals(beta)  # a mean outside the model's here is the data's fault
    else:
        assert initial is not None
        beta = initial
    constant = totals.constant
    check_rank(totals.information, names, formula)
    step = np.zeros(len(beta))
    for iteration in range(1, limits.MAX_ITERATIONS + 1):
        try:
            step = np.linalg.solve(totals.information, totals.score)
        except np.linalg.LinAlgError as error:
            raise FitError(
                f"the {title} fit failed ({error}); look for regressors that are collinear or "
                "constant and drop them"
            ) from None
        if converged(step, beta + step, FINAL_STEP):
            return beta + step, totals, iteration, constant
        trial = trial_sums(passes, beta + step)
        halvings = 0
        while (
            trial is None or not trial.deviance <= totals.deviance + 1e-12 * abs(totals.deviance)
        ) and halvings < HALVINGS:
            step = step / 2
            trial = trial_sums(passes, beta + step)
            halvings += 1
        if trial is None:
            raise FitError(
                f"the {title} fit cannot move from coefficients at which some rows' means are "
                "at the edge of what the family and link allow; try another link"
            )
        beta, totals = beta + step, trial
        if converged(step, beta):
            return beta, totals, iteration, constant
    raise FitError(not_converged(title, step))


def log_likelihood(sums: _kernels.GlmSums, constant: float) -> float:
    """Returns the log-likelihood of sums, its terms in the data alone being constant
    (sums without them hold 0 for their own, with them their loglik holds them)."""
    return sums.loglik - sums.constant + constant


def sample_scoring(
    names: tuple[str, ...], formula: str, title: str
) -> Callable[[Passes], np.ndarray]:
    """Returns the fit of the coefficients on a sample's passes."""
    return lambda sample: scoring(sample, names, formula, title)[0]


def tweedie_terms(part: Part, kind: GlmKind, scale: float) -> float:
    """Returns the terms of the Tweedie log-likelihood that depend on the outcome and the
    scale alone (log(1/y) + log W(−a, 0, z), W Wright's generalized Bessel function),
    which the family's sums leave out."""
    assert part.y is not None
    p = kind.var_power
    if p in (1.0, 2.0):
        return 0.0
    positive = part.y > 0
    y = part.y[positive]
    a = (2 - p) / (1 - p)
    z = ((p - 1) * scale / y) ** a / ((2 - p) * scale)
    log_wright_bessel = getattr(special, "log_wright_bessel", None)  # SciPy 1.14 on
    if log_wright_bessel is None:
        series = np.log(special.wright_bessel(-a, 0, z))
    else:
        series = log_wright_bessel(-a, 0, z)
    terms = np.log(1 / y) + series
    return weighted_total(terms, None if part.weights is None else part.weights[positive])


def fit_glm(
    passes: Passes,
    names: tuple[str, ...],
    formula: str,
    title: str,
    cov_type: str,
    estimates_scale: bool,
) -> Fitted:
    """Fits a generalized linear model and returns its estimates and covariance."""
    kind = passes.kind
    assert isinstance(kind, GlmKind)
    initial = sample_start(passes, len(names), sample_scoring(names, formula, title))
    beta, totals, iterations, constant = scoring(passes, names, formula, title, initial)
    k = len(beta)
    df_resid = totals.weight - k
    scale = 1.0
    if estimates_scale:
        if df_resid <= 0:
            raise FitError(
                f"the {title} fit has {k} coefficients for {totals.weight:g} rows, which "
                "leaves no degrees of freedom to estimate the scale"
            )
        scale = totals.pearson_chi2 / df_resid
    likelihood_scale = scale
    if kind.family == "gaussian" and kind.link.name == "identity":
        likelihood_scale = totals.deviance / totals.weight
    if not likelihood_scale > 0:
        raise FitError(
            f"the {title} fit predicts every outcome exactly, so its scale is 0; the model "
            "explains nothing that needs estimating"
        )
    # The information, observed information and meat are those at scale 1, as the scale
    # cancels from the sandwich; the log-likelihood is taken at the scale, in a pass of its
    # own unless that is 1, the scale of the iterations' sums.
    final = totals
    llf = log_likelihood(totals, constant)
    if cov_type != "nonrobust" or likelihood_scale != 1.0:
        final = passes.totals(beta, cov_type != "nonrobust", scale=likelihood_scale)
        llf = final.loglik
    if kind.family == "tweedie":
        llf += sum(passes.map(partial(tweedie_terms, kind=kind, scale=likelihood_scale)))
    if cov_type == "nonrobust":
        cov = scale * np.linalg.inv(totals.information)
    else:
        assert final.observed is not None
        assert final.meat is not None
        meat = final.meat if cov_type != "cluster" else cluster_meat(passes, beta, totals.rows)
        cov = sandwich(np.linalg.inv(final.observed), meat)
    return Fitted(
        beta,
        cov,
        (),
        float(llf),
        totals.weight,
        iterations,
        scale=scale,
        deviance=totals.deviance,
        pearson_chi2=totals.pearson_chi2,
        df_resid=df_resid,
    )


def with_kind(passes: Passes, kind: GlmKind | NegbinKind) -> Passes:
    """Returns the passes over the same partitions, taking another kind's sums."""
    other = copy.copy(passes)
    other.kind = kind
    return other
