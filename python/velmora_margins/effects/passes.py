"""The pass over the rows: the kernel's sums, chunk by chunk and group by group.

The rows come as ``Rows``: a design matrix, the data columns that the plan evaluates row by
row, the weights, the group labels and each row's offset (which stays the row's own in every
counterfactual). A model held in memory gives all its rows as one,
a partitioned fit each partition's; the sums of a group add up over its chunks and over
the partitions, and the groups come out in sorted order either way.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Iterator
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Chunk, DerivativeContrast, Plan, Side
from velmora_margins.effects.model import GroupSums
from velmora_margins.formula.design_columns import DesignColumns, aligned, design_argument
from velmora_margins.links import Link


@dataclass(frozen=True)
class Rows:
    """Rows of a model: the design matrix and what the effects read beside it."""

    x: np.ndarray | DesignColumns  # rows x k
    data: pd.DataFrame | None  # the data columns the plan evaluates, on the same rows
    weights: np.ndarray | None
    labels: np.ndarray | None  # each row's group, or None without groups
    offset: np.ndarray | None = None  # each row's whole offset, or None without


def chunk_sums(
    link: Link,
    params: np.ndarray,
    plan: Plan,
    x: np.ndarray | DesignColumns,
    chunk: Chunk,
    weights: np.ndarray | None,
    offset: np.ndarray | None = None,
) -> _kernels.ContrastSums:
    """Returns the kernel's sums over one chunk of rows, each row's linear predictor
    shifted by its offset."""
    derivatives = [derivative_input(d, chunk) for d in plan.derivatives]
    level_contrasts = [
        (
            c.columns,
            aligned(c.base.make(chunk)),
            [aligned(level.make(chunk)) for level in c.levels],
            c.two_valued,
        )
        for c in plan.level_contrasts
    ]
    predictions = [(p.side.columns, aligned(p.side.values.make(chunk))) for p in plan.predictions]
    return _kernels.contrast_sums(
        link.name,
        aligned(params),
        design_argument(x),
        None if weights is None else aligned(weights),
        derivatives,
        level_contrasts,
        predictions,
        None if offset is None else aligned(offset),
    )


def derivative_input(d: DerivativeContrast, chunk: Chunk) -> _kernels.Derivative:
    """Returns a derivative contrast as the kernel takes it: its columns and slopes, and
    where it has them, its side, multiplier and division by the prediction."""
    slopes = aligned(d.slopes.make(chunk))
    if not d.extended():
        return (d.columns, slopes)
    side = d.side if d.side is not None else Side()
    multiplier = None
    if d.multiplier is not None:
        made = d.multiplier.make(chunk).reshape(-1)
        multiplier = np.full(chunk.rows, made[0]) if len(made) == 1 else aligned(made)
    return (
        d.columns,
        slopes,
        side.columns,
        aligned(side.values.make(chunk)),
        multiplier,
        d.per_prediction,
    )


def spans(rows: int, chunk: int) -> Iterator[slice]:
    """Yields the chunks of rows in order; no rows are one empty chunk."""
    for start in range(0, max(rows, 1), chunk):
        yield slice(start, min(start + chunk, rows))


def rows_sums(
    link: Link,
    params: np.ndarray,
    plan: Plan,
    rows: Rows,
    members: np.ndarray | None,
    chunk: int,
) -> _kernels.ContrastSums:
    """Returns the sums over the given rows (all rows without members), a chunk at a
    time; picked rows are gathered a chunk at a time, so that the copies stay small."""
    total: _kernels.ContrastSums | None = None
    count = rows.x.shape[0] if members is None else len(members)
    for part in spans(count, chunk):
        picked: slice | np.ndarray = part if members is None else members[part]
        x = rows.x[picked]
        data = rows.data.iloc[picked] if rows.data is not None else None
        sums = chunk_sums(
            link,
            params,
            plan,
            x,
            Chunk(data if data is not None else pd.DataFrame(index=range(len(x)))),
            None if rows.weights is None else rows.weights[picked],
            None if rows.offset is None else rows.offset[picked],
        )
        total = sums if total is None else total + sums
    assert total is not None
    return total


def group_members(codes: np.ndarray, count: int) -> list[np.ndarray]:
    """Returns the rows of each group number, in row order."""
    order = np.argsort(codes, kind="stable")
    ends = np.cumsum(np.bincount(codes, minlength=count))
    return [order[(ends[g - 1] if g else 0) : ends[g]] for g in range(count)]


def group_sums(
    rows: Rows, link: Link, params: np.ndarray, plan: Plan, chunk: int
) -> dict[Hashable, _kernels.ContrastSums]:
    """Returns the sums of each group of the rows by its label (the label None without
    groups)."""
    if rows.labels is None:
        return {None: rows_sums(link, params, plan, rows, None, chunk)}
    codes, labels = pd.factorize(rows.labels)
    members = group_members(np.asarray(codes, dtype=np.intp), len(labels))
    return {
        label: rows_sums(link, params, plan, rows, picked, chunk)
        for label, picked in zip(labels, members, strict=True)
    }


def merged(parts: Iterable[dict[Hashable, _kernels.ContrastSums]]) -> GroupSums:
    """Returns the sums of each group over parts of the rows, groups in sorted order (in
    order of appearance where labels do not sort)."""
    totals: dict[Hashable, _kernels.ContrastSums] = {}
    for part in parts:
        for label, sums in part.items():
            totals[label] = totals[label] + sums if label in totals else sums
    return [(label, totals[label]) for label in ordered(list(totals))]


def ordered(labels: list[Hashable]) -> list[Hashable]:
    """Returns group labels in sorted order, or in their order where they do not sort."""
    try:
        return sorted(labels)  # type: ignore[type-var]
    except TypeError:  # labels of mixed types that do not sort
        return labels
