"""One partition's rows as arrays: the design matrix, the outcome, weights and groups.

Every partition is made from the same fixed description of the design, learnt once
over all the data, so all partitions agree column for column. Rows with a missing value
in the formula's variables are left out, as in a fit on the whole data.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import validation
from velmora_margins.errors import DesignError, PartitionError
from velmora_margins.formula.design import Design
from velmora_margins.formula.design_columns import DesignColumns
from velmora_margins.partitioned.memory import partition_done
from velmora_margins.partitioned.models import check_outcome_values


@dataclass(frozen=True)
class Layout:
    """What a partition's arrays hold: the design and the columns the options name."""

    design: Design
    columns: tuple[str, ...]  # every column a partition must have
    outcome: bool = True  # make y, and check it is 0/1
    weights: str | None = None
    cluster: str | None = None
    by: str | None = None
    data: tuple[str, ...] = ()  # columns kept for the effects' changed columns
    bool_outcome: str | None = None  # a True/False outcome column, read as 1/0
    outcome_kind: str = "binary"  # what the outcome must hold (see models.OUTCOME_RULES)
    title: str = ""  # the model's name in messages about its outcome
    offset: str | None = None  # a column added to every linear predictor
    exposure: str | None = None  # a column whose logarithm is added to it

    @property
    def level_columns(self) -> tuple[str, ...]:
        """The columns that the partitions read for the levels of categorical factors
        alone: their values matter only as levels, so they may come as categoricals."""
        design = self.design
        levels = set().union(*(f.variables for f in design.factors if not f.numerical))
        other = set().union(*(f.variables for f in design.factors if f.numerical))
        if design.outcome is not None:
            other |= design.outcome.variables
        named = (self.weights, self.cluster, self.by, self.offset, self.exposure, *self.data)
        other |= {c for c in named if c is not None}
        return tuple(c for c in self.columns if c in levels - other)


@dataclass
class Part:
    """A partition's rows that the model uses."""

    x: DesignColumns  # rows x k
    y: np.ndarray | None
    weights: np.ndarray | None
    cluster: np.ndarray | None
    by: np.ndarray | None
    data: pd.DataFrame | None
    read: int  # rows in the partition before the missing ones were left out
    offset: np.ndarray | None = None  # each row's offset + log(exposure)
    name: str = ""  # what the partition is called in messages


def row_piece(part: Part, piece: int, pieces: int) -> Part:
    """Returns piece number piece of a part's rows cut into so many consecutive pieces:
    views of the part's arrays, not copies."""
    rows = len(part.x)
    start, stop = rows * piece // pieces, rows * (piece + 1) // pieces
    span = slice(start, stop)

    def cut(values: np.ndarray | None) -> np.ndarray | None:
        return None if values is None else values[span]

    data = None if part.data is None else part.data.iloc[span].reset_index(drop=True)
    return Part(
        part.x[span],
        cut(part.y),
        cut(part.weights),
        cut(part.cluster),
        cut(part.by),
        data,
        stop - start,
        cut(part.offset),
        part.name,
    )


def partition_name(names: list[str] | None, index: int) -> str:
    """Returns what a partition is called in messages: its file, or "partition 3"."""
    if names is not None and index < len(names):
        return names[index]
    return f"partition {index}"


def build_indexed(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str] | None,
    reuse: bool = False,
) -> Part:
    """Returns the arrays of partition number index (a task that pickles for Dask); with
    ``reuse``, a design matrix in the thread's scratch memory, for a part that is not kept."""
    part = build_part(frame, partition_name(names, index), layout, reuse)
    del frame
    partition_done()
    return part


def check_partition(frame: pd.DataFrame, name: str, columns: Sequence[str]) -> None:
    """Fails, naming the partition, when it lacks a column or holds no rows."""
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise PartitionError(
            f"{name} has no column {missing[0]!r}, which the formula or the options use"
        )
    if len(frame) == 0:
        raise PartitionError(f"{name} holds no rows; leave it out of the data")


def build_part(frame: pd.DataFrame, name: str, layout: Layout, reuse: bool = False) -> Part:
    """Returns the arrays of a partition, or fails naming the partition."""
    check_partition(frame, name, layout.columns)
    frame = frame[list(layout.columns)]
    if layout.bool_outcome is not None and frame[layout.bool_outcome].dtype == bool:
        frame = frame.assign(**{layout.bool_outcome: frame[layout.bool_outcome].astype(np.float64)})
    try:
        x, y, keep = layout.design.matrix(frame, reuse)
    except DesignError as error:
        raise PartitionError(f"{name}: {error}") from None
    except Exception as error:  # the formula's own code failed on these rows
        raise PartitionError(f"{name}: evaluating the formula failed: {error}") from None
    if layout.outcome and y is not None:
        assert layout.design.outcome is not None
        if layout.outcome_kind == "binary":
            validation.check_outcome(y, layout.design.outcome.code, name)
        else:
            check_outcome_values(
                y, layout.outcome_kind, layout.design.outcome.code, name, layout.title
            )
    kept = frame if keep.all() else frame.loc[keep]
    weights = None
    if layout.weights is not None:
        weights = np.array(kept[layout.weights], dtype=np.float64)
        problem = validation.weight_problem(weights)
        if problem is not None:
            raise PartitionError(f"{name}: weights column {layout.weights!r}: {problem}")
    cluster = labels(kept, layout.cluster, "cluster", name)
    by = labels(kept, layout.by, "by", name)
    data = kept[list(layout.data)].reset_index(drop=True).copy() if layout.data else None
    # Copies, not views: a view of one column keeps the partition's whole block of
    # columns in memory as long as the part is kept.
    y = None if y is None else y.copy()
    offset = row_offsets(kept, layout, name)
    return Part(x, y, weights, cluster, by, data, len(frame), offset, name)


def numbers(kept: pd.DataFrame, column: str, argument: str, name: str) -> np.ndarray:
    """Returns a column as float64, or fails naming it when it does not hold numbers."""
    try:
        return np.array(kept[column], dtype=np.float64)
    except (TypeError, ValueError):
        raise PartitionError(
            f"{name}: {argument} column {column!r} does not hold numbers"
        ) from None


def row_offsets(kept: pd.DataFrame, layout: Layout, name: str) -> np.ndarray | None:
    """Returns each kept row's offset plus the logarithm of its exposure, or None when the
    layout names neither; fails on a missing offset, or an exposure missing or not above 0."""
    if layout.offset is None and layout.exposure is None:
        return None
    total = np.zeros(len(kept))
    if layout.offset is not None:
        values = numbers(kept, layout.offset, "offset", name)
        bad = ~np.isfinite(values)
        if bad.any():
            raise PartitionError(
                f"{name}: offset column {layout.offset!r} holds {int(bad.sum())} values that "
                "are missing or infinite; fill them in or leave those rows out"
            )
        total += values
    if layout.exposure is not None:
        values = numbers(kept, layout.exposure, "exposure", name)
        missing = np.isnan(values)
        if missing.any():
            raise PartitionError(
                f"{name}: exposure column {layout.exposure!r} holds {int(missing.sum())} "
                "missing values; fill them in or leave those rows out"
            )
        bad = ~(np.isfinite(values) & (values > 0))
        if bad.any():
            raise PartitionError(
                f"{name}: exposure column {layout.exposure!r} must be finite and above 0; "
                f"{int(bad.sum())} values are not, such as {values[bad][0]:g}"
            )
        total += np.log(values)
    return total


def labels(kept: pd.DataFrame, column: str | None, argument: str, name: str) -> np.ndarray | None:
    """Returns a column of group labels on the kept rows, which must all have one."""
    if column is None:
        return None
    values = kept[column]
    validation.missing_labels(values, column, argument, name)
    return values.to_numpy(copy=True)
