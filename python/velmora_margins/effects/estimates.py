"""From the kernel's sums to each row's estimate, its gradient and their covariance.

Each group's sums divided by its weight are means of per-row terms and their gradients by
the coefficients. A table row's estimate is one such mean, or a comparison of two (m_1 the
higher side's mean prediction, m_2 the lower side's):

    difference  m_1 - m_2                         ratio    m_1 / m_2
    lnratio     log(m_1 / m_2)                    lift     m_1 / m_2 - 1
    lnor        log(m_1 / (1 - m_1)) - log(m_2 / (1 - m_2))

with its exact gradient by the chain rule. The delta method then gives the covariance of
all the table's estimates, J Σ Jᵀ, J their gradients stacked over groups and scenarios.
"""

from __future__ import annotations

import numpy as np

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Plan, Row
from velmora_margins.effects.model import GroupSums
from velmora_margins.errors import ArgumentError


def row_estimate(row: Row, means: np.ndarray, gradients: np.ndarray) -> tuple[float, np.ndarray]:
    """Returns a row's estimate and its gradient from the kernel's means and gradients."""
    if row.comparison is None:
        (i,) = row.effects
        return float(means[i]), gradients[i]
    hi, lo = row.effects
    m1, m2, g1, g2 = float(means[hi]), float(means[lo]), gradients[hi], gradients[lo]
    kind = row.comparison
    if kind == "difference":
        return m1 - m2, g1 - g2
    label = f"{row.term} {row.contrast}"
    if kind in ("ratio", "lift"):
        if m2 == 0.0:
            raise ArgumentError(
                "comparison",
                f"the mean prediction of the lower side of {label} is 0, so its {kind} is "
                "not defined; compare differences instead",
            )
        ratio = m1 / m2
        return (ratio if kind == "ratio" else ratio - 1.0), (g1 - ratio * g2) / m2
    if kind == "lnratio":
        if not (m1 > 0.0 and m2 > 0.0):
            raise ArgumentError(
                "comparison",
                f"the mean predictions of {label} ({m1:g} and {m2:g}) must be positive for "
                "the log of their ratio",
            )
        return float(np.log(m1) - np.log(m2)), g1 / m1 - g2 / m2
    if not (0.0 < m1 < 1.0 and 0.0 < m2 < 1.0):
        raise ArgumentError(
            "comparison",
            f"the mean predictions of {label} ({m1:g} and {m2:g}) must lie strictly between "
            "0 and 1 for the log of their odds ratio",
        )
    odds = np.log(m1 / (1.0 - m1)) - np.log(m2 / (1.0 - m2))
    return float(odds), g1 / (m1 * (1.0 - m1)) - g2 / (m2 * (1.0 - m2))


def group_estimates(plan: Plan, sums: _kernels.ContrastSums) -> tuple[np.ndarray, np.ndarray]:
    """Returns the estimates of a group's rows and their gradients (rows x k)."""
    means = sums.effects / sums.weight
    gradients = sums.gradients / sums.weight
    pairs = [row_estimate(row, means, gradients) for row in plan.rows]
    values = np.array([value for value, _ in pairs], dtype=np.float64)
    jacobian = np.array([gradient for _, gradient in pairs], dtype=np.float64)
    return values, jacobian.reshape(len(pairs), gradients.shape[1])


def check_weights(groups: GroupSums, by: str | None) -> None:
    """Fails when the weights of all the rows, or of a group's rows, add up to 0, so that
    no mean can be taken."""
    for label, sums in groups:
        if not sums.weight > 0:
            if by is None:
                raise ArgumentError("weights", "all are zero, so no mean can be taken")
            raise ArgumentError("weights", f"all weights are zero within {by} = {label}")


def standard_errors(jacobian: np.ndarray, cov: np.ndarray) -> np.ndarray:
    """Returns the delta-method standard errors: the square roots of the diagonal of
    J cov J^T where it is positive, 0 elsewhere."""
    # einsum sums in an order that follows its operands' memory layout: the covariance is
    # taken in one layout (Fortran, as a statsmodels result's cov_params() comes), so that
    # a table does not depend on how its model stored the covariance.
    variances = np.einsum("ij,jl,il->i", jacobian, np.asfortranarray(cov), jacobian)
    return np.sqrt(np.where(variances > 0.0, variances, 0.0))


def covariance(jacobian: np.ndarray, cov: np.ndarray) -> np.ndarray:
    """Returns the covariance of the estimates, J cov J^T, made exactly symmetric."""
    out = jacobian @ cov @ jacobian.T
    return np.asarray((out + out.T) / 2.0)
