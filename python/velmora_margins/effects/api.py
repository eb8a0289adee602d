"""The questions users ask of a fitted model: ``predictions``, ``margins`` and ``comparisons``.

Each takes a fitted statsmodels result (Logit, Probit, Poisson, NegativeBinomial,
GeneralizedPoisson, GLM, OLS or WLS), or a result of ``velmora_margins.fit``, and returns a
table whose rows are weighted means over the model's rows (within the groups of ``by``, at
each combination of ``at``, or at the means with ``atmeans``), with delta-method standard
errors from the exact gradients; the covariance of all its estimates is in
``table.attrs["vcov"]``.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.atmeans import means_request, sums_at_means
from velmora_margins.effects.comparisons import (
    COMPARISON_NAMES,
    changes_of,
    comparison_of,
    comparisons_plan,
    spreads_needed,
)
from velmora_margins.effects.contrasts import Plan, Scenario
from velmora_margins.effects.model import GroupSums, Model, RowOptions
from velmora_margins.effects.plan import SLOPES, margins_plan, predictions_plan, slope_of
from velmora_margins.effects.scenarios import at_grid
from velmora_margins.effects.statistics import request_for
from velmora_margins.effects.statsmodels_result import adapt
from velmora_margins.effects.table import effects_table
from velmora_margins.errors import ArgumentError
from velmora_margins.links import LINKS, Link

Weights = str | Sequence[float] | np.ndarray | pd.Series | None
At = Mapping[str, Any] | None


def margins(
    result: Any,
    *,
    variables: Sequence[str] | str | None = None,
    by: str | None = None,
    at: At = None,
    atmeans: bool = False,
    slope: str = "dydx",
    weights: Weights = None,
    scale: str = "response",
    per_column: bool = False,
    chunk_size: int | None = None,
) -> pd.DataFrame:
    """Returns the average marginal effects of a fitted model.

    By variable (the default), each variable of the formula gets its effect as users
    mean it: a numerical variable the mean derivative of the prediction E[y | x],
    through every design column that involves it (powers, products, interactions,
    transforms); a factor, for each level L other than the reference B, the mean change
    in the prediction when every row moves from B to L; a 0/1 variable that
    enters as one plain column, the change from 0 to 1. Standard errors by the delta
    method, with the exact gradient by the coefficients and ``result.cov_params()``.

    Parameters
    ----------
    result
        A fitted statsmodels Logit, Probit, Poisson, NegativeBinomial (NB2, NB1),
        GeneralizedPoisson, GLM (the families and links of ``links.FAMILY_LINKS``), OLS
        or WLS result, best from the formula interface (``statsmodels.formula.api``), or
        a result of ``velmora_margins.fit``. Without a formula each design column is its
        own variable, and a warning says so. The model's offset and exposure stay each
        row's own in every prediction.
    variables
        The variables to report, by their names in the data (default: every variable of
        the formula's right-hand side, in the formula's order).
    by
        A column of the data: the effects within each of its groups, from the one fit.
    at
        Values to set variables to, ``{"age": [30, 50], "cyl": 4}``: the effects at every
        combination, each row's other variables as they are (Stata's ``at()``).
    atmeans
        Take the effects at one row of the means (within each group): every variable not
        set by ``at`` at its mean, every factor at the shares of its levels.
    slope
        "dydx" (the default), or an elasticity: "eyex" (mean of dF/dx · x / F), "eydx"
        (dF/dx / F) or "dyex" (dF/dx · x); numerical variables only.
    weights
        Non-negative row weights for the means: a column of the data, or one value per
        row of the model (or of the data frame) of a statsmodels result. By default the
        fit's own weights: a GLM's ``freq_weights`` times its ``var_weights``, a WLS's
        ``weights`` (and none for other fits).
    scale
        "response" (the prediction E[y | x] = F(x b + offset), the default: a
        probability, a count or a mean) or "linear" (the linear predictor x b + offset).
    per_column
        Report one effect per design column instead (0/1 columns the change from 0 to
        1, the others the derivative), as ``velmora.zarn(result, se_method="sm")`` does.
    chunk_size
        Rows per pass of the kernel (default 65536); results agree up to rounding.

    Returns
    -------
    pandas.DataFrame
        The ``by`` column if any, one column per ``at`` variable, "term", "contrast"
        ("dY/dX" for a derivative, "L - B" for a level), the estimate ("dy/dx", or the
        elasticity's name), "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi"
        and "Significance", one row per effect; ``attrs["vcov"]`` holds the covariance
        of the estimates.
    """
    model = adapt(result)
    options = RowOptions.of(model, by, weights, chunk_size)
    link = link_of(model, scale)
    slope = slope_of(slope)
    scenarios, names = at_grid(model, at)
    plan = margins_plan(model, variables, per_column, scenarios, names, slope, atmeans)
    groups = evaluate(model, plan, options, link, scenarios, atmeans)
    return effects_table(plan, groups, model.cov, options.by, SLOPES[slope][0])


def predictions(
    result: Any,
    *,
    by: str | None = None,
    at: At = None,
    atmeans: bool = False,
    weights: Weights = None,
    scale: str = "response",
    chunk_size: int | None = None,
) -> pd.DataFrame:
    """Returns the mean predictions of a fitted model: overall, within the groups of
    ``by``, at each combination of ``at`` or at the means (``atmeans``).

    The estimate "Margin" is the weighted mean of F(x_i b + o_i) (of x_i b + o_i with
    ``scale="linear"``, o_i the row's offset, 0 without) over the model's rows, each
    row's variables set as ``at`` says; the other arguments are those of ``margins``.

    Returns
    -------
    pandas.DataFrame
        The ``by`` column if any, one column per ``at`` variable, "Margin", "Std. Err",
        "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi" and "Significance";
        ``attrs["vcov"]`` holds the covariance of the estimates.
    """
    model = adapt(result)
    options = RowOptions.of(model, by, weights, chunk_size)
    link = link_of(model, scale)
    scenarios, names = at_grid(model, at)
    plan = predictions_plan(model, scenarios, names)
    groups = evaluate(model, plan, options, link, scenarios, atmeans)
    return effects_table(plan, groups, model.cov, options.by, "Margin", terms=False)


def comparisons(
    result: Any,
    *,
    variables: Sequence[str] | Mapping[str, Any] | str | None = None,
    by: str | None = None,
    at: At = None,
    atmeans: bool = False,
    comparison: str = "difference",
    weights: Weights = None,
    scale: str = "response",
    chunk_size: int | None = None,
) -> pd.DataFrame:
    """Returns comparisons of mean predictions at two values of each variable.

    ``variables`` names the variables (default: every variable of the formula), each
    with its default change, or maps them to their changes: for a factor "reference"
    (each level against the reference level, the default), "sequential" (against the
    level before) or "pairwise" (every pair); for a numerical variable a number h (every
    row from x to x + h, the default 1), "sd" (from x − sd/2 to x + sd/2, sd over the
    model's rows with ddof = 1), "iqr" (every row at the 25th, then the 75th percentile),
    "minmax" (the smallest, then the largest value) or a pair (a, b) (every row at a,
    then at b); a 0/1 variable changes from 0 to 1. ``comparison`` says how the two mean
    predictions m_1 (after the change) and m_2 (before) compare: "difference" m_1 − m_2,
    "ratio" m_1 / m_2, "lnratio" its log, "lnor" the log of the odds ratio, "lift"
    m_1 / m_2 − 1. The other arguments are those of ``margins``.

    Returns
    -------
    pandas.DataFrame
        The ``by`` column if any, one column per ``at`` variable, "term", "contrast" (the
        change: "3 - 1", "+10", "+1 sd", "40 - 20"), the comparison ("Difference",
        "Ratio", ...), "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi" and
        "Significance"; ``attrs["vcov"]`` holds the covariance of the estimates.
    """
    model = adapt(result)
    options = RowOptions.of(model, by, weights, chunk_size)
    link = link_of(model, scale)
    comparison = comparison_of(comparison)
    changes = changes_of(model, variables)
    scenarios, names = at_grid(model, at)
    spreads = spreads_needed(changes)
    statistics = model.statistics(request_for((), (), spreads), options) if spreads else None
    plan = comparisons_plan(
        model, changes, comparison, statistics.spreads if statistics else {}, scenarios, names
    )
    groups = evaluate(model, plan, options, link, scenarios, atmeans)
    return effects_table(plan, groups, model.cov, options.by, COMPARISON_NAMES[comparison])


def link_of(model: Model, scale: object) -> Link:
    """Returns the link of the scale asked for: the model's, or the identity for the
    linear predictor."""
    if scale == "response":
        return model.link
    if scale == "linear":
        return LINKS["identity"]
    raise ArgumentError("scale", f"expected 'response' or 'linear', got {scale!r}")


def evaluate(
    model: Model,
    plan: Plan,
    options: RowOptions,
    link: Link,
    scenarios: Sequence[Scenario],
    atmeans: object,
) -> GroupSums:
    """Returns the sums of the plan: over the model's rows, or at each group's row of
    means."""
    if not isinstance(atmeans, bool):
        raise TypeError(f"atmeans: expected True or False, got {atmeans!r}")
    if not atmeans:
        return model.effect_sums(plan, options, link)
    statistics = model.statistics(means_request(model, scenarios), options)
    return sums_at_means(model, plan, statistics, link)
