"""The table of a call: its label columns, the estimates and the printed columns, and the
covariance of the estimates in ``table.attrs["vcov"]``."""

from __future__ import annotations

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Plan
from velmora_margins.effects.estimates import (
    check_weights,
    covariance,
    group_estimates,
    standard_errors,
)
from velmora_margins.effects.model import GroupSums


def effects_table(
    plan: Plan,
    groups: GroupSums,
    cov: np.ndarray,
    by: str | None,
    estimate: str = "dy/dx",
    terms: bool = True,
) -> pd.DataFrame:
    """Returns the table of every group, stacked: the group (with by), the at variables'
    values and, with terms, "term" and "contrast", then the estimate column named estimate
    and the columns of the effects. Fails when no mean can be taken."""
    check_weights(groups, by)
    values, jacobians, errors = [], [], []
    for _, sums in groups:
        estimates, jacobian = group_estimates(plan, sums)
        values.append(estimates)
        jacobians.append(jacobian)
        errors.append(standard_errors(jacobian, cov))
    table: pd.DataFrame = _kernels.effects_table(
        np.ascontiguousarray(np.concatenate(values)), np.ascontiguousarray(np.concatenate(errors))
    )
    table = table.reset_index(drop=True).rename(columns={"dy/dx": estimate})
    rows = list(plan.rows) * len(groups)
    labels: dict[str, list[object]] = {}
    if by is not None:
        labels[by] = [label for label, _ in groups for _ in plan.rows]
    for at, name in enumerate(plan.at_names):
        labels[name] = [row.at[at] for row in rows]
    if terms:
        labels["term"] = [row.term for row in rows]
        labels["contrast"] = [row.contrast for row in rows]
    for position, (name, column) in enumerate(labels.items()):
        table.insert(position, name, column)
    table.attrs["vcov"] = covariance(np.vstack(jacobians), np.asarray(cov))
    return table
