"""The passes of a fit over the partitions, from kept design matrices where they fit.

Each pass runs one task on every partition's arrays and adds up what the tasks return: the
sums of the model's kind at some coefficients, or its scores by cluster. The first pass of
sums also notes which design columns hold only 0 and 1, for the effects.
"""

from __future__ import annotations

import functools
import operator
import os
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.formula.design import Design, binary_columns
from velmora_margins.partitioned.kinds import Kind, sums_of
from velmora_margins.partitioned.parts import Layout, Part, build_indexed
from velmora_margins.partitioned.runner import Runner

# A sample of fewer partitions than this is run in this many pieces of rows at least.
SAMPLE_PIECES = 4

# Partitions' design matrices are kept in memory between iterations when they hold at
# most this many bytes in all; larger data is read again for every iteration.
CACHE_BYTES = 2 << 30


@dataclass(frozen=True)
class FirstSums:
    """A partition's sums of the first pass, with its 0/1 columns."""

    sums: Any
    binary: np.ndarray


def first_sums(part: Part, kind: Kind, beta: np.ndarray, options: dict[str, Any]) -> FirstSums:
    """Returns a partition's sums at beta and which of its columns hold only 0 and 1."""
    return FirstSums(sums_of(part, kind, beta, False, **options), binary_columns(part.x))


def binary_columns_of(part: Part) -> np.ndarray:
    return binary_columns(part.x)


@dataclass(frozen=True)
class ClusterScores:
    """A partition's clusters and the sum of the scores of each one's rows."""

    labels: np.ndarray
    scores: np.ndarray  # clusters x parameters


def part_cluster_scores(part: Part, kind: Kind, beta: np.ndarray) -> ClusterScores:
    """Returns a partition's clusters and the sum of the scores of each one's rows."""
    assert part.cluster is not None
    codes, labels = pd.factorize(part.cluster)
    scores = kind.cluster_scores(part, beta, codes.astype(np.int64), len(labels))
    return ClusterScores(np.asarray(labels), scores)


def built_part(frame: pd.DataFrame, index: int, layout: Layout, names: list[str]) -> Part:
    return build_indexed(frame, index, layout, names)


def on_built(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    task: Callable[[Part], Any],
) -> Any:
    """Builds a partition's arrays and runs a task on them."""
    return task(build_indexed(frame, index, layout, names, reuse=True))


def on_kept(part: Part, index: int, task: Callable[[Part], Any]) -> Any:
    return task(part)


@dataclass(frozen=True)
class KeptRows:
    """The fit's design matrices, kept where they were made, for the effects to take
    again instead of reading the data once more. They hold the fit's rows, the fit's
    weights column and each row's offset, and no other data column."""

    runner: Runner
    handles: list[Any]
    weights: str | None

    def map(self, task: Callable[[Part], Any]) -> list[Any]:
        """Returns the task's value on every kept partition, in partition order."""
        return self.runner.run_kept(self.handles, partial(on_kept, task=task))


class Passes:
    """The passes of a fit over the partitions.

    The tasks handed to the runner are module functions with their arguments bound, so
    that they pickle for Dask's worker processes."""

    def __init__(self, runner: Runner, layout: Layout, kind: Kind, keep: bool) -> None:
        self.runner = runner
        self.layout = layout
        self.kind = kind
        self.names = runner.names()
        self.flags: np.ndarray | None = None  # the 0/1 columns, once a pass has found them
        self.kept: list[Any] | None = None
        if keep:
            self.kept = runner.keep(partial(built_part, layout=layout, names=self.names))

    def first(self, count: int, keep: bool) -> Passes:
        """Returns the passes over the first count partitions alone: from their kept
        design matrices where these are kept, else (given keep) from their own, kept."""
        sample = Passes(
            self.runner.first(count), self.layout, self.kind, keep and self.kept is None
        )
        if self.kept is not None:
            sample.kept = self.kept[:count]
        if sample.kept is not None and count < SAMPLE_PIECES:
            # Fewer partitions than threads would leave threads idle for every pass over
            # the sample: its rows are cut into pieces, a fixed number whatever the
            # machine, so that the sums (and the start) do not depend on its threads.
            sample.kept = self.runner.split_kept(sample.kept, -(-SAMPLE_PIECES // count))
        return sample

    def map(self, task: Callable[[Part], Any]) -> list[Any]:
        """Returns the task's value on every partition's arrays, in partition order."""
        if self.kept is not None:
            return self.runner.run_kept(self.kept, partial(on_kept, task=task))
        return self.runner.run(partial(on_built, layout=self.layout, names=self.names, task=task))

    def total(self, task: Callable[[Part], Any]) -> Any:
        """Returns the sum of the task's values over the partitions."""
        return functools.reduce(operator.add, self.map(task))

    def totals(self, beta: np.ndarray, meat: bool = False, **options: Any) -> Any:
        """Returns the sums of a pass at beta; the first pass notes the 0/1 columns too."""
        if self.flags is None and not meat:
            first: list[FirstSums] = self.map(
                partial(first_sums, kind=self.kind, beta=beta, options=options)
            )
            self.flags = np.vstack([p.binary for p in first]).all(axis=0)
            return functools.reduce(operator.add, [p.sums for p in first])
        return self.total(partial(sums_of, kind=self.kind, beta=beta, meat=meat, **options))

    def cluster_meat(self, beta: np.ndarray) -> tuple[np.ndarray, int]:
        """Returns the sum over clusters of each cluster's score outer product, and the
        number of clusters."""
        pieces: list[ClusterScores] = self.map(
            partial(part_cluster_scores, kind=self.kind, beta=beta)
        )
        labels = np.concatenate([p.labels for p in pieces])
        scores = np.concatenate([p.scores for p in pieces])
        codes, unique = pd.factorize(labels)
        summed = np.zeros((len(unique), scores.shape[1]))
        np.add.at(summed, codes, scores)
        return summed.T @ summed, len(unique)

    def kept_rows(self) -> KeptRows | None:
        """Returns the kept design matrices for the effects, or None where there are none,
        or where they live on a cluster's workers, whose client may be gone by then."""
        if self.kept is None or getattr(self.runner, "client", None) is not None:
            return None
        return KeptRows(self.runner, self.kept, self.layout.weights)

    def binary(self) -> np.ndarray:
        """Returns whether each design column holds only 0 and 1 in every partition."""
        if self.flags is None:
            self.flags = np.vstack(self.map(binary_columns_of)).all(axis=0)
        return np.asarray(self.flags)


def design_bytes(rows: int | None, design: Design) -> int:
    """Returns about how many bytes the partitions' design matrices take, with the
    outcome and two more columns (weights, an offset), or a huge number when the rows are
    not known without reading them."""
    if rows is None:
        return 1 << 62
    return rows * (design.row_bytes + 3 * 8)


def cache_limit() -> int:
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return CACHE_BYTES
    return min(CACHE_BYTES, memory // 4)
