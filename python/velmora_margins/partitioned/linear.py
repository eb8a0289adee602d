"""Least squares, ordinary or weighted, in two passes: one for X'WX and X'Wy, whose
solution is the estimate, and one for the residuals' sum of squares and the robust meats
with the leverages of HC2 and HC3 (a third for the scores by cluster)."""

from __future__ import annotations

from functools import partial

import numpy as np

from velmora_margins import _kernels
from velmora_margins.errors import FitError
from velmora_margins.partitioned.covariance import cluster_meat, sandwich
from velmora_margins.partitioned.fitted import Fitted
from velmora_margins.partitioned.kinds import LinearKind
from velmora_margins.partitioned.newton import check_rank
from velmora_margins.partitioned.parts import Part
from velmora_margins.partitioned.passes import Passes


def part_meat(
    part: Part, kind: LinearKind, beta: np.ndarray, bread: np.ndarray
) -> _kernels.LinearMeat:
    return kind.meat(part, beta, bread)


def fit_linear(
    passes: Passes, names: tuple[str, ...], formula: str, title: str, cov_type: str
) -> Fitted:
    """Fits least squares and returns its estimates and covariance."""
    kind = passes.kind
    assert isinstance(kind, LinearKind)
    sums: _kernels.LinearSums = passes.totals(np.zeros(len(names)))
    if sums.rows == 0:
        raise FitError(f"no rows left for {formula!r} once rows with missing values are dropped")
    check_rank(sums.xtwx, names, formula)
    bread = np.linalg.inv(sums.xtwx)
    beta = np.linalg.solve(sums.xtwx, sums.xtwy)
    n, k = float(sums.rows), len(beta)
    if n <= k:
        raise FitError(
            f"the {title} fit has {k} coefficients for {sums.rows} rows, which leaves no "
            "degrees of freedom to estimate the scale"
        )
    meat: _kernels.LinearMeat = passes.total(partial(part_meat, kind=kind, beta=beta, bread=bread))
    scale = meat.ssr / (n - k)
    half = n / 2
    llf = -half * np.log(meat.ssr) - (1 + np.log(np.pi / half)) * half + 0.5 * sums.log_weight
    if cov_type == "nonrobust":
        cov = scale * bread
    elif cov_type == "cluster":
        cov = sandwich(bread, cluster_meat(passes, beta, n))
    else:
        if cov_type in ("HC2", "HC3") and meat.max_leverage > 1 - 1e-10:
            raise FitError(
                f"cov_type {cov_type!r}: a row has leverage 1 (the fit passes through it "
                "exactly), so its weight in the covariance is infinite; use 'HC0' or 'HC1'"
            )
        middle = {
            "HC0": meat.hc0,
            "HC1": meat.hc0 * n / (n - k),
            "HC2": meat.hc2,
            "HC3": meat.hc3,
        }[cov_type]
        cov = sandwich(bread, middle)
    return Fitted(
        beta,
        cov,
        (),
        float(llf),
        n,
        1,
        scale=scale,
        deviance=meat.ssr,
        df_resid=n - k,
        # As statsmodels: Student's t with the nonrobust covariance, the normal otherwise.
        use_t=cov_type == "nonrobust",
    )
