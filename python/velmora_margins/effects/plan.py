"""What each effect changes in the design, and how to make the changed columns.

Every effect is a contrast on the rows of the design matrix X:

- a derivative along a numerical variable v: per row, the derivatives by v of the
  columns that involve v (its powers, transforms and products with other variables
  or factors), by the product rule over each column's factors;
- a level L of a factor against its base level B: per row, the columns that involve
  the factor, made again with the factor set to L and to B (interactions included);
- a variable that holds only 0 and 1 and enters as one plain column: the columns'
  values 1 and 0.

The kernel takes the changed columns of each contrast, for a chunk of rows or, where
they are the same in every row, as one row.
"""

from __future__ import annotations

import ast
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins.formula.derivative import Derivative, Differentiator, NotDifferentiable
from velmora_margins.formula.design import Column, Design
from velmora_margins.formula.factor import DesignError, Factor

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
class Side:
    """Changed columns that are either the same in every row or made per chunk."""

    constant: np.ndarray | None = None  # 1 x columns
    maker: Maker | None = None

    def make(self, chunk: Chunk) -> np.ndarray:
        if self.constant is not None:
            return self.constant
        assert self.maker is not None
        return self.maker(chunk)


@dataclass(frozen=True)
class Slopes:
    """A derivative contrast: the changed columns' derivatives by the variable."""

    term: str
    columns: tuple[int, ...]
    slopes: Side


@dataclass(frozen=True)
class Levels:
    """A factor's contrasts: its columns at the base level and at each other level."""

    term: str
    columns: tuple[int, ...]
    base: Side
    levels: tuple[Side, ...]
    labels: tuple[str, ...]  # "L - B" for each level
    two_valued: bool = False  # one column holding only the base and the level value


@dataclass(frozen=True)
class Plan:
    """The contrasts of a table, in the kernel's order: the derivatives, then the levels.

    ``rows`` gives, for each table row in order, its place among the kernel's effects.
    """

    derivatives: tuple[Slopes, ...]
    factors: tuple[Levels, ...]
    terms: tuple[str, ...]
    contrasts: tuple[str, ...]
    rows: tuple[int, ...]
    data_columns: frozenset[str]  # the data columns the makers read
    remade: tuple[Column, ...] = ()  # design columns whose factors the makers evaluate

    def needs_data(self) -> bool:
        return bool(self.data_columns)

    def check_remade(self, data: pd.DataFrame, exog: np.ndarray) -> None:
        """Fails unless the design columns that the makers evaluate come out of the data
        as they are in the design, on the first rows: a term whose value on a row
        depends on other rows (``I(x - x.mean())``), or data changed since the fit,
        would make the effects wrong."""
        rows = min(len(data), 64)
        chunk = Chunk(data.iloc[:rows])
        for column in self.remade:
            values = {f: chunk.values(f) for f in column.factors}
            made = column.make(values, rows)
            expected = exog[:rows, column.index]
            scale = np.maximum(np.abs(expected), 1.0)
            if not np.all(np.abs(made - expected) <= 1e-12 * scale):
                raise ValueError(
                    f"the design column {column.name} does not come out of the data again row "
                    "by row: either the data frame changed since the fit, or the term's value "
                    "on one row depends on other rows (write centring as center(x), not "
                    "I(x - x.mean())); fit the model again or change the term"
                )


def make_plan(
    items: Sequence[Slopes | Levels], data_columns: frozenset[str], remade: Sequence[Column] = ()
) -> Plan:
    """Orders the contrasts for the kernel and remembers their order in the table."""
    derivatives = tuple(i for i in items if isinstance(i, Slopes))
    factors = tuple(i for i in items if isinstance(i, Levels))
    place: dict[int, list[int]] = {}
    at = 0
    for slopes in derivatives:
        place[id(slopes)] = [at]
        at += 1
    for levels in factors:
        place[id(levels)] = list(range(at, at + len(levels.levels)))
        at += len(levels.levels)
    terms: list[str] = []
    contrasts: list[str] = []
    rows: list[int] = []
    for item in items:
        labels = (DERIVATIVE,) if isinstance(item, Slopes) else item.labels
        for label, index in zip(labels, place[id(item)], strict=True):
            terms.append(item.term)
            contrasts.append(label)
            rows.append(index)
    return Plan(
        derivatives,
        factors,
        tuple(terms),
        tuple(contrasts),
        tuple(rows),
        data_columns,
        tuple({c.index: c for c in remade}.values()),
    )


def one_row(values: Sequence[float]) -> np.ndarray:
    return np.asarray(values, dtype=np.float64).reshape(1, -1)


# ---- effects by design column -------------------------------------------------------


def binary_columns(exog: np.ndarray) -> np.ndarray:
    """Returns whether each column holds only 0 and 1. The first rows rule most columns
    out at once; only the others are read to the end."""

    def zero_one(values: np.ndarray) -> np.ndarray:
        return np.asarray(((values == 0.0) | (values == 1.0)).all(axis=0))

    flags = zero_one(exog[:4096])
    for j in np.flatnonzero(flags):
        flags[j] = bool(zero_one(exog[4096:, j]))
    return flags


def column_plan(binary: np.ndarray, names: Sequence[str], intercepts: Sequence[int]) -> Plan:
    """Returns the per-column contrasts: 0/1 columns change from 0 to 1, every other
    column that is not an intercept has a derivative of 1."""
    items: list[Slopes | Levels] = []
    for j, name in enumerate(names):
        if j in intercepts:
            continue
        if binary[j]:
            items.append(
                Levels(name, (j,), Side(one_row([0.0])), (Side(one_row([1.0])),), ("1 - 0",))
            )
        else:
            items.append(Slopes(name, (j,), Side(one_row([1.0]))))
    return make_plan(items, frozenset())


# ---- effects by variable --------------------------------------------------------------


def variable_plan(design: Design, binary: np.ndarray, variables: Sequence[str]) -> Plan:
    """Returns the contrasts of the given variables of the formula."""
    items: list[Slopes | Levels] = []
    data_columns: set[str] = set()
    remade: list[Column] = []
    for variable in variables:
        item, reads = variable_contrasts(design, binary, variable)
        items.append(item)
        data_columns |= reads
        if reads:
            remade += [design.columns[j] for j in item.columns]
    return make_plan(items, frozenset(data_columns), remade)


def variable_contrasts(
    design: Design, binary: np.ndarray, variable: str
) -> tuple[Slopes | Levels, set[str]]:
    """Returns a variable's contrasts and the data columns they read per chunk."""
    factors = [f for f in design.factors if variable in f.variables]
    if not factors:
        known = ", ".join(design.rhs_order)
        raise ValueError(
            f"variables: '{variable}' is not a variable of the formula; its variables are: {known}"
        )
    categorical = [f for f in factors if not f.numerical]
    numerical = [f for f in factors if f.numerical]
    if categorical and numerical:
        raise ValueError(
            f"variables: '{variable}' enters the formula both as a factor "
            f"({categorical[0].code}) and as a number ({numerical[0].code}), so its effect "
            "is neither a change of level nor a derivative; leave it out of variables="
        )
    if categorical:
        return level_contrasts(design, variable, categorical)
    column = binary_column(design, binary, variable, numerical)
    if column is not None:
        levels = (Side(one_row([1.0])),)
        zero = Side(one_row([0.0]))
        return Levels(variable, (column,), zero, levels, ("1 - 0",), two_valued=True), set()
    return derivative_contrast(design, variable, numerical)


def binary_column(
    design: Design, binary: np.ndarray, variable: str, factors: list[Factor]
) -> int | None:
    """Returns the column of a variable that holds only 0 and 1 and enters as one plain
    column, or None."""
    if len(factors) != 1 or not is_plain_name(factors[0].code, variable):
        return None
    columns = design.columns_of(factors[0])
    if len(columns) != 1 or len(columns[0].factors) != 1:
        return None
    return columns[0].index if binary[columns[0].index] else None


def is_plain_name(code: str, variable: str) -> bool:
    tree = ast.parse(code.strip(), mode="eval").body
    return isinstance(tree, ast.Name) and tree.id == variable


def derivative_contrast(
    design: Design, variable: str, factors: list[Factor]
) -> tuple[Slopes, set[str]]:
    """Returns the derivative contrast of a numerical variable."""
    everything = set(design.variables())
    derivatives: dict[Factor, Derivative] = {}
    for factor in factors:
        if factor.columns != 1:
            raise ValueError(
                f"variables: '{variable}' enters {factor.code}, a term of "
                f"{factor.columns} columns (a spline or a basis), whose derivative "
                "velmora_margins does not take; leave the variable out of variables= "
                "or write the term with elementary functions"
            )
        try:
            derivatives[factor] = Differentiator(variable, everything, factor.resolve).derivative(
                factor.eval_code
            )
        except NotDifferentiable as error:
            raise ValueError(
                f"variables: cannot take the derivative of {factor.code} by '{variable}': {error}"
            ) from None
    columns = [c for c in design.columns if any(f in derivatives for f in c.factors)]
    indices = tuple(c.index for c in columns)
    constant = all(len(c.factors) == 1 and derivatives[c.factors[0]].code is None for c in columns)
    if constant:
        slopes = one_row([derivatives[c.factors[0]].constant or 0.0 for c in columns])
        return Slopes(variable, indices, Side(slopes)), set()

    def make(chunk: Chunk) -> np.ndarray:
        out = np.empty((chunk.rows, len(columns)))
        data = numpy_columns(chunk.data)
        slope_of = {f: d.evaluate(data, f.scope(), chunk.rows) for f, d in derivatives.items()}
        for s, column in enumerate(columns):
            out[:, s] = column_derivative(column, slope_of, chunk)
        return out

    reads = set().union(*(f.variables for c in columns for f in c.factors))
    return Slopes(variable, indices, Side(maker=make)), reads


def numpy_columns(data: pd.DataFrame) -> dict[str, np.ndarray]:
    return {str(name): data[name].to_numpy() for name in data.columns}


def column_derivative(column: Column, slopes: dict[Factor, np.ndarray], chunk: Chunk) -> np.ndarray:
    """Returns the derivative of one column by the product rule over its factors."""
    total = np.zeros(chunk.rows)
    for at, factor in enumerate(column.factors):
        if factor not in slopes:
            continue
        term = slopes[factor].copy()
        for other_at in range(len(column.factors)):
            if other_at != at:
                term *= factor_column(column, other_at, chunk)
        total += term
    return total


def factor_column(column: Column, at: int, chunk: Chunk) -> np.ndarray:
    """Returns the values that factor number at contributes to the column, per row."""
    factor, pick, contrast = column.factors[at], column.picks[at], column.contrasts[at]
    values = chunk.values(factor)
    return values[:, pick] if contrast is None else contrast[values, pick]


def level_contrasts(
    design: Design, variable: str, factors: list[Factor]
) -> tuple[Levels, set[str]]:
    """Returns the level contrasts of a factor variable."""
    for factor in factors:
        if factor.level_variable() != variable:
            raise ValueError(
                f"variables: '{variable}' enters {factor.code}, a factor made by transforming "
                f"it; velmora_margins sets a factor to its levels only where the factor is the "
                f"variable itself ({variable} or C({variable}, ...))"
            )
    categories = factors[0].categories
    if any(f.categories != categories for f in factors):
        raise DesignError(f"the factors of '{variable}' do not have the same levels")
    if len(categories) < 2:
        only = categories[0] if categories else "none"
        raise ValueError(
            f"variables: factor '{variable}' has only its base level ({only}) in the data, so "
            "it has no effects; leave it out of variables="
        )
    base = base_level(design, factors)
    columns = [c for c in design.columns if any(f in factors for f in c.factors)]
    indices = tuple(c.index for c in columns)
    others = {f for c in columns for f in c.factors if f not in factors}

    def side(level: int) -> Side:
        if not others:
            row = [
                column.make(dict.fromkeys(column.factors, np.array([level])), 1)[0]
                for column in columns
            ]
            return Side(one_row(row))

        def make(chunk: Chunk) -> np.ndarray:
            out = np.empty((chunk.rows, len(columns)))
            fixed = np.full(chunk.rows, level, dtype=np.intp)
            for s, column in enumerate(columns):
                values = {f: fixed if f in factors else chunk.values(f) for f in column.factors}
                out[:, s] = column.make(values, chunk.rows)
            return out

        return Side(maker=make)

    levels = [i for i in range(len(categories)) if i != base]
    labels = tuple(f"{categories[i]} - {categories[base]}" for i in levels)
    # The factor's own columns are read too, to check the columns made again.
    reads = set().union(*(f.variables for c in columns for f in c.factors)) if others else set()
    return Levels(variable, indices, side(base), tuple(side(i) for i in levels), labels), reads


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
