"""The pass over the rows: the kernel's sums, chunk by chunk and group by group."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins._parts import Layout, Part, aligned, build_indexed
from velmora_margins._plan import Chunk, Plan
from velmora_margins._result import FittedModel
from velmora_margins._runner import Progress, runner_for

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

    def add(self, other: _kernels.ContrastSums | Sums) -> None:
        self.effects += other.effects
        self.gradients += other.gradients
        self.weight += other.weight


def chunk_sums(
    kind: str,
    params: np.ndarray,
    plan: Plan,
    x: np.ndarray,
    data: pd.DataFrame | None,
    weights: np.ndarray | None,
) -> _kernels.ContrastSums:
    """Returns the kernel's sums over one chunk of rows."""
    chunk = Chunk(data if data is not None else pd.DataFrame(index=range(len(x))))
    derivatives = [(d.columns, aligned(d.slopes.make(chunk))) for d in plan.derivatives]
    factors = [
        (
            f.columns,
            aligned(f.base.make(chunk)),
            [aligned(level.make(chunk)) for level in f.levels],
            f.two_valued,
        )
        for f in plan.factors
    ]
    weights = None if weights is None else aligned(weights)
    return _kernels.contrast_sums(kind, aligned(params), aligned(x), weights, derivatives, factors)


def spans(rows: int, chunk: int) -> Iterator[slice]:
    for start in range(0, rows, chunk):
        yield slice(start, min(start + chunk, rows))


def rows_sums(
    kind: str,
    params: np.ndarray,
    plan: Plan,
    x: np.ndarray,
    data: pd.DataFrame | None,
    weights: np.ndarray | None,
    members: np.ndarray | None,
    chunk: int,
) -> Sums:
    """Returns the sums over the given rows (all rows without members), a chunk at a
    time; picked rows are gathered a chunk at a time, so that the copies stay small."""
    sums = Sums.zeros(len(plan.rows), x.shape[1])
    count = x.shape[0] if members is None else len(members)
    for part in spans(count, chunk):
        rows: slice | np.ndarray = part if members is None else members[part]
        sums.add(
            chunk_sums(
                kind,
                params,
                plan,
                x[rows],
                None if data is None else data.iloc[rows],
                None if weights is None else weights[rows],
            )
        )
    return sums


def group_members(groups: np.ndarray, count: int) -> list[np.ndarray]:
    """Returns the rows of each group number, in row order."""
    order = np.argsort(groups, kind="stable")
    ends = np.cumsum(np.bincount(groups, minlength=count))
    return [order[(ends[g - 1] if g else 0) : ends[g]] for g in range(count)]


def used_data(model: FittedModel, plan: Plan) -> pd.DataFrame | None:
    """Returns one copy of the data columns the plan reads, on the model's rows."""
    if not plan.needs_data():
        return None
    assert model.frame is not None
    assert model.positions is not None
    assert model.exog is not None
    columns = [c for c in model.frame.columns if str(c) in plan.data_columns]
    data = model.frame[columns].iloc[model.positions].reset_index(drop=True)
    plan.check_remade(data, model.exog)
    return data


def effect_sums(
    model: FittedModel,
    plan: Plan,
    weights: np.ndarray | None,
    groups: np.ndarray | None,
    group_count: int,
    chunk_size: int | None,
) -> list[Sums]:
    """Returns the sums of every group (one group without ``groups``) of a model whose
    design matrix is in memory."""
    assert model.exog is not None
    chunk = chunk_size or DEFAULT_CHUNK
    data = used_data(model, plan)
    members: list[np.ndarray | None] = (
        [None] if groups is None else list(group_members(groups, group_count))
    )
    return [
        rows_sums(model.kind, model.params, plan, model.exog, data, weights, rows, chunk)
        for rows in members
    ]


def part_effects(
    part: Part, kind: str, params: np.ndarray, plan: Plan, chunk: int
) -> dict[Any, Sums]:
    """Returns a partition's sums by group label (the label None without groups)."""
    if part.by is None:
        return {None: rows_sums(kind, params, plan, part.x, part.data, part.weights, None, chunk)}
    codes, labels = pd.factorize(part.by)
    members = group_members(np.asarray(codes, dtype=np.intp), len(labels))
    return {
        label: rows_sums(kind, params, plan, part.x, part.data, part.weights, rows, chunk)
        for label, rows in zip(labels, members, strict=True)
    }


def partition_effects(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str] | None,
    kind: str,
    params: np.ndarray,
    plan: Plan,
    chunk: int,
) -> dict[Any, Sums]:
    """Returns a partition's sums by group label (a task that pickles for Dask)."""
    part = build_indexed(frame, index, layout, names, reuse=True)
    return part_effects(part, kind, params, plan, chunk)


def partitioned_sums(
    model: FittedModel,
    plan: Plan,
    weights: str | None,
    by: str | None,
    chunk_size: int | None,
    progress: Progress | None = None,
) -> tuple[list[Any], list[Sums]]:
    """Returns the group labels and sums of a model whose rows are in partitions."""
    fitted = model.partitioned
    assert fitted is not None
    assert model.design is not None
    source = fitted.source
    for name, argument in ((weights, "weights"), (by, "by")):
        if name is not None and name not in source.columns:
            shown = ", ".join(source.columns[:12])
            raise ValueError(f"{argument}: no column {name!r} in the data; columns are: {shown}")
    formula = [c for c in fitted.columns if c in source.columns]
    needed = list(dict.fromkeys([*formula, *plan.data_columns, *(c for c in (weights, by) if c)]))
    source = source.select(needed)
    layout = Layout(
        model.design,
        tuple(source.columns),
        outcome=False,
        weights=weights,
        by=by,
        data=tuple(c for c in source.columns if c in plan.data_columns),
    )
    runner = runner_for(source, progress)
    task = partial(
        partition_effects,
        layout=layout,
        names=source.names,
        kind=model.kind,
        params=model.params,
        plan=plan,
        chunk=chunk_size or DEFAULT_CHUNK,
    )
    merged: dict[Any, Sums] = {}
    for part in runner.run(task):
        for label, sums in part.items():
            if label in merged:
                merged[label].add(sums)
            else:
                merged[label] = sums
    try:
        labels = sorted(merged)
    except TypeError:  # labels of mixed types that do not sort
        labels = list(merged)
    for label in labels:
        if not merged[label].weight > 0:
            where = "" if by is None else f" within {by} = {label}"
            raise ValueError(f"weights: all weights are zero{where}")
    return labels, [merged[label] for label in labels]
