"""The pass over the rows: the kernel's sums, chunk by chunk and group by group.

The rows come as ``Rows``: a design matrix, the data columns that the plan evaluates row by
row, the weights and the group labels. A model held in memory gives all its rows as one,
a partitioned fit each partition's; the sums of a group add up over its chunks and over
the partitions, and the groups come out in sorted order either way.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Iterator
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Chunk, Plan
from velmora_margins.effects.model import GroupSums
from velmora_margins.links import Link


def aligned(array: np.ndarray) -> np.ndarray:
    """Returns the array, or a copy where its data is not aligned in memory (an array
    that came over the network may not be), for the kernels."""
    return array if array.flags.aligned else np.array(array)


@dataclass(frozen=True)
class Rows:
    """Rows of a model: the design matrix and what the effects read beside it."""

    x: np.ndarray  # rows x k
    data: pd.DataFrame | None  # the data columns the plan evaluates, on the same rows
    weights: np.ndarray | None
    labels: np.ndarray | None  # each row's group, or None without groups


def chunk_sums(
    link: Link,
    params: np.ndarray,
    plan: Plan,
    x: np.ndarray,
    data: pd.DataFrame | None,
    weights: np.ndarray | None,
) -> _kernels.ContrastSums:
    """Returns the kernel's sums over one chunk of rows."""
    chunk = Chunk(data if data is not None else pd.DataFrame(index=range(len(x))))
    derivatives = [(d.columns, aligned(d.slopes.make(chunk))) for d in plan.derivatives]
    level_contrasts = [
        (
            c.columns,
            aligned(c.base.make(chunk)),
            [aligned(level.make(chunk)) for level in c.levels],
            c.two_valued,
        )
        for c in plan.level_contrasts
    ]
    return _kernels.contrast_sums(
        link.name,
        aligned(params),
        aligned(x),
        None if weights is None else aligned(weights),
        derivatives,
        level_contrasts,
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
        sums = chunk_sums(
            link,
            params,
            plan,
            rows.x[picked],
            None if rows.data is None else rows.data.iloc[picked],
            None if rows.weights is None else rows.weights[picked],
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
    try:
        labels = sorted(totals)  # type: ignore[type-var]
    except TypeError:  # labels of mixed types that do not sort
        labels = list(totals)
    return [(label, totals[label]) for label in labels]
