"""The quantities that ``margins`` and ``predictions`` ask for, made from the model's design.

By variable (the default), each variable of the formula gets its effect as users mean it:

- a numerical variable v: per row, the derivatives by v of the columns that involve v (its
  powers, transforms and products with other variables or factors), by the product rule
  over each column's factors; as an elasticity, times v's value and over the prediction;
- a categorical variable, for each level L against the base level B: per row, the columns
  that involve it, made again with it set to L and to B (interactions included);
- a variable that holds only 0 and 1 and enters as one plain column: the column's values
  1 and 0.

Per design column, 0/1 columns change from 0 to 1 and every other column that is not an
intercept has a derivative of 1. A prediction is F of the row's linear predictor. At a
scenario (``at``), every quantity is taken at the rows with the scenario's variables set,
their columns made again; each scenario is a block of rows of the table.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable, Sequence

import numpy as np
import pandas as pd

from velmora_margins import validation
from velmora_margins.effects.contrasts import (
    OWN,
    ChangedColumns,
    Chunk,
    DerivativeContrast,
    LevelContrasts,
    Plan,
    PlanBuilder,
    Prediction,
    Scenario,
    Side,
    one_row,
)
from velmora_margins.effects.model import Model
from velmora_margins.effects.variables import (
    Variable,
    base_level,
    columns_of,
    made_columns,
    reads_of,
    scenario_side,
    side_reads,
    variable_of,
)
from velmora_margins.errors import ArgumentError
from velmora_margins.formula.derivative import Derivative, Differentiator, NotDifferentiable
from velmora_margins.formula.design import Column, Design, factor_part
from velmora_margins.formula.factor import Factor

# The slopes margins takes: the estimate column's name, the contrast's label, and whether
# the row's term is multiplied by the variable's value and divided by the prediction.
SLOPES = {
    "dydx": ("dy/dx", "dY/dX", False, False),
    "eyex": ("ey/ex", "eY/eX", True, True),
    "eydx": ("ey/dx", "eY/dX", False, True),
    "dyex": ("dy/ex", "dY/eX", True, False),
}


def slope_of(slope: object) -> str:
    """Returns the slope that the argument names."""
    if slope not in SLOPES:
        raise ArgumentError("slope", f"expected one of {', '.join(SLOPES)}, got {slope!r}")
    return str(slope)


def margins_plan(
    model: Model,
    variables: Sequence[str] | str | None,
    per_column: bool,
    scenarios: Sequence[Scenario] = (OWN,),
    at_names: Sequence[str] = (),
    slope: str = "dydx",
    atmeans: bool = False,
) -> Plan:
    """Returns the quantities of margins: of the named variables (every variable of the
    formula by default) or of the design columns, at each scenario (at rows of means
    with ``atmeans``, where a 0/1 variable holds its share rather than 0 or 1)."""
    design = model.design
    if design is None and not per_column:
        warnings.warn(
            "result was fitted without a formula, so velmora_margins cannot tell its "
            "variables; each design column is taken as its own variable",
            UserWarning,
            stacklevel=4,
        )
    if design is None or per_column:
        if slope != "dydx" or list(scenarios) != [OWN]:
            raise ArgumentError(
                "per_column",
                "the effects per design column are derivatives at the rows' own values; "
                "leave out at=, atmeans= and slope= with per_column=True",
            )
        return column_plan(model.binary, model.names, variables)
    names = list(design.rhs_order) if variables is None else validation.variable_names(variables)
    chosen = [variable_of(design, model.binary, name, "variables") for name in names]
    if variables is None and slope != "dydx":  # elasticities are of numerical variables
        chosen = [v for v in chosen if v.kind == "numerical"]
    builder = PlanBuilder(at_names)
    for scenario in scenarios:
        at = tuple(value for _, value in scenario.values)
        side = scenario_side(design, scenario)
        for variable in chosen:
            add_variable(builder, design, variable, scenario, side, at, slope, atmeans)
    return builder.build()


def predictions_plan(
    model: Model, scenarios: Sequence[Scenario] = (OWN,), at_names: Sequence[str] = ()
) -> Plan:
    """Returns the predictions at each scenario (at the rows themselves without one)."""
    builder = PlanBuilder(at_names)
    for scenario in scenarios:
        at = tuple(value for _, value in scenario.values)
        side = Side()
        if model.design is not None:
            side = scenario_side(model.design, scenario) or Side()
            reads, remade = side_reads(model.design, side)
        else:
            reads, remade = set(), []
        handle = builder.add(Prediction(side), reads, remade)
        builder.row("", "", at, [(handle, 0)])
    return builder.build()


def is_intercept(name: str) -> bool:
    """Returns whether a design column is an intercept: named const or intercept, in any case."""
    return name.lower() in ("const", "intercept")


def column_plan(
    binary: np.ndarray, names: Sequence[str], variables: Sequence[str] | str | None
) -> Plan:
    """Returns the per-column quantities of the named columns (every column that is not an
    intercept by default): 0/1 columns change from 0 to 1, the others have a derivative of 1."""
    items: list[DerivativeContrast | LevelContrasts] = []
    for j, name in enumerate(names):
        if is_intercept(name):
            continue
        if binary[j]:
            items.append(LevelContrasts(name, (j,), one_row([0.0]), (one_row([1.0]),), ("1 - 0",)))
        else:
            items.append(DerivativeContrast(name, (j,), one_row([1.0])))
    if variables is not None:
        by_name = {item.term: item for item in reversed(items)}  # the first of a repeated name
        chosen = validation.variable_names(variables)
        unknown = [n for n in chosen if n not in by_name]
        if unknown:
            shown = ", ".join(item.term for item in items)
            raise ArgumentError(
                "variables", f"no column named {unknown[0]!r}; the columns are: {shown}"
            )
        items = [by_name[n] for n in chosen]
    builder = PlanBuilder()
    for item in items:
        add_rows(builder, builder.add(item), item, ())
    return builder.build()


def add_rows(
    builder: PlanBuilder,
    handle: int,
    item: DerivativeContrast | LevelContrasts,
    at: tuple[Hashable, ...],
    label: str = "dY/dX",
) -> None:
    """Adds a derivative's row, or a row for each level of level contrasts."""
    if isinstance(item, DerivativeContrast):
        builder.row(item.term, label, at, [(handle, 0)])
        return
    for level, contrast in enumerate(item.labels):
        builder.row(item.term, contrast, at, [(handle, level)])


def add_variable(
    builder: PlanBuilder,
    design: Design,
    variable: Variable,
    scenario: Scenario,
    side: Side | None,
    at: tuple[Hashable, ...],
    slope: str,
    atmeans: bool,
) -> None:
    """Adds a variable's quantities and rows at a scenario. A 0/1 variable's change reads
    each row's own prediction for its own side, unless a scenario or the row of means
    moves it off 0 and 1."""
    _, label, by_value, per_prediction = SLOPES[slope]
    if variable.kind != "numerical" and slope != "dydx":
        what = "a factor" if variable.kind == "categorical" else "a 0/1 variable"
        raise ArgumentError(
            "slope",
            f"'{variable.name}' is {what}, whose effect is a change, not a derivative, so it "
            f"has no elasticity; take slope='dydx' or leave it out of variables=",
        )
    side_columns, side_remade = side_reads(design, side)
    item: DerivativeContrast | LevelContrasts
    if variable.kind == "categorical":
        item, reads, remade = level_contrasts(design, variable, scenario)
    elif variable.kind == "binary" and side is None and not atmeans:
        assert variable.column is not None
        item = LevelContrasts(
            variable.name,
            (variable.column,),
            one_row([0.0]),
            (one_row([1.0]),),
            ("1 - 0",),
            two_valued=True,
        )
        reads, remade = set(), []
    elif variable.kind == "binary":
        item, reads, remade = binary_contrast(design, variable, scenario)
    else:
        item, reads, remade = derivative_contrast(
            design, variable, scenario, side, by_value, per_prediction
        )
        reads |= side_columns
        remade = [*remade, *side_remade]
    add_rows(builder, builder.add(item, reads, remade), item, at, label)


def derivative_contrast(
    design: Design,
    variable: Variable,
    scenario: Scenario,
    side: Side | None,
    by_value: bool,
    per_prediction: bool,
) -> tuple[DerivativeContrast, set[str], list[Column]]:
    """Returns the derivative of a numerical variable at a scenario, and the data columns
    and design columns its makers read and make."""
    name = variable.name
    everything = set(design.variables)
    derivatives: dict[Factor, Derivative] = {}
    for factor in variable.factors:
        if factor.columns != 1:
            raise ArgumentError(
                "variables",
                f"'{name}' enters {factor.code}, a term of {factor.columns} columns (a "
                "spline or a basis), whose derivative velmora_margins does not take; leave "
                "the variable out of variables= or write the term with elementary functions",
            )
        try:
            derivatives[factor] = Differentiator(name, everything, factor.resolve).derivative(
                factor.eval_code
            )
        except NotDifferentiable as error:
            raise ArgumentError(
                "variables", f"cannot take the derivative of {factor.code} by '{name}': {error}"
            ) from None
    columns = variable.columns
    indices = tuple(c.index for c in columns)
    multiplier = None
    if by_value:
        multiplier = (
            one_row([float(scenario.value(name))])  # type: ignore[arg-type]
            if name in scenario.variables
            else ChangedColumns(maker=lambda chunk: value_column(chunk, name))
        )
    reads = {name} if multiplier is not None and multiplier.constant is None else set()
    constant = all(len(c.factors) == 1 and derivatives[c.factors[0]].code is None for c in columns)
    if constant:
        slopes = one_row([derivatives[c.factors[0]].constant or 0.0 for c in columns])
        item = DerivativeContrast(name, indices, slopes, side, multiplier, per_prediction)
        return item, reads, []

    def make(chunk: Chunk) -> np.ndarray:
        chunk = chunk.changed(scenario)
        out = np.empty((chunk.rows, len(columns)))
        data = numpy_columns(chunk.data)
        slope_of = {f: d.evaluate(data, f.scope, chunk.rows) for f, d in derivatives.items()}
        for s, column in enumerate(columns):
            out[:, s] = column_derivative(column, slope_of, chunk)
        return out

    reads |= set().union(*(f.variables for c in columns for f in c.factors))
    item = DerivativeContrast(
        name, indices, ChangedColumns(maker=make), side, multiplier, per_prediction
    )
    return item, reads, list(columns)


def value_column(chunk: Chunk, name: str) -> np.ndarray:
    """Returns a variable's values on a chunk's rows, as one column."""
    return np.asarray(chunk.data[name], dtype=np.float64).reshape(-1, 1)


def level_contrasts(
    design: Design, variable: Variable, scenario: Scenario
) -> tuple[LevelContrasts, set[str], list[Column]]:
    """Returns the level contrasts of a categorical variable at a scenario, and the data
    columns and design columns their makers read and make."""
    categories = variable.categories
    if len(categories) < 2:
        only = categories[0] if categories else "none"
        raise ArgumentError(
            "variables",
            f"factor '{variable.name}' has only its base level ({only}) in the data, so it has "
            "no effects; leave it out of variables=",
        )
    base = base_level(design, list(variable.factors))
    columns = columns_of(design, frozenset({variable.name}) | scenario.variables)
    indices = tuple(c.index for c in columns)

    def side(level: int) -> ChangedColumns:
        return made_columns(columns, scenario, dict.fromkeys(variable.factors, level))

    others = [i for i in range(len(categories)) if i != base]
    labels = tuple(f"{categories[i]} - {categories[base]}" for i in others)
    base_side = side(base)
    # The factor's own columns are read too, to check the columns made again.
    reads = reads_of(columns, base_side)
    remade = list(columns) if reads else []
    item = LevelContrasts(variable.name, indices, base_side, tuple(side(i) for i in others), labels)
    return item, reads, remade


def binary_contrast(
    design: Design, variable: Variable, scenario: Scenario
) -> tuple[LevelContrasts, set[str], list[Column]]:
    """Returns the change from 0 to 1 of a 0/1 variable at a scenario that sets others."""
    columns = columns_of(design, frozenset({variable.name}) | scenario.variables)
    indices = tuple(c.index for c in columns)

    def side(value: float) -> ChangedColumns:
        changed = Scenario((*scenario.values, (variable.name, value)))
        return made_columns(columns, changed)

    zero = side(0.0)
    reads = reads_of(columns, zero)
    remade = list(columns) if reads else []
    item = LevelContrasts(variable.name, indices, zero, (side(1.0),), ("1 - 0",))
    return item, reads, remade


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
    return factor_part(chunk.values(factor), pick, contrast)
