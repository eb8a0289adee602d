"""The quantities of a table, as the kernel takes them, and how the table's rows follow.

Every quantity is a weighted mean over the rows of the design matrix X of a term of each
row, possibly of a counterfactual row: X with some columns replaced. Changed columns are
named with their values, either the same in every row (one row) or made per chunk of rows
from the data:

- a ``Prediction``: F of a (counterfactual) row's linear predictor;
- a ``DerivativeContrast``: per row, the derivatives of the changed columns by a variable,
  the row's slope f(x b) times their sum, possibly at a counterfactual row, times a value
  of the row and over its prediction (elasticities);
- ``LevelContrasts``: per row, the changed columns with a categorical variable set to its
  base level, and to each other level.

A ``Plan`` holds a call's quantities in the kernel's order (derivatives, level contrasts,
predictions) and its table's rows, each the kernel's mean of one quantity or a comparison
of two.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, cast

import numpy as np
import pandas as pd

from velmora_margins.formula.design import Column
from velmora_margins.formula.factor import Factor

# The "contrast" of a derivative, in the table.
DERIVATIVE = "dY/dX"


class Chunk:
    """Rows of the data and what has been evaluated on them, once per factor.

    ``preset`` gives factors' values that are not evaluated from the data: the level shares
    of categorical factors on rows that stand for the means of a data set."""

    def __init__(self, data: pd.DataFrame, preset: dict[Factor, np.ndarray] | None = None) -> None:
        self.data = data
        self.rows = len(data)
        self._values: dict[Factor, np.ndarray] = dict(preset or {})
        self._changed: dict[Scenario, Chunk] = {}

    def values(self, factor: Factor) -> np.ndarray:
        """Returns a numerical factor's value or a categorical factor's level indices (or
        level shares)."""
        if factor not in self._values:
            data = self.data
            self._values[factor] = factor.value(data) if factor.numerical else factor.codes(data)
        return self._values[factor]

    def changed(self, scenario: Scenario) -> Chunk:
        """Returns the same rows with the scenario's variables set to its values (made once
        per chunk and scenario)."""
        if not scenario.values:
            return self
        if scenario not in self._changed:
            data = self.data.assign(**{name: cast(Any, value) for name, value in scenario.values})
            self._changed[scenario] = self.with_data(data, scenario.variables)
        return self._changed[scenario]

    def with_data(self, data: pd.DataFrame, variables: frozenset[str]) -> Chunk:
        """Returns the rows with other data, in which the given variables changed: the
        values of the factors that read none of them are kept."""
        preset = {f: v for f, v in self._values.items() if not f.variables & variables}
        return Chunk(data, preset)


@dataclass(frozen=True)
class Scenario:
    """Values that some variables take in every row, in place of the rows' own."""

    values: tuple[tuple[str, Hashable], ...] = ()

    @property
    def variables(self) -> frozenset[str]:
        return frozenset(name for name, _ in self.values)

    def value(self, name: str) -> Hashable:
        return dict(self.values)[name]


# The rows' own values.
OWN = Scenario()


# Makes the changed columns of a chunk's rows: rows x columns.
Maker = Callable[[Chunk], np.ndarray]


@dataclass(frozen=True)
class ChangedColumns:
    """Changed columns that are either the same in every row or made per chunk."""

    constant: np.ndarray | None = None  # 1 x columns
    maker: Maker | None = None

    def make(self, chunk: Chunk) -> np.ndarray:
        if self.constant is not None:
            return self.constant
        assert self.maker is not None
        return self.maker(chunk)


def one_row(values: Sequence[float]) -> ChangedColumns:
    """Returns changed columns that hold the same values in every row."""
    return ChangedColumns(np.asarray(values, dtype=np.float64).reshape(1, -1))


@dataclass(frozen=True)
class Side:
    """A counterfactual row: which columns of X are replaced, and their values."""

    columns: tuple[int, ...] = ()
    values: ChangedColumns = field(default_factory=lambda: one_row([]))


@dataclass(frozen=True)
class DerivativeContrast:
    """The derivatives of the changed columns by one variable, at a side (the rows' own
    without one); the row's term times ``multiplier`` (a value of the row, made as one
    column) and over its prediction with ``per_prediction``."""

    term: str
    columns: tuple[int, ...]
    slopes: ChangedColumns
    side: Side | None = None
    multiplier: ChangedColumns | None = None
    per_prediction: bool = False

    def extended(self) -> bool:
        return self.side is not None or self.multiplier is not None or self.per_prediction


@dataclass(frozen=True)
class LevelContrasts:
    """The changed columns of a categorical variable at its base level and at each other."""

    term: str
    columns: tuple[int, ...]
    base: ChangedColumns
    levels: tuple[ChangedColumns, ...]
    labels: tuple[str, ...]  # "L - B" for each level
    two_valued: bool = False  # one column holding only the base and the level value


@dataclass(frozen=True)
class Prediction:
    """The prediction at a side: F of the counterfactual row's linear predictor."""

    side: Side


Quantity = DerivativeContrast | LevelContrasts | Prediction

# How a table row's estimate follows from the kernel's means: one of them, or one of these
# comparisons of two (the first the higher side, the second the lower).
COMPARISONS = ("difference", "ratio", "lnratio", "lnor", "lift")


@dataclass(frozen=True)
class Row:
    """One row of the table: its labels and the kernel means its estimate comes from."""

    term: str
    contrast: str
    at: tuple[Hashable, ...]  # the values of the at variables, in their order
    effects: tuple[int, ...]  # one index into the kernel's effects, or (higher, lower)
    comparison: str | None = None  # for two effects: one of COMPARISONS


@dataclass(frozen=True)
class Plan:
    """The quantities of a table, in the kernel's order (derivatives, level contrasts,
    predictions), and the table's rows."""

    derivatives: tuple[DerivativeContrast, ...]
    level_contrasts: tuple[LevelContrasts, ...]
    predictions: tuple[Prediction, ...]
    rows: tuple[Row, ...]
    data_columns: frozenset[str]  # the data columns the makers read
    remade: tuple[Column, ...] = ()  # design columns whose factors the makers evaluate
    at_names: tuple[str, ...] = ()  # the at variables, whose values label the rows

    def needs_data(self) -> bool:
        return bool(self.data_columns)

    @property
    def effect_count(self) -> int:
        return (
            len(self.derivatives)
            + sum(len(c.levels) for c in self.level_contrasts)
            + len(self.predictions)
        )


@dataclass(frozen=True)
class PendingRow:
    term: str
    contrast: str
    at: tuple[Hashable, ...]
    effects: tuple[tuple[int, int], ...]  # (quantity handle, level number)
    comparison: str | None


class PlanBuilder:
    """Collects a call's quantities and rows; the kernel's order is fixed on ``build``."""

    def __init__(self, at_names: Sequence[str] = ()) -> None:
        self.at_names = tuple(at_names)
        self.quantities: list[Quantity] = []
        self.pending: list[PendingRow] = []
        self.data_columns: set[str] = set()
        self.remade: list[Column] = []

    def add(
        self, quantity: Quantity, reads: Iterable[str] = (), remade: Sequence[Column] = ()
    ) -> int:
        """Adds a quantity; returns its handle. reads are the data columns its makers read,
        remade the design columns whose factors they evaluate."""
        self.quantities.append(quantity)
        self.data_columns.update(reads)
        self.remade += remade
        return len(self.quantities) - 1

    def row(
        self,
        term: str,
        contrast: str,
        at: tuple[Hashable, ...],
        effects: Sequence[tuple[int, int]],
        comparison: str | None = None,
    ) -> None:
        """Adds a row from the effects (quantity handle, level number) given."""
        self.pending.append(PendingRow(term, contrast, at, tuple(effects), comparison))

    def build(self) -> Plan:
        kinds = (DerivativeContrast, LevelContrasts, Prediction)
        handles = [
            h for kind in kinds for h, q in enumerate(self.quantities) if isinstance(q, kind)
        ]
        first: dict[int, int] = {}
        at = 0
        for handle in handles:
            first[handle] = at
            quantity = self.quantities[handle]
            at += len(quantity.levels) if isinstance(quantity, LevelContrasts) else 1
        ordered = [self.quantities[h] for h in handles]
        rows = tuple(
            Row(p.term, p.contrast, p.at, tuple(first[h] + k for h, k in p.effects), p.comparison)
            for p in self.pending
        )
        return Plan(
            tuple(q for q in ordered if isinstance(q, DerivativeContrast)),
            tuple(q for q in ordered if isinstance(q, LevelContrasts)),
            tuple(q for q in ordered if isinstance(q, Prediction)),
            rows,
            frozenset(self.data_columns),
            tuple({c.index: c for c in self.remade}.values()),
            self.at_names,
        )
