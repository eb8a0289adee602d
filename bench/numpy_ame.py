"""Average marginal effects of a Logit or Probit fit in plain NumPy.

The competitor the benchmark holds velmora against: the same formulas, written
as a competent NumPy user would write them. The rows are taken in chunks so
that the temporaries stay bounded; per chunk the code is vectorised over rows
and over binary columns, and one matrix product X_chunk^T W gives every
gradient sum of the chunk.

For a binary column j, the effect is the mean of F(xb with x_j = 1) minus
F(xb with x_j = 0), and its gradient row is the mean of f(xb_one) x - f(xb_zero) x
with the entry for beta_j taken from f(xb_one) alone. For a continuous column j
the effect is beta_j times the mean density; the gradient row is

    "kova":  entry j = mean f(xb),  entry l != j = -beta_j mean(xb x_l f(xb))
    "sm":    entry l = beta_j mean(x_l f'(xb)), plus mean f(xb) at entry j

The delta method then gives V = J Sigma J^T.
"""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from scipy.special import ndtr

FloatArray = npt.NDArray[np.float64]

SQRT_2PI: float = np.sqrt(2.0 * np.pi)


def logit_links(v: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Returns F(v) and f(v) of the logistic distribution."""
    cdf = 1.0 / (1.0 + np.exp(-v))
    return cdf, cdf * (1.0 - cdf)


def probit_pdf(v: FloatArray) -> FloatArray:
    return np.exp(-0.5 * v * v) / SQRT_2PI


def probit_links(v: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Returns F(v) and f(v) of the standard normal distribution."""
    cdf: FloatArray = ndtr(v)
    return cdf, probit_pdf(v)


def find_binary_columns(X: FloatArray, columns: Sequence[int], chunk_size: int) -> list[int]:
    """Returns the columns whose values are all 0 or 1, scanning X in chunks of rows."""
    binary = list(columns)
    for start in range(0, X.shape[0], chunk_size):
        if not binary:
            break
        block = X[start : start + chunk_size, binary]
        keep = ((block == 0.0) | (block == 1.0)).all(axis=0)
        binary = [j for j, ok in zip(binary, keep, strict=True) if ok]
    return binary


def average_marginal_effects(
    kind: str,
    beta: npt.ArrayLike,
    cov: FloatArray,
    X: FloatArray,
    intercepts: Sequence[int],
    method: str = "kova",
    chunk_size: int = 65536,
) -> tuple[list[int], FloatArray, FloatArray]:
    """Returns (columns, AMEs, standard errors) for the non-intercept columns of X.

    kind is "logit" or "probit"; method is "kova" or "sm"; columns that hold
    only 0 and 1 get the discrete-change effect.
    """
    if method not in ("kova", "sm"):
        raise ValueError(f"unknown method {method!r}")
    links = logit_links if kind == "logit" else probit_links
    n, k = X.shape
    beta = np.asarray(beta, dtype=float)
    columns = [j for j in range(k) if j not in intercepts]
    binary = find_binary_columns(X, columns, chunk_size)
    continuous = [j for j in columns if j not in binary]
    g = len(binary)
    beta_binary = beta[binary]
    beta_continuous = beta[continuous]

    ame_sums = np.zeros(k)
    jacobian = np.zeros((k, k))
    for start in range(0, n, chunk_size):
        X_chunk = X[start : start + chunk_size]
        xb = X_chunk @ beta
        if kind == "logit":
            cdf, pdf = links(xb)
        else:
            pdf = probit_pdf(xb)  # the Probit F of xb itself is never needed
        weights = np.empty((len(xb), g + 1))

        if g:
            x_binary = X_chunk[:, binary]
            cdf_one, pdf_one = links(xb[:, None] + (1.0 - x_binary) * beta_binary)
            cdf_zero, pdf_zero = links(xb[:, None] - x_binary * beta_binary)
            ame_sums[binary] += cdf_one.sum(axis=0) - cdf_zero.sum(axis=0)
            np.subtract(pdf_one, pdf_zero, out=weights[:, :g])
            pdf_one_sums = pdf_one.sum(axis=0)

        if continuous:
            if method == "kova":
                weights[:, g] = xb * pdf
            elif kind == "logit":
                weights[:, g] = pdf * (1.0 - 2.0 * cdf)
            else:
                weights[:, g] = -xb * pdf
        else:
            weights[:, g] = 0.0

        sums = X_chunk.T @ weights  # k x (g + 1)

        if g:
            rows = sums[:, :g].T.copy()
            rows[np.arange(g), binary] = pdf_one_sums
            jacobian[binary] += rows
        if continuous:
            pdf_sum = pdf.sum()
            ame_sums[continuous] += beta_continuous * pdf_sum
            if method == "kova":
                rows = -np.outer(beta_continuous, sums[:, g])
                rows[np.arange(len(continuous)), continuous] = pdf_sum
            else:
                rows = np.outer(beta_continuous, sums[:, g])
                rows[np.arange(len(continuous)), continuous] += pdf_sum
            jacobian[continuous] += rows

    ames = ame_sums / n
    mean_jacobian = jacobian / n
    variances = np.einsum("ij,jk,ik->i", mean_jacobian, cov, mean_jacobian)
    std_errors = np.sqrt(np.clip(variances, 0.0, None))
    return columns, ames[columns], std_errors[columns]
