"""The contrasts that a call asks for, made from the fitted model's design.

By variable (the default), each variable of the formula gets its effect as users mean it:

- a numerical variable v: per row, the derivatives by v of the columns that involve v (its
  powers, transforms and products with other variables or factors), by the product rule
  over each column's factors;
- a categorical variable, for each level L against the base level B: per row, the columns
  that involve it, made again with it set to L and to B (interactions included);
- a variable that holds only 0 and 1 and enters as one plain column: the column's values
  1 and 0.

Per design column, 0/1 columns change from 0 to 1 and every other column that is not an
intercept has a derivative of 1. The changed columns are the same in every row wherever
they can be; otherwise they are made per chunk of rows from the data.
"""

from __future__ import annotations

import ast
import warnings
from collections.abc import Sequence

import numpy as np
import pandas as pd

from velmora_margins import validation
from velmora_margins.effects.contrasts import (
    ChangedColumns,
    Chunk,
    Contrast,
    DerivativeContrast,
    LevelContrasts,
    Plan,
    make_plan,
    one_row,
)
from velmora_margins.effects.model import Model
from velmora_margins.errors import ArgumentError, DesignError
from velmora_margins.formula.derivative import Derivative, Differentiator, NotDifferentiable
from velmora_margins.formula.design import Column, Design
from velmora_margins.formula.factor import Factor


def plan_for(model: Model, variables: Sequence[str] | str | None, per_column: bool) -> Plan:
    """Returns the contrasts of a call: of the named variables (every variable of the
    formula by default), or of the design columns."""
    design = model.design
    if design is None and not per_column:
        warnings.warn(
            "result was fitted without a formula, so velmora_margins cannot tell its "
            "variables; each design column is taken as its own variable",
            UserWarning,
            stacklevel=3,
        )
    if design is None or per_column:
        return column_plan(model.binary, model.names, variables)
    names = list(design.rhs_order) if variables is None else validation.variable_names(variables)
    return variable_plan(design, model.binary, names)


def is_intercept(name: str) -> bool:
    """Returns whether a design column is an intercept: named const or intercept, in any case."""
    return name.lower() in ("const", "intercept")


def column_plan(
    binary: np.ndarray, names: Sequence[str], variables: Sequence[str] | str | None
) -> Plan:
    """Returns the per-column contrasts of the named columns (every column that is not an
    intercept by default): 0/1 columns change from 0 to 1, the others have a derivative of 1."""
    items: list[Contrast] = []
    for j, name in enumerate(names):
        if is_intercept(name):
            continue
        if binary[j]:
            items.append(LevelContrasts(name, (j,), one_row([0.0]), (one_row([1.0]),), ("1 - 0",)))
        else:
            items.append(DerivativeContrast(name, (j,), one_row([1.0])))
    if variables is None:
        return make_plan(items, frozenset())
    by_name = {item.term: item for item in reversed(items)}  # the first of a repeated name
    chosen = validation.variable_names(variables)
    unknown = [n for n in chosen if n not in by_name]
    if unknown:
        shown = ", ".join(item.term for item in items)
        raise ArgumentError(
            "variables", f"no column named {unknown[0]!r}; the columns are: {shown}"
        )
    return make_plan([by_name[n] for n in chosen], frozenset())


def variable_plan(design: Design, binary: np.ndarray, variables: Sequence[str]) -> Plan:
    """Returns the contrasts of the given variables of the formula."""
    items: list[Contrast] = []
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
) -> tuple[Contrast, set[str]]:
    """Returns a variable's contrasts and the data columns they read per chunk."""
    factors = [f for f in design.factors if variable in f.variables]
    if not factors:
        known = ", ".join(design.rhs_order)
        raise ArgumentError(
            "variables",
            f"'{variable}' is not a variable of the formula; its variables are: {known}",
        )
    categorical = [f for f in factors if not f.numerical]
    numerical = [f for f in factors if f.numerical]
    if categorical and numerical:
        raise ArgumentError(
            "variables",
            f"'{variable}' enters the formula both as a factor ({categorical[0].code}) and "
            f"as a number ({numerical[0].code}), so its effect is neither a change of level "
            "nor a derivative; leave it out of variables=",
        )
    if categorical:
        return level_contrasts(design, variable, categorical)
    column = binary_column(design, binary, variable, numerical)
    if column is not None:
        one, zero = one_row([1.0]), one_row([0.0])
        return LevelContrasts(variable, (column,), zero, (one,), ("1 - 0",), two_valued=True), set()
    return derivative_contrast(design, variable, numerical)


def binary_column(
    design: Design, binary: np.ndarray, variable: str, factors: list[Factor]
) -> int | None:
    """Returns the column of a variable that holds only 0 and 1 and enters as one plain
    column, or None."""
    if len(factors) != 1 or not is_plain_name(factors[0].code, variable):
        return None
    columns = [c for c in design.columns if factors[0] in c.factors]
    if len(columns) != 1 or len(columns[0].factors) != 1:
        return None
    return columns[0].index if binary[columns[0].index] else None


def is_plain_name(code: str, variable: str) -> bool:
    tree = ast.parse(code.strip(), mode="eval").body
    return isinstance(tree, ast.Name) and tree.id == variable


def derivative_contrast(
    design: Design, variable: str, factors: list[Factor]
) -> tuple[DerivativeContrast, set[str]]:
    """Returns the derivative contrast of a numerical variable."""
    everything = set(design.variables)
    derivatives: dict[Factor, Derivative] = {}
    for factor in factors:
        if factor.columns != 1:
            raise ArgumentError(
                "variables",
                f"'{variable}' enters {factor.code}, a term of {factor.columns} columns (a "
                "spline or a basis), whose derivative velmora_margins does not take; leave "
                "the variable out of variables= or write the term with elementary functions",
            )
        try:
            derivatives[factor] = Differentiator(variable, everything, factor.resolve).derivative(
                factor.eval_code
            )
        except NotDifferentiable as error:
            raise ArgumentError(
                "variables", f"cannot take the derivative of {factor.code} by '{variable}': {error}"
            ) from None
    columns = [c for c in design.columns if any(f in derivatives for f in c.factors)]
    indices = tuple(c.index for c in columns)
    constant = all(len(c.factors) == 1 and derivatives[c.factors[0]].code is None for c in columns)
    if constant:
        slopes = one_row([derivatives[c.factors[0]].constant or 0.0 for c in columns])
        return DerivativeContrast(variable, indices, slopes), set()

    def make(chunk: Chunk) -> np.ndarray:
        out = np.empty((chunk.rows, len(columns)))
        data = numpy_columns(chunk.data)
        slope_of = {f: d.evaluate(data, f.scope, chunk.rows) for f, d in derivatives.items()}
        for s, column in enumerate(columns):
            out[:, s] = column_derivative(column, slope_of, chunk)
        return out

    reads = set().union(*(f.variables for c in columns for f in c.factors))
    return DerivativeContrast(variable, indices, ChangedColumns(maker=make)), reads


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
) -> tuple[LevelContrasts, set[str]]:
    """Returns the level contrasts of a factor variable."""
    for factor in factors:
        if factor.level_variable != variable:
            raise ArgumentError(
                "variables",
                f"'{variable}' enters {factor.code}, a factor made by transforming it; "
                "velmora_margins sets a factor to its levels only where the factor is the "
                f"variable itself ({variable} or C({variable}, ...))",
            )
    categories = factors[0].categories
    if any(f.categories != categories for f in factors):
        raise DesignError(f"the factors of '{variable}' do not have the same levels")
    if len(categories) < 2:
        only = categories[0] if categories else "none"
        raise ArgumentError(
            "variables",
            f"factor '{variable}' has only its base level ({only}) in the data, so it has no "
            "effects; leave it out of variables=",
        )
    base = base_level(design, factors)
    columns = [c for c in design.columns if any(f in factors for f in c.factors)]
    indices = tuple(c.index for c in columns)
    others = {f for c in columns for f in c.factors if f not in factors}

    def side(level: int) -> ChangedColumns:
        if not others:
            row = [
                column.make(dict.fromkeys(column.factors, np.array([level])), 1)[0]
                for column in columns
            ]
            return one_row(row)

        def make(chunk: Chunk) -> np.ndarray:
            out = np.empty((chunk.rows, len(columns)))
            fixed = np.full(chunk.rows, level, dtype=np.intp)
            for s, column in enumerate(columns):
                values = {f: fixed if f in factors else chunk.values(f) for f in column.factors}
                out[:, s] = column.make(values, chunk.rows)
            return out

        return ChangedColumns(maker=make)

    levels = [i for i in range(len(categories)) if i != base]
    labels = tuple(f"{categories[i]} - {categories[base]}" for i in levels)
    # The factor's own columns are read too, to check the columns made again.
    reads = set().union(*(f.variables for c in columns for f in c.factors)) if others else set()
    sides = tuple(side(i) for i in levels)
    return LevelContrasts(variable, indices, side(base), sides, labels), reads


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
