"""How a variable of the formula enters the design, and its columns made again.

A variable is numerical (its factors are numbers: the variable itself, its powers and
transforms), categorical (its factors are the variable's levels, ``C(variable, ...)``) or,
among the numerical ones, a 0/1 variable that enters as one plain column. Setting some
variables to other values (a scenario, a level, a shift) changes the design columns they
enter: ``made_columns`` makes those columns again, the same in every row where they
depend on the set values alone, and per chunk of rows otherwise.
"""

from __future__ import annotations

import ast
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins.effects.contrasts import (
    OWN,
    ChangedColumns,
    Chunk,
    Scenario,
    Side,
    one_row,
)
from velmora_margins.errors import ArgumentError, DesignError
from velmora_margins.formula.design import Column, Design
from velmora_margins.formula.factor import Factor

# Changes a chunk's data: a variable moved by an amount, say.
Change = Callable[[pd.DataFrame], pd.DataFrame]


@dataclass(frozen=True)
class Variable:
    """A variable of the formula and the way it enters the design."""

    name: str
    kind: str  # "numerical", "categorical" or "binary" (0/1, one plain column)
    factors: tuple[Factor, ...]  # the factors that read it
    columns: tuple[Column, ...]  # the design columns those factors enter
    column: int | None = None  # a 0/1 variable's column

    @property
    def categories(self) -> tuple[object, ...]:
        return self.factors[0].categories if self.kind == "categorical" else ()


def variable_of(design: Design, binary: np.ndarray, name: str, argument: str) -> Variable:
    """Returns how a variable enters the design, or fails naming the argument."""
    factors = tuple(f for f in design.factors if name in f.variables)
    if not factors:
        known = ", ".join(design.rhs_order)
        raise ArgumentError(
            argument, f"'{name}' is not a variable of the formula; its variables are: {known}"
        )
    categorical = [f for f in factors if not f.numerical]
    numerical = [f for f in factors if f.numerical]
    if categorical and numerical:
        raise ArgumentError(
            argument,
            f"'{name}' enters the formula both as a factor ({categorical[0].code}) and "
            f"as a number ({numerical[0].code}), so its effect is neither a change of level "
            f"nor a derivative; leave it out of {argument}=",
        )
    columns = tuple(c for c in design.columns if any(f in factors for f in c.factors))
    if categorical:
        check_levels(name, categorical, argument)
        return Variable(name, "categorical", factors, columns)
    column = binary_column(binary, name, factors, columns)
    if column is not None:
        return Variable(name, "binary", factors, columns, column)
    return Variable(name, "numerical", factors, columns)


def check_levels(name: str, factors: Sequence[Factor], argument: str) -> None:
    """Fails unless every factor of a categorical variable is the variable itself, with the
    same levels."""
    for factor in factors:
        if factor.level_variable != name:
            raise ArgumentError(
                argument,
                f"'{name}' enters {factor.code}, a factor made by transforming it; "
                "velmora_margins sets a factor to its levels only where the factor is the "
                f"variable itself ({name} or C({name}, ...))",
            )
    if any(f.categories != factors[0].categories for f in factors):
        raise DesignError(f"the factors of '{name}' do not have the same levels")


def binary_column(
    binary: np.ndarray, name: str, factors: Sequence[Factor], columns: Sequence[Column]
) -> int | None:
    """Returns the column of a variable that holds only 0 and 1 and enters as one plain
    column, or None."""
    if len(factors) != 1 or not is_plain_name(factors[0].code, name):
        return None
    if len(columns) != 1 or len(columns[0].factors) != 1:
        return None
    return columns[0].index if binary[columns[0].index] else None


def is_plain_name(code: str, variable: str) -> bool:
    tree = ast.parse(code.strip(), mode="eval").body
    return isinstance(tree, ast.Name) and tree.id == variable


def columns_of(design: Design, variables: frozenset[str]) -> tuple[Column, ...]:
    """Returns the design columns that any of the variables enters."""
    return tuple(c for c in design.columns if any(f.variables & variables for f in c.factors))


def made_columns(
    columns: Sequence[Column],
    scenario: Scenario = OWN,
    levels: dict[Factor, int] | None = None,
    change: Change | None = None,
    changed: frozenset[str] = frozenset(),
) -> ChangedColumns:
    """Returns the columns made again with the scenario's variables set, the given
    categorical factors at the given levels, and the data changed by change (which changes
    the variables named in changed): the same in every row where they depend on nothing
    else, made per chunk otherwise."""
    levels = levels or {}
    fixed = scenario.variables
    depends = {
        f for c in columns for f in c.factors if f not in levels and not f.variables <= fixed
    }
    if not depends and change is None:
        values: dict[Factor, np.ndarray] = {f: np.array([level]) for f, level in levels.items()}
        if scenario.values:
            chunk = Chunk(pd.DataFrame({name: [value] for name, value in scenario.values}))
            values.update(
                {f: chunk.values(f) for c in columns for f in c.factors if f not in levels}
            )
        row = [column.make({f: values[f] for f in column.factors}, 1)[0] for column in columns]
        return one_row(row)

    def make(chunk: Chunk) -> np.ndarray:
        chunk = chunk.changed(scenario)
        if change is not None:
            chunk = chunk.with_data(change(chunk.data), changed)
        out = np.empty((chunk.rows, len(columns)))
        held = {f: np.full(chunk.rows, level, dtype=np.intp) for f, level in levels.items()}
        for s, column in enumerate(columns):
            values = {f: held[f] if f in held else chunk.values(f) for f in column.factors}
            out[:, s] = column.make(values, chunk.rows)
        return out

    return ChangedColumns(maker=make)


def reads_of(columns: Sequence[Column], made: ChangedColumns) -> set[str]:
    """Returns the data columns that made columns read per chunk (none for constants)."""
    if made.constant is not None:
        return set()
    return set().union(*(f.variables for c in columns for f in c.factors))


def scenario_side(design: Design, scenario: Scenario) -> Side | None:
    """Returns the counterfactual row of a scenario (None for the rows' own values)."""
    if not scenario.values:
        return None
    columns = columns_of(design, scenario.variables)
    return Side(tuple(c.index for c in columns), made_columns(columns, scenario))


def side_reads(design: Design, side: Side | None) -> tuple[set[str], list[Column]]:
    """Returns the data columns a side's makers read and the columns they make again."""
    if side is None or side.values.constant is not None:
        return set(), []
    columns = [design.columns[j] for j in side.columns]
    return reads_of(columns, side.values), columns


def base_level(design: Design, factors: list[Factor]) -> int:
    """Returns the index of the factor's reference level: the level whose row of its
    contrast matrix is all zeros in the factor's own columns, else the first level."""
    for column in design.columns:
        if len(column.factors) == 1 and column.factors[0] in factors:
            contrast = column.contrasts[0]
            assert contrast is not None
            zero = np.flatnonzero(~contrast.any(axis=1))
            if len(zero) == 1:
                return int(zero[0])
            break
    return 0
