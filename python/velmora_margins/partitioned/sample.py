"""The start of an iterative fit: the same model, fitted on a sample of the partitions.

Every iteration of a fit over all the data is a pass that reads all of it. Started from the
fit on its first few partitions, whose error is a few times the full fit's standard errors,
Newton's method needs two or three such passes where from its usual start it needs six or
more. The sample is the first partitions, in order, until they hold SAMPLE_ROWS rows, and
no more than a quarter of them; where the partitions' rows are not known without reading
them, a tenth of the partitions. Its design matrices are those kept for the fit, or kept
for the sample alone where they fit in memory.

A sample with too few rows for its parameters is not fitted, and a sample whose fit fails
(an outcome separated within it, a category it lacks, coefficients that give rows beyond it
a mean outside the model's) or runs out of passes (a coefficient that grows without end
within it, say) is set aside: the fit on all the data then starts as it would without one,
and meets any fault of the data itself as it would have.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable
from typing import Any

import numpy as np

from velmora_margins.errors import MarginsError
from velmora_margins.partitioned.memory import give_back
from velmora_margins.partitioned.parts import Part
from velmora_margins.partitioned.passes import Passes, cache_limit, design_bytes

# The rows a sample gathers before it stops taking partitions.
SAMPLE_ROWS = 1_000_000
# A sample takes at most this share of the partitions (a quarter); where the partitions'
# rows are not known, this one (a tenth, at least one partition).
MOST_SHARE = 4
UNKNOWN_SHARE = 10
# A sample with fewer rows per parameter than this is not fitted.
ROWS_PER_PARAMETER = 50
# A sample's fit gives up after this many passes over it: one that needs more would cost
# more than it saves (a fit from the usual start takes 6 to 20).
MOST_PASSES = 30


class OutOfPasses(Exception):
    """A sample's fit has made all the passes it may."""


class Budgeted(Passes):
    """A sample's passes, which fail once MOST_PASSES have run, those of its copies (of
    another kind's sums) included."""

    def __init__(self, sample: Passes) -> None:
        vars(self).update(vars(sample))
        self.left = [MOST_PASSES]  # shared with the copies

    def map(self, task: Callable[[Part], Any]) -> list[Any]:
        if self.left[0] <= 0:
            raise OutOfPasses
        self.left[0] -= 1
        return super().map(task)


def sample_size(passes: Passes, parameters: int) -> tuple[int, int | None] | None:
    """Returns how many of the first partitions make the sample and their rows (None where
    not known), or None where there is no sample to take."""
    partitions = passes.runner.partitions
    most = partitions // MOST_SHARE
    if most < 1:
        return None
    rows = passes.runner.source.partition_rows()
    if rows is None:
        return max(1, partitions // UNKNOWN_SHARE), None
    gathered = list(itertools.accumulate(rows[:most]))
    count = next((i + 1 for i, r in enumerate(gathered) if r >= SAMPLE_ROWS), most)
    if gathered[count - 1] < ROWS_PER_PARAMETER * parameters:
        return None
    return count, gathered[count - 1]


def sample_start(
    passes: Passes, parameters: int, fit: Callable[[Passes], np.ndarray]
) -> np.ndarray | None:
    """Returns the parameters that the fit finds on a sample of the partitions, or None
    where there is no sample or the fit on it fails."""
    size = sample_size(passes, parameters)
    if size is None:
        return None
    count, rows = size
    keep = rows is not None and design_bytes(rows, passes.layout.design) <= cache_limit()
    try:
        params = fit(Budgeted(passes.first(count, keep)))
    except (MarginsError, ArithmeticError, np.linalg.LinAlgError, OutOfPasses):
        return None
    finally:
        give_back()
    return params if np.isfinite(params).all() else None
