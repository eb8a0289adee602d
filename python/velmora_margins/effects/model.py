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

from velmora_margins import _kernels, validation
from velmora_margins.effects.contrasts import Plan
from velmora_margins.effects.statistics import Statistics, StatisticsRequest
from velmora_margins.formula.design import Design
from velmora_margins.links import Link

# Rows per call of the kernel when the caller sets no chunk size: enough that the calls
# cost little next to the work, few enough that the changed columns of a chunk are small.
DEFAULT_CHUNK = 1 << 16


@dataclass(frozen=True)
class RowOptions:
    """How a call takes the rows: their weights, their groups, and rows per kernel call."""

    weights: str | np.ndarray | None  # a column of the data, or one value per model row
    by: str | None  # a column of group labels
    chunk: int

    @classmethod
    def of(cls, model: Model, by: object, weights: object, chunk_size: object) -> RowOptions:
        """Returns how a call takes the model's rows, after checking the arguments that say
        so: the columns they name must be the data's, and weights given as values must be
        one per row, finite and at least 0. Without weights, the model's own weights (those
        of a weighted fit), if it has any, weight the rows."""
        chunk = validation.chunk_size(chunk_size) or DEFAULT_CHUNK
        group_column = validation.column_name(by, "by")
        if group_column is not None:
            validation.require_column(model.data_columns(), group_column, "by")
        if weights is None:
            default = model.default_weights
            if default is None or isinstance(default, str):
                return cls(default, group_column, chunk)
            values = np.asarray(default, dtype=np.float64)
            validation.check_weights(values)
            return cls(np.ascontiguousarray(values), group_column, chunk)
        if isinstance(weights, str):
            validation.require_column(model.data_columns(), weights, "weights")
            return cls(weights, group_column, chunk)
        values = model.weights_per_row(validation.weight_values(weights))
        validation.check_weights(values)
        return cls(np.ascontiguousarray(values), group_column, chunk)


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
    def default_weights(self) -> str | np.ndarray | None:
        """The weights of the means when a call gives none: those the model was fitted
        with (a column of the data, or one value per row), or None."""

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

    def effect_sums(self, plan: Plan, options: RowOptions, link: Link) -> GroupSums:
        """Returns the kernel's sums of the plan's quantities with the given link for each
        group of rows, groups in sorted order (in order of appearance where labels do not
        sort)."""

    def statistics(self, request: StatisticsRequest, options: RowOptions) -> Statistics:
        """Returns the statistics of the model's rows that a call needs."""
