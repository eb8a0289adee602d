"""What a fit of any kind ends with, for its result."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

MAX_ITERATIONS = 100
# A fit stops once a step moves no parameter by more than this, relative to the largest
# (or absolutely, below 1).
STEP_TOLERANCE = 1e-9


@dataclass(frozen=True)
class Fitted:
    """The parameters (the design's coefficients, then any of the model's own, such as
    the negative binomial's alpha), their covariance and the fit's statistics."""

    params: np.ndarray
    cov: np.ndarray
    extra: tuple[str, ...]  # the names of the model's own parameters, after the design's
    llf: float
    nobs: float
    iterations: int
    scale: float = 1.0
    deviance: float | None = None
    pearson_chi2: float | None = None
    df_resid: float | None = None
    use_t: bool = False  # p-values and intervals from Student's t on df_resid


def converged(step: np.ndarray, params: np.ndarray, tolerance: float = STEP_TOLERANCE) -> bool:
    """Returns whether a step moved no parameter by more than the tolerance."""
    return bool(np.max(np.abs(step)) <= tolerance * max(1.0, float(np.max(np.abs(params)))))


def not_converged(title: str, step: np.ndarray) -> str:
    """Returns the message of a fit that ran out of iterations, with its last step."""
    return (
        f"the {title} fit did not converge in {MAX_ITERATIONS} iterations: the last one still "
        f"moved a parameter by {float(np.max(np.abs(step))):.3g}; rescale the regressors or "
        "simplify the model"
    )
