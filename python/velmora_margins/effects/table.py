"""From sums to the table: the means, the delta method and the printed columns."""

from __future__ import annotations

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Plan
from velmora_margins.effects.model import GroupSums
from velmora_margins.errors import ArgumentError


def effects_and_errors(
    sums: _kernels.ContrastSums, cov: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Returns the mean effects and their delta-method standard errors: the square roots
    of the diagonal of J cov J^T, J the mean gradients, where that diagonal is positive."""
    effects = sums.effects / sums.weight
    jacobian = sums.gradients / sums.weight
    # einsum sums in an order that follows its operands' memory layout: the covariance is
    # taken in one layout (Fortran, as a statsmodels result's cov_params() comes), so that
    # a table does not depend on how its model stored the covariance.
    variances = np.einsum("ij,jl,il->i", jacobian, np.asfortranarray(cov), jacobian)
    errors = np.sqrt(np.where(variances > 0.0, variances, 0.0))
    return effects, errors


def group_table(plan: Plan, sums: _kernels.ContrastSums, cov: np.ndarray) -> pd.DataFrame:
    """Returns one group's rows: term, contrast and the seven columns of the effects."""
    effects, errors = effects_and_errors(sums, cov)
    order = list(plan.rows)
    table: pd.DataFrame = _kernels.effects_table(
        np.ascontiguousarray(effects[order]), np.ascontiguousarray(errors[order])
    )
    table = table.reset_index(drop=True)
    table.insert(0, "contrast", list(plan.contrasts))
    table.insert(0, "term", list(plan.terms))
    return table


def effects_table(plan: Plan, groups: GroupSums, cov: np.ndarray, by: str | None) -> pd.DataFrame:
    """Returns the table of every group, stacked, with the group first when there are groups;
    fails when the weights of all the rows, or of a group's rows, add up to 0, so that no
    mean can be taken."""
    for label, sums in groups:
        if not sums.weight > 0:
            if by is None:
                raise ArgumentError("weights", "all are zero, so no mean can be taken")
            raise ArgumentError("weights", f"all weights are zero within {by} = {label}")
    if by is None:
        ((_, sums),) = groups
        return group_table(plan, sums, cov)
    tables = []
    for label, sums in groups:
        table = group_table(plan, sums, cov)
        table.insert(0, by, [label] * len(table))
        tables.append(table)
    return pd.concat(tables, ignore_index=True)
