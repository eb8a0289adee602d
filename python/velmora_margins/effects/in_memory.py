"""A fitted model whose design matrix and data are in memory, as a statsmodels result has.

All its rows are one part for the pass: the design matrix and each row's offset read in
place, the data columns that the plan evaluates copied once for the model's rows (and
checked to make the design's columns again), and the weights and groups read from the data
(or weights given as values, or the fit's own).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import validation
from velmora_margins.effects.contrasts import Chunk, Plan
from velmora_margins.effects.model import GroupSums, RowOptions
from velmora_margins.effects.passes import Rows, group_sums, merged
from velmora_margins.effects.statistics import (
    Statistics,
    StatisticsRequest,
    finished,
    partial_of,
    quartiles,
)
from velmora_margins.errors import ArgumentError, DesignError
from velmora_margins.formula.design import Design
from velmora_margins.links import Link


@dataclass(frozen=True)
class InMemoryModel:
    """A fit with its design matrix in memory, and from a formula, its data frame."""

    link: Link
    params: np.ndarray  # k
    cov: np.ndarray  # k x k
    names: tuple[str, ...]  # k column names
    binary: np.ndarray  # k: whether each column holds only 0 and 1
    exog: np.ndarray  # n x k, read in place
    design: Design | None = None  # None for a model fitted without a formula
    frame: pd.DataFrame | None = None  # the data the formula was evaluated on
    positions: np.ndarray | None = None  # the frame's row of each row of exog
    offset: np.ndarray | None = None  # n: each row's whole offset, or None without
    fit_weights: np.ndarray | None = None  # n: the fit's weights, or None without

    @property
    def default_weights(self) -> np.ndarray | None:
        return self.fit_weights

    @property
    def rows(self) -> int:
        return int(self.exog.shape[0])

    def data_columns(self) -> Sequence[str] | None:
        if self.frame is None or self.positions is None:
            return None
        return [str(c) for c in self.frame.columns]

    def weights_per_row(self, values: np.ndarray) -> np.ndarray:
        """Takes one value per row of the model, or one per row of the data frame."""
        if len(values) == self.rows:
            return values
        frame_rows = None if self.frame is None else len(self.frame)
        if len(values) == frame_rows and self.positions is not None:
            return np.asarray(values[self.positions])
        also = f" (or {frame_rows}, the rows of the data)" if frame_rows else ""
        raise ArgumentError(
            "weights", f"{len(values)} values for {self.rows} rows of the model{also}"
        )

    def column(self, name: str) -> pd.Series:
        """Returns a column of the data on the model's rows."""
        assert self.frame is not None
        assert self.positions is not None
        return self.frame[name].iloc[self.positions]

    def data_for(self, plan: Plan) -> pd.DataFrame | None:
        """Returns one copy of the data columns the plan reads, on the model's rows."""
        if not plan.needs_data():
            return None
        assert self.frame is not None
        assert self.positions is not None
        columns = [c for c in self.frame.columns if str(c) in plan.data_columns]
        return self.frame[columns].iloc[self.positions].reset_index(drop=True)

    def weights_and_groups(
        self, options: RowOptions
    ) -> tuple[np.ndarray | None, np.ndarray | None]:
        """Returns the rows' weights and group labels, after checking them."""
        weights = None if isinstance(options.weights, str) else options.weights
        if isinstance(options.weights, str):
            weights = validation.weight_values(self.column(options.weights))
            validation.check_weights(weights)
        if options.by is None:
            return weights, None
        labels = self.column(options.by)
        validation.missing_labels(labels, options.by, "by")
        return weights, labels.to_numpy()

    def effect_sums(self, plan: Plan, options: RowOptions, link: Link) -> GroupSums:
        weights, labels = self.weights_and_groups(options)
        data = self.data_for(plan)
        if data is not None:
            check_remade(plan, data, self.exog)
        rows = Rows(self.exog, data, weights, labels, self.offset)
        return merged([group_sums(rows, link, self.params, plan, options.chunk)])

    def statistics(self, request: StatisticsRequest, options: RowOptions) -> Statistics:
        weights, labels = self.weights_and_groups(options)
        assert self.frame is not None
        assert self.positions is not None
        data = self.frame[request.columns()].iloc[self.positions].reset_index(drop=True)
        partial = partial_of(request, data, weights, labels, self.offset)
        spreads = {
            name: quartiles(np.asarray(data[name], dtype=np.float64)) for name in request.spreads
        }
        return finished(partial, spreads)


def check_remade(plan: Plan, data: pd.DataFrame, exog: np.ndarray) -> None:
    """Fails unless the design columns that the plan's makers evaluate come out of the data
    as they are in the design, on the first rows: a term whose value on a row depends on
    other rows (``I(x - x.mean())``), or data changed since the fit, would make the effects
    wrong."""
    rows = min(len(data), 64)
    chunk = Chunk(data.iloc[:rows])
    for column in plan.remade:
        values = {f: chunk.values(f) for f in column.factors}
        made = column.make(values, rows)
        expected = exog[:rows, column.index]
        scale = np.maximum(np.abs(expected), 1.0)
        if not np.all(np.abs(made - expected) <= 1e-12 * scale):
            raise DesignError(
                f"the design column {column.name} does not come out of the data again row "
                "by row: either the data frame changed since the fit, or the term's value "
                "on one row depends on other rows (write centring as center(x), not "
                "I(x - x.mean())); fit the model again or change the term"
            )
