"""The pass over the rows: the kernel's sums, chunk by chunk and group by group."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins._plan import Chunk, Plan
from velmora_margins._result import FittedModel

# Rows per call of the kernel when the caller sets no chunk size: enough that the calls
# cost little next to the work, few enough that the changed columns of a chunk are small.
DEFAULT_CHUNK = 1 << 16


@dataclass
class Sums:
    """A group's weighted sums: the effects, their gradients and the weights."""

    effects: np.ndarray  # effects
    gradients: np.ndarray  # effects x k
    weight: float = 0.0

    @classmethod
    def zeros(cls, count: int, k: int) -> Sums:
        return cls(np.zeros(count), np.zeros((count, k)))

    def add(self, other: tuple[np.ndarray, np.ndarray, float]) -> None:
        effects, gradients, weight = other
        self.effects += effects
        self.gradients += gradients
        self.weight += weight


def used_data(model: FittedModel, plan: Plan) -> pd.DataFrame | None:
    """Returns one copy of the data columns the plan reads, on the model's rows."""
    if not plan.needs_data():
        return None
    assert model.frame is not None
    assert model.positions is not None
    columns = [c for c in model.frame.columns if str(c) in plan.data_columns]
    data = model.frame[columns].iloc[model.positions].reset_index(drop=True)
    plan.check_remade(data, model.exog)
    return data


def chunk_sums(
    model: FittedModel,
    plan: Plan,
    x: np.ndarray,
    data: pd.DataFrame | None,
    weights: np.ndarray | None,
) -> tuple[np.ndarray, np.ndarray, float]:
    """Returns the kernel's sums over one chunk of rows."""
    chunk = Chunk(data if data is not None else pd.DataFrame(index=range(len(x))))
    derivatives = [(d.columns, d.slopes.make(chunk)) for d in plan.derivatives]
    factors = [
        (f.columns, f.base.make(chunk), [level.make(chunk) for level in f.levels], f.two_valued)
        for f in plan.factors
    ]
    return _kernels.contrast_sums(model.kind, model.params, x, weights, derivatives, factors)


def spans(rows: int, chunk: int) -> Iterator[slice]:
    for start in range(0, rows, chunk):
        yield slice(start, min(start + chunk, rows))


def effect_sums(
    model: FittedModel,
    plan: Plan,
    weights: np.ndarray | None,
    groups: np.ndarray | None,
    group_count: int,
    chunk_size: int | None,
) -> list[Sums]:
    """Returns the sums of every group (one group without ``groups``)."""
    chunk = chunk_size or DEFAULT_CHUNK
    data = used_data(model, plan)
    count, k = len(plan.rows), model.exog.shape[1]
    if groups is None:
        sums = Sums.zeros(count, k)
        for rows in spans(model.rows, chunk):
            sums.add(
                chunk_sums(
                    model,
                    plan,
                    model.exog[rows],
                    None if data is None else data.iloc[rows],
                    None if weights is None else weights[rows],
                )
            )
        return [sums]
    # Each group's rows are gathered a chunk at a time, so that the copies stay small.
    order = np.argsort(groups, kind="stable")
    ends = np.cumsum(np.bincount(groups, minlength=group_count))
    out = []
    for g in range(group_count):
        members = order[(ends[g - 1] if g else 0) : ends[g]]
        sums = Sums.zeros(count, k)
        for part in spans(len(members), chunk):
            picked = members[part]
            sums.add(
                chunk_sums(
                    model,
                    plan,
                    model.exog[picked],
                    None if data is None else data.iloc[picked],
                    None if weights is None else weights[picked],
                )
            )
        out.append(sums)
    return out
