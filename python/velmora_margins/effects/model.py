"""The one interface that the effects ask of a fitted model.

Two kinds of fit implement it: a statsmodels result, whose design matrix and data are in
memory (``statsmodels_result``), and a fit of velmora_margins whose rows stay in their
partitions (``velmora_margins.partitioned.result``). ``margins`` checks its arguments and
makes its plan once, through this interface, and leaves the pass over the rows to the model.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Protocol, runtime_checkable

import numpy as np

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Plan
from velmora_margins.formula.design import Design
from velmora_margins.links import Link


@dataclass(frozen=True)
class RowOptions:
    """How a call takes the rows: their weights, their groups, and rows per kernel call."""

    weights: str | np.ndarray | None  # a column of the data, or one value per model row
    by: str | None  # a column of group labels
    chunk: int


# Each group's label (None without groups) and sums, in the order of the table.
GroupSums = list[tuple[Hashable, _kernels.ContrastSums]]


@runtime_checkable
class Model(Protocol):
    """A fitted model as the effects see it: a link, coefficients and their covariance,
    the design's columns, and the sums of a plan over its rows."""

    @property
    def link(self) -> Link: ...

    @property
    def params(self) -> np.ndarray:
        """The k coefficients."""

    @property
    def cov(self) -> np.ndarray:
        """Their k x k covariance."""

    @property
    def names(self) -> tuple[str, ...]:
        """The names of the k design columns."""

    @property
    def design(self) -> Design | None:
        """How the formula makes each column, or None for a model fitted without one."""

    @property
    def binary(self) -> np.ndarray:
        """Whether each design column holds only 0 and 1."""

    def data_columns(self) -> Sequence[str] | None:
        """Returns the columns of the data that arguments may name, or None without data."""

    def weights_per_row(self, values: np.ndarray) -> np.ndarray:
        """Returns weights given as values, one per row of the model, or fails saying which
        values the model takes."""

    def effect_sums(self, plan: Plan, options: RowOptions) -> GroupSums:
        """Returns the kernel's sums of the plan's contrasts for each group of rows, groups
        in sorted order (in order of appearance where labels do not sort)."""
