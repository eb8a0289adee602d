"""A plain NumPy implementation of zarn's arithmetic, kept independent of the extension.

It follows the documented algorithm step by step: the chunk loop, the counterfactual
linear predictors of each binary column, the two gradient forms of continuous columns,
V = (J Sigma) J^T and the results table. The tests compare the extension against it.
"""

import math

import numpy as np
from scipy.special import erfc

LABELS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance"]
SQRT_TWO_PI = 2.5066282746310002


def cdf(kind, v):
    """F(v): the logistic or standard normal distribution function."""
    with np.errstate(all="ignore"):
        if kind == "logit":
            return 1.0 / (np.exp(-v) + 1.0)
        return 0.5 * erfc((0.0 - v) / math.sqrt(2.0))


def literal_logit_pdf(v):
    """exp(v) / (exp(v) + 1)^2 exactly as written, overflowing for large v."""
    with np.errstate(all="ignore"):
        e = np.exp(v)
        return e / ((e + 1.0) * (e + 1.0))


def pdf(kind, v):
    """f(v). The logistic density switches to exp(-v) where the written form overflows."""
    v = np.asarray(v, dtype=float)
    if kind == "probit":
        with np.errstate(all="ignore"):
            return np.exp((-0.5 * v) * v) / SQRT_TWO_PI
    with np.errstate(all="ignore"):
        t = np.exp(-v)
        stable = t / ((t + 1.0) * (t + 1.0))
        overflow = np.isfinite(v) & ~np.isfinite((np.exp(v) + 1.0) ** 2)
    return np.where(overflow, stable, literal_logit_pdf(v))


def pdf_derivative(kind, v):
    """f'(v): (1 - 2F) f for Logit, -v f for Probit."""
    with np.errstate(all="ignore"):
        if kind == "logit":
            F = cdf(kind, v)
            return (1.0 - (F + F)) * pdf(kind, v)
        return pdf(kind, v) * (-v)


def is_intercept(name):
    return name.lower() in ("const", "intercept")


def binary_columns(X, names):
    """Named, non-intercept columns whose values all equal 0.0 or 1.0."""
    return [
        j
        for j, name in enumerate(names)
        if not is_intercept(name) and bool(np.all((X[:, j] == 0.0) | (X[:, j] == 1.0)))
    ]


def accumulate(kind, beta, X, names, method, chunk_size=None):
    """The four accumulators after the chunked pass: (ame_obs, jac_obs, ame_sm, jac_sm)."""
    n, k = X.shape
    ame_obs, ame_sm = np.zeros(k), np.zeros(k)
    jac_obs, jac_sm = np.zeros((k, k)), np.zeros((k, k))
    binary = binary_columns(X, names)
    intercepts = [j for j, name in enumerate(names) if is_intercept(name)]
    continuous = [j for j in range(k) if j not in intercepts and j not in binary]
    c = n if chunk_size is None else chunk_size
    with np.errstate(all="ignore"):
        for start in range(0, n, c):
            Xc = X[start : min(start + c, n)]
            xb = Xc @ beta
            pdf_xb = pdf(kind, xb)
            for j in binary:
                x, b = Xc[:, j], beta[j]
                xb_one = xb + (1.0 - x) * b
                xb_zero = xb + (-x) * b
                delta = cdf(kind, xb_one).sum() - cdf(kind, xb_zero).sum()
                ame_obs[j] += delta
                ame_sm[j] += delta
                d_one, d_zero = pdf(kind, xb_one), pdf(kind, xb_zero)
                for l in range(k):
                    g = d_one.sum() if l == j else (d_one - d_zero) @ Xc[:, l]
                    jac_obs[j, l] += g
                    jac_sm[j, l] += g
            S = pdf_xb.sum()
            for j in continuous:
                b = beta[j]
                if method == "kova":
                    ame_obs[j] = S * b + ame_obs[j]
                    for l in range(k):
                        r = S if l == j else ((xb * Xc[:, l]) @ pdf_xb) * (-b)
                        jac_obs[j, l] = r + jac_obs[j, l]
                elif method == "sm":
                    d = pdf_derivative(kind, xb)
                    ame_sm[j] = S * b + ame_sm[j]
                    for l in range(k):
                        t = (Xc[:, l] * d).sum()
                        r = t * b + S if l == j else t * b
                        jac_sm[j, l] = r + jac_sm[j, l]
    return ame_obs, jac_obs, ame_sm, jac_sm


def finalise(n, method, sums, cov):
    """AMEs and delta-method standard errors from the accumulators of the method."""
    ame_obs, jac_obs, ame_sm, jac_sm = sums
    ame, jac = (ame_sm, jac_sm) if method == "sm" else (ame_obs, jac_obs)
    with np.errstate(all="ignore"):
        N = float(n)
        ames = ame / N
        J = jac / N
        V = (J @ cov) @ J.T
        diag = np.diagonal(V)
        std_errors = np.sqrt(np.where(diag > 0.0, diag, 0.0))
    return ames, std_errors


def marginal_effects(kind, beta, X, names, cov, method="kova", chunk_size=None):
    """(ames, std_errors) over all k columns, intercepts included."""
    sums = accumulate(kind, beta, X, names, method, chunk_size)
    return finalise(X.shape[0], method, sums, cov)


def stars(p):
    if p < 0.01:
        return "***"
    if p < 0.05:
        return "**"
    if p < 0.1:
        return "*"
    return ""


def table_row(a, s):
    """(z, p, stars, low, high) of one reported column."""
    if s > 1e-15:
        z = a / s
        t = 1.0 - 0.5 * erfc(-abs(z) / math.sqrt(2.0))
        p = t + t
        h = s * 1.96
        return z, p, stars(p), a - h, a + h
    return 0.0, 1.0, "", a, a
