"""Exact order statistics of a variable whose values stay in their partitions.

The k-th smallest of n values is found by narrowing an interval that holds it: each pass
counts, in every partition at once, the values in equal bins of the interval (1024 bins),
and the bin where the count reaches k becomes the next interval; once an interval holds
few enough values (or values that are all equal), one more pass gathers them and they are
sorted. With the smallest and the largest value known, continuous data take two passes
(one count, one gather); every pass serves all the order statistics sought at once.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from functools import partial

import numpy as np
import pandas as pd

from velmora_margins.partitioned.parts import Layout, build_indexed
from velmora_margins.partitioned.runner import Runner

BINS = 1024
# Values gathered at most for the last pass, over every partition.
GATHER = 1 << 18


@dataclass(frozen=True)
class Interval:
    """Values in [low, high) (or [low, high] if closed) of which the first has rank below."""

    low: float
    high: float
    closed: bool
    below: int  # how many values lie before low

    def holds(self, values: np.ndarray) -> np.ndarray:
        upper = values <= self.high if self.closed else values < self.high
        return (values >= self.low) & upper


def values_of(part_values: np.ndarray, interval: Interval) -> np.ndarray:
    return np.asarray(part_values[interval.holds(part_values)])


@dataclass(frozen=True)
class Counts:
    """A partition's values in an interval: how many lie in each bin, the smallest and the
    largest."""

    bins: np.ndarray
    low: float
    high: float

    def __add__(self, other: Counts) -> Counts:
        return Counts(self.bins + other.bins, min(self.low, other.low), max(self.high, other.high))


def partition_counts(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    name: str,
    intervals: Sequence[Interval],
) -> list[Counts]:
    """Returns each interval's counts of a partition's values."""
    values = partition_column(frame, index, layout, names, name)
    out = []
    for interval in intervals:
        inside = values_of(values, interval)
        bins = np.histogram(inside, bins=BINS, range=(interval.low, interval.high))[0]
        low, high = (inside.min(), inside.max()) if len(inside) else (np.inf, -np.inf)
        out.append(Counts(bins, float(low), float(high)))
    return out


def partition_values(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    name: str,
    intervals: Sequence[Interval],
) -> list[np.ndarray]:
    """Returns each interval's values of a partition."""
    values = partition_column(frame, index, layout, names, name)
    return [values_of(values, i) for i in intervals]


def partition_column(
    frame: pd.DataFrame, index: int, layout: Layout, names: list[str], name: str
) -> np.ndarray:
    """Returns a variable's values on a partition's rows that the model uses."""
    part = build_indexed(frame, index, layout, names, reuse=True)
    assert part.data is not None
    return np.asarray(part.data[name], dtype=np.float64)


def narrowed(interval: Interval, counts: np.ndarray, rank: int) -> tuple[Interval, int]:
    """Returns the bin of the interval that holds the value of the given rank, and how
    many values the bin holds."""
    edges = np.histogram_bin_edges([], bins=BINS, range=(interval.low, interval.high))
    before = np.concatenate(([0], np.cumsum(counts)))
    b = int(np.searchsorted(before, rank - interval.below, side="right")) - 1
    last = b == BINS - 1
    bin_interval = Interval(
        float(edges[b]),
        float(edges[b + 1]),
        interval.closed if last else False,
        interval.below + int(before[b]),
    )
    return bin_interval, int(counts[b])


def order_statistics(
    runner: Runner,
    layout: Layout,
    name: str,
    ranks: Sequence[int],
    low: float,
    high: float,
    count: int,
) -> dict[int, float]:
    """Returns the values of the given ranks (0 for the smallest) of a variable's count
    values, whose smallest and largest are low and high."""
    names = runner.names()
    whole = Interval(low, high, True, 0)
    wanted = dict.fromkeys(ranks, whole)
    held = {whole: count}
    found: dict[int, float] = {rank: low for rank in ranks if low == high}
    while True:
        open_ranks = [r for r in ranks if r not in found and held[wanted[r]] > GATHER]
        if not open_ranks:
            break
        intervals = list(dict.fromkeys(wanted[r] for r in open_ranks))
        task: Callable[..., list[Counts]] = partial(
            partition_counts, layout=layout, names=names, name=name, intervals=intervals
        )
        parts = runner.run(task)
        totals = [
            functools.reduce(operator.add, (p[i] for p in parts)) for i in range(len(intervals))
        ]
        for rank in open_ranks:
            counts = totals[intervals.index(wanted[rank])]
            if counts.low == counts.high:  # every value of the interval is the same
                found[rank] = counts.low
                continue
            interval, inside = narrowed(wanted[rank], counts.bins, rank)
            wanted[rank] = interval
            held[interval] = inside
    gather = [r for r in ranks if r not in found]
    if gather:
        intervals = list(dict.fromkeys(wanted[r] for r in gather))
        task_values = partial(
            partition_values, layout=layout, names=names, name=name, intervals=intervals
        )
        pieces = runner.run(task_values)
        for rank in gather:
            interval = wanted[rank]
            at = intervals.index(interval)
            values = np.sort(np.concatenate([piece[at] for piece in pieces]))
            found[rank] = float(values[rank - interval.below])
    return found
