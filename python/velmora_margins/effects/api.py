"""margins(): average marginal effects by variable, or by design column."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.passes import effect_sums, partitioned_sums
from velmora_margins.effects.plan import Levels, Plan, Slopes, column_plan, variable_plan
from velmora_margins.effects.plan import make_plan as ordered_plan
from velmora_margins.effects.statsmodels_result import FittedModel, read_result
from velmora_margins.effects.table import stacked_table


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
        (``statsmodels.formula.api.logit``/``probit``). Without a formula each design
        column is its own variable, and a warning says so.
    variables
        The variables to report, by their names in the data (default: every variable of
        the formula's right-hand side, in the formula's order).
    by
        A column of the data: the effects within each of its groups, from the one fit.
    weights
        Non-negative row weights for the means: a column of the data, or one value per
        row of the model (or of the data frame).
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
    model = read_result(result)
    chunk = check_chunk_size(chunk_size)
    plan = make_plan(model, variables, per_column)
    if model.partitioned is not None:
        if weights is not None and not isinstance(weights, str):
            raise TypeError("weights: for a fit on partitioned data, name a column of the data")
        if by is not None and not isinstance(by, str):
            raise TypeError(f"by: expected a column name, got {type(by).__name__}")
        labels, sums = partitioned_sums(model, plan, weights, by, chunk)
        return stacked_table(plan, sums, model.cov, by, labels)
    row_weights = read_weights(model, weights)
    groups, labels = read_groups(model, by)
    if row_weights is not None:
        check_group_weights(row_weights, groups, labels, by)
    sums = effect_sums(model, plan, row_weights, groups, len(labels), chunk)
    return stacked_table(plan, sums, model.cov, by, labels)


def make_plan(model: FittedModel, variables: Sequence[str] | str | None, per_column: bool) -> Plan:
    """Returns the contrasts the call asks for."""
    if model.design is None:
        if not per_column:
            warnings.warn(
                "result was fitted without a formula, so velmora_margins cannot tell its "
                "variables; each design column is taken as its own variable",
                UserWarning,
                stacklevel=3,
            )
        return select_columns(column_plan(model.binary, model.names, model.intercepts()), variables)
    if per_column:
        return select_columns(column_plan(model.binary, model.names, model.intercepts()), variables)
    names = list(model.design.rhs_order) if variables is None else names_of(variables)
    return variable_plan(model.design, model.binary, names)


def names_of(variables: Sequence[str] | str) -> list[str]:
    """Returns the requested names, in order and without repeats."""
    if isinstance(variables, str):
        variables = [variables]
    names = list(dict.fromkeys(variables))
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"variables: expected names as str, got {type(name).__name__}")
    if not names:
        raise ValueError("variables: the list is empty; name at least one variable")
    return names


def select_columns(plan: Plan, variables: Sequence[str] | str | None) -> Plan:
    """Keeps the per-column contrasts of the named columns."""
    if variables is None:
        return plan
    names = names_of(variables)
    unknown = [n for n in names if n not in plan.terms]
    if unknown:
        raise ValueError(
            f"variables: no column named {unknown[0]!r}; the columns are: {', '.join(plan.terms)}"
        )
    items: list[Slopes | Levels] = [*plan.derivatives, *plan.factors]
    return ordered_plan([next(i for i in items if i.term == n) for n in names], plan.data_columns)


def check_chunk_size(chunk_size: int | None) -> int | None:
    if chunk_size is None:
        return None
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int | np.integer):
        raise TypeError(f"chunk_size: expected a whole number of rows, got {chunk_size!r}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size: must be at least 1 row, got {chunk_size}")
    return int(chunk_size)


def data_column(model: FittedModel, name: str, argument: str) -> pd.Series:
    """Returns a column of the model's data on the model's rows."""
    frame = model.frame
    if frame is None or model.positions is None:
        raise ValueError(
            f"{argument}: a column name needs the data of a formula fit; this result was "
            "fitted without a formula, so pass the values instead"
        )
    if name not in frame.columns:
        shown = ", ".join(map(str, frame.columns[:12]))
        raise ValueError(f"{argument}: no column {name!r} in the data; columns are: {shown}")
    return frame[name].iloc[model.positions]


def read_weights(
    model: FittedModel, weights: str | Sequence[float] | np.ndarray | pd.Series | None
) -> np.ndarray | None:
    """Returns one weight per model row, or fails naming what is wrong with them."""
    if weights is None:
        return None
    values = data_column(model, weights, "weights") if isinstance(weights, str) else weights
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("weights: expected numbers, one per row") from None
    if array.ndim != 1:
        raise ValueError(
            f"weights: expected one value per row, got an array of shape {array.shape}"
        )
    frame_rows = len(model.frame) if model.frame is not None else None
    if len(array) != model.rows:
        if frame_rows is not None and len(array) == frame_rows and model.positions is not None:
            array = array[model.positions]
        else:
            also = f" (or {frame_rows}, the rows of the data)" if frame_rows else ""
            raise ValueError(
                f"weights: {len(array)} values for {model.rows} rows of the model{also}"
            )
    if np.isnan(array).any():
        raise ValueError(f"weights: {int(np.isnan(array).sum())} values are NaN")
    if not np.isfinite(array).all():
        raise ValueError("weights: some values are infinite")
    if (array < 0).any():
        raise ValueError(
            f"weights: {int((array < 0).sum())} values are negative, such as {array[array < 0][0]}"
        )
    if not (array > 0).any():
        raise ValueError("weights: all are zero, so no mean can be taken")
    return np.ascontiguousarray(array)


def read_groups(model: FittedModel, by: str | None) -> tuple[np.ndarray | None, list[object]]:
    """Returns each model row's group number and the groups' labels, in sorted order."""
    if by is None:
        return None, [None]
    if not isinstance(by, str):
        raise TypeError(f"by: expected a column name, got {type(by).__name__}")
    values = data_column(model, by, "by")
    missing = int(values.isna().sum())
    if missing:
        raise ValueError(
            f"by: column {by!r} is missing in {missing} of the rows the model uses; fill "
            "those values or drop those rows"
        )
    try:
        codes, labels = pd.factorize(values, sort=True)
    except TypeError:  # labels of mixed types that do not sort
        codes, labels = pd.factorize(values, sort=False)
    return np.asarray(codes, dtype=np.intp), list(labels)


def check_group_weights(
    weights: np.ndarray, groups: np.ndarray | None, labels: list[object], by: str | None
) -> None:
    if groups is None:
        return
    totals = np.bincount(groups, weights=weights, minlength=len(labels))
    for label, total in zip(labels, totals, strict=True):
        if not total > 0:
            raise ValueError(f"weights: all weights are zero within {by} = {label}")
