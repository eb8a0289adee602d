"""margins(): average marginal effects by variable, or by design column."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.model import RowOptions
from velmora_margins.effects.plan import plan_for
from velmora_margins.effects.statsmodels_result import adapt
from velmora_margins.effects.table import effects_table


def margins(
    result: Any,
    *,
    variables: Sequence[str] | str | None = None,
    by: str | None = None,
    weights: str | Sequence[float] | np.ndarray | pd.Series | None = None,
    per_column: bool = False,
    chunk_size: int | None = None,
) -> pd.DataFrame:
    """Returns the average marginal effects of a fitted Logit or Probit result.

    By variable (the default), each variable of the formula gets its effect as users
    mean it: a numerical variable the mean derivative of the predicted probability,
    through every design column that involves it (powers, products, interactions,
    transforms); a factor, for each level L other than the reference B, the mean change
    in the predicted probability when every row moves from B to L; a 0/1 variable that
    enters as one plain column, the change from 0 to 1. Standard errors by the delta
    method, with the exact gradient by the coefficients and ``result.cov_params()``.

    Parameters
    ----------
    result
        A fitted statsmodels Logit or Probit result, best from the formula interface
        (``statsmodels.formula.api.logit``/``probit``), or a result of
        ``velmora_margins.fit``. Without a formula each design column is its own
        variable, and a warning says so.
    variables
        The variables to report, by their names in the data (default: every variable of
        the formula's right-hand side, in the formula's order).
    by
        A column of the data: the effects within each of its groups, from the one fit.
    weights
        Non-negative row weights for the means: a column of the data, or one value per
        row of the model (or of the data frame) of a statsmodels result.
    per_column
        Report one effect per design column instead (0/1 columns the change from 0 to
        1, the others the derivative), as ``velmora.zarn(result, se_method="sm")`` does.
    chunk_size
        Rows per pass of the kernel (default 65536); results agree up to rounding.

    Returns
    -------
    pandas.DataFrame
        Columns "term", "contrast" ("dY/dX" for a derivative, "L - B" for a level),
        "dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi" and
        "Significance", one row per effect; with ``by``, that column comes first.
    """
    model = adapt(result)
    options = RowOptions.of(model, by, weights, chunk_size)
    plan = plan_for(model, variables, per_column)
    groups = model.effect_sums(plan, options)
    return effects_table(plan, groups, model.cov, options.by)
