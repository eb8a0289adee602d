from typing import Literal, SupportsIndex

import pandas as pd

__all__ = ["zarn"]

def zarn(
    model: object,
    chunk_size: SupportsIndex | None = None,
    se_method: Literal["kova", "sm"] | None = None,
) -> pd.DataFrame:
    """Returns the average marginal effects of a fitted Logit or Probit model.

    0/1 columns get the discrete change, the mean of F(xb with x_j = 1) minus
    F(xb with x_j = 0); every other column that is not an intercept the derivative
    effect, β_j times the mean of f(xb). Standard errors by the delta method,
    √diag(J Σ Jᵀ), with J the gradient of the effects by the coefficients and Σ the
    model's ``cov_params()``, computed in one pass over the design matrix, read in
    place.

    Parameters
    ----------
    model
        A fitted statsmodels ``Logit`` or ``Probit`` result, or any object shaped like
        one: it reads ``params``, ``cov_params()``, and from ``model.model`` (or the
        object itself) ``exog`` and its names (``exog.columns`` of a DataFrame, else
        ``exog_names``). The model's class name decides the link. Columns named
        ``const`` or ``intercept`` (any case) are intercepts and get no row.
    chunk_size
        Rows per chunk (any integer-like, at least 1); ``None`` takes all rows at once.
        Results for different chunk sizes agree up to rounding.
    se_method
        ``"kova"`` (the default), the per-observation gradient, or ``"sm"``, the exact
        gradient that statsmodels' ``get_margeff(at='overall', method='dydx',
        dummy=True)`` and Stata report. Any other text leaves continuous columns out
        (dy/dx 0, Std. Err 0) and warns.

    Returns
    -------
    pandas.DataFrame
        Columns "dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi"
        and "Significance" (``***`` p < 0.01, ``**`` p < 0.05, ``*`` p < 0.1), one row
        per column that is not an intercept, indexed by its name. The bounds are
        dy/dx ∓ 1.96 Std. Err.

    Raises
    ------
    ValueError
        A model that is not a Logit or Probit, ``chunk_size=0``, inputs whose sizes do
        not fit together, or arrays whose strides are not whole elements.
    TypeError
        Arguments of the wrong type, or arrays that are not float64.
    OverflowError
        A negative or too large ``chunk_size``.
    """
