"""The contrasts of a table of effects, as the kernel takes them.

Every effect is a contrast on the rows of the design matrix X. A contrast names the
columns of X that it changes and gives their changed values, either the same in every row
(one row) or made per chunk of rows from the data:

- a ``DerivativeContrast``: per row, the derivatives of the changed columns by a variable;
- ``LevelContrasts``: per row, the changed columns with a categorical variable set to its
  base level, and to each other level.

A ``Plan`` holds a call's contrasts in the kernel's order (the derivatives first, then the
level contrasts) and remembers the order of the table's rows.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins.formula.design import Column
from velmora_margins.formula.factor import Factor

# The "contrast" of a derivative, in the table.
DERIVATIVE = "dY/dX"


class Chunk:
    """Rows of the data and what has been evaluated on them, once per factor."""

    def __init__(self, data: pd.DataFrame) -> None:
        self.data = data
        self.rows = len(data)
        self._values: dict[Factor, np.ndarray] = {}

    def values(self, factor: Factor) -> np.ndarray:
        """Returns a numerical factor's value or a categorical factor's level indices."""
        if factor not in self._values:
            data = self.data
            self._values[factor] = factor.value(data) if factor.numerical else factor.codes(data)
        return self._values[factor]


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
class DerivativeContrast:
    """The derivatives of the changed columns by one variable."""

    term: str
    columns: tuple[int, ...]
    slopes: ChangedColumns


@dataclass(frozen=True)
class LevelContrasts:
    """The changed columns of a categorical variable at its base level and at each other."""

    term: str
    columns: tuple[int, ...]
    base: ChangedColumns
    levels: tuple[ChangedColumns, ...]
    labels: tuple[str, ...]  # "L - B" for each level
    two_valued: bool = False  # one column holding only the base and the level value


Contrast = DerivativeContrast | LevelContrasts


@dataclass(frozen=True)
class Plan:
    """The contrasts of a table, in the kernel's order: the derivatives, then the level
    contrasts. ``rows`` gives, for each table row in order, its place among the kernel's
    effects."""

    derivatives: tuple[DerivativeContrast, ...]
    level_contrasts: tuple[LevelContrasts, ...]
    terms: tuple[str, ...]
    contrasts: tuple[str, ...]
    rows: tuple[int, ...]
    data_columns: frozenset[str]  # the data columns the makers read
    remade: tuple[Column, ...] = ()  # design columns whose factors the makers evaluate

    def needs_data(self) -> bool:
        return bool(self.data_columns)


def make_plan(
    items: Sequence[Contrast], data_columns: frozenset[str], remade: Sequence[Column] = ()
) -> Plan:
    """Orders the contrasts for the kernel and remembers their order in the table."""
    derivatives = tuple(i for i in items if isinstance(i, DerivativeContrast))
    level_contrasts = tuple(i for i in items if isinstance(i, LevelContrasts))
    place: dict[int, list[int]] = {}
    at = 0
    for derivative in derivatives:
        place[id(derivative)] = [at]
        at += 1
    for levels in level_contrasts:
        place[id(levels)] = list(range(at, at + len(levels.levels)))
        at += len(levels.levels)
    terms: list[str] = []
    contrasts: list[str] = []
    rows: list[int] = []
    for item in items:
        labels = (DERIVATIVE,) if isinstance(item, DerivativeContrast) else item.labels
        for label, index in zip(labels, place[id(item)], strict=True):
            terms.append(item.term)
            contrasts.append(label)
            rows.append(index)
    return Plan(
        derivatives,
        level_contrasts,
        tuple(terms),
        tuple(contrasts),
        tuple(rows),
        data_columns,
        tuple({c.index: c for c in remade}.values()),
    )
