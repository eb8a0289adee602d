"""The quantities of ``comparisons``: mean predictions at two values of a variable, compared.

A categorical variable is set to each of its levels; its comparisons are each level
against the reference level ("reference"), against the level before ("sequential") or
every pair ("pairwise"). A numerical variable is moved: by a number h (every row from x
to x + h), by a standard deviation ("sd": from x − sd/2 to x + sd/2), between its quartiles
("iqr"), its smallest and largest values ("minmax") or two given values (a, b). A 0/1
variable changes from 0 to 1 unless told otherwise. Each side is a mean prediction; the
comparison of the two (difference, ratio, ...) is formed from the means, in ``estimates``.
"""

from __future__ import annotations

import numbers
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass

import pandas as pd

from velmora_margins import validation
from velmora_margins.effects.contrasts import (
    COMPARISONS,
    OWN,
    Plan,
    PlanBuilder,
    Prediction,
    Scenario,
    Side,
)
from velmora_margins.effects.model import Model
from velmora_margins.effects.statistics import Spread
from velmora_margins.effects.variables import (
    Variable,
    base_level,
    columns_of,
    made_columns,
    scenario_side,
    side_reads,
    variable_of,
)
from velmora_margins.errors import ArgumentError
from velmora_margins.formula.design import Design

# The estimate column of each comparison.
COMPARISON_NAMES = {
    "difference": "Difference",
    "ratio": "Ratio",
    "lnratio": "Log ratio",
    "lnor": "Log odds ratio",
    "lift": "Lift",
}
LEVEL_CHANGES = ("reference", "sequential", "pairwise")
SPREAD_CHANGES = ("sd", "iqr", "minmax")


def comparison_of(comparison: object) -> str:
    if comparison not in COMPARISONS:
        raise ArgumentError(
            "comparison", f"expected one of {', '.join(COMPARISONS)}, got {comparison!r}"
        )
    return str(comparison)


@dataclass(frozen=True)
class Change:
    """A variable and how it changes."""

    variable: Variable
    how: object  # a level change, a number, a spread change, or a pair of values


def changes_of(model: Model, variables: object) -> list[Change]:
    """Returns the changes that variables asks for: every variable of the formula with its
    default change, the named ones with theirs, or a dict of variables and changes."""
    design = model.design
    if design is None:
        raise ArgumentError(
            "result", "comparisons set variables to values, which needs the formula of the fit"
        )
    if variables is None:
        asked: Mapping[str, object] = dict.fromkeys(design.rhs_order)
    elif isinstance(variables, Mapping):
        asked = variables
        if not asked:
            raise ArgumentError("variables", "the dict is empty; name at least one variable")
    else:
        asked = dict.fromkeys(validation.variable_names(variables))  # type: ignore[arg-type]
    out = []
    for name, how in asked.items():
        if not isinstance(name, str):
            raise TypeError(f"variables: expected names as str, got {type(name).__name__}")
        variable = variable_of(design, model.binary, name, "variables")
        out.append(Change(variable, checked_change(variable, how)))
    return out


def checked_change(variable: Variable, how: object) -> object:
    """Returns a variable's change, its default where none is given."""
    name = variable.name
    if variable.kind == "categorical":
        how = "reference" if how is None else how
        if how not in LEVEL_CHANGES:
            raise ArgumentError(
                "variables",
                f"factor '{name}' changes by one of {', '.join(LEVEL_CHANGES)}, got {how!r}",
            )
        if len(variable.categories) < 2:
            raise ArgumentError(
                "variables", f"factor '{name}' has only one level in the data, so no change"
            )
        return how
    if how is None:
        return (0.0, 1.0) if variable.kind == "binary" else 1.0
    if isinstance(how, str):
        if how not in SPREAD_CHANGES:
            raise ArgumentError(
                "variables",
                f"'{name}' changes by a number, a pair (a, b) or one of "
                f"{', '.join(SPREAD_CHANGES)}, got {how!r}",
            )
        return how
    if isinstance(how, tuple | list) and len(how) == 2:
        return tuple(number(value, name) for value in how)
    return number(how, name)


def number(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(
            f"variables: '{name}' changes by a number, a pair (a, b) or one of "
            f"{', '.join(SPREAD_CHANGES)}, got {value!r}"
        )
    return float(value)


def spreads_needed(changes: Sequence[Change]) -> list[str]:
    """Returns the numerical variables whose spread the changes need."""
    return [c.variable.name for c in changes if c.how in SPREAD_CHANGES]


def comparisons_plan(
    model: Model,
    changes: Sequence[Change],
    comparison: str,
    spreads: Mapping[str, Spread],
    scenarios: Sequence[Scenario] = (OWN,),
    at_names: Sequence[str] = (),
) -> Plan:
    """Returns the mean predictions at each side of each change and the rows that compare
    them, at each scenario."""
    design = model.design
    assert design is not None
    builder = PlanBuilder(at_names)
    for scenario in scenarios:
        at = tuple(value for _, value in scenario.values)
        for change in changes:
            if change.variable.kind == "categorical":
                add_levels(builder, design, change, scenario, at, comparison)
            else:
                add_change(builder, design, change, scenario, at, comparison, spreads)
    return builder.build()


def prediction(builder: PlanBuilder, design: Design, side: Side) -> int:
    reads, remade = side_reads(design, side)
    return builder.add(Prediction(side), reads, remade)


def add_levels(
    builder: PlanBuilder,
    design: Design,
    change: Change,
    scenario: Scenario,
    at: tuple[Hashable, ...],
    comparison: str,
) -> None:
    """Adds a prediction at each level of a categorical variable and the rows of its pairs."""
    variable = change.variable
    columns = columns_of(design, frozenset({variable.name}) | scenario.variables)
    indices = tuple(c.index for c in columns)
    handles = [
        prediction(
            builder,
            design,
            Side(indices, made_columns(columns, scenario, dict.fromkeys(variable.factors, level))),
        )
        for level in range(len(variable.categories))
    ]
    levels = variable.categories
    base = base_level(design, list(variable.factors))
    if change.how == "reference":
        pairs = [(i, base) for i in range(len(levels)) if i != base]
    elif change.how == "sequential":
        pairs = [(i, i - 1) for i in range(1, len(levels))]
    else:
        pairs = [(j, i) for i in range(len(levels)) for j in range(i + 1, len(levels))]
    for hi, lo in pairs:
        builder.row(
            variable.name,
            f"{levels[hi]} - {levels[lo]}",
            at,
            [(handles[hi], 0), (handles[lo], 0)],
            comparison,
        )


def add_change(
    builder: PlanBuilder,
    design: Design,
    change: Change,
    scenario: Scenario,
    at: tuple[Hashable, ...],
    comparison: str,
    spreads: Mapping[str, Spread],
) -> None:
    """Adds the predictions at the two sides of a numerical variable's change and its row."""
    name = change.variable.name
    columns = columns_of(design, frozenset({name}) | scenario.variables)
    indices = tuple(c.index for c in columns)

    def shifted(amount: float) -> Side:
        if amount == 0.0:
            return scenario_side(design, scenario) or Side()

        def move(data: pd.DataFrame) -> pd.DataFrame:
            return data.assign(**{name: data[name] + amount})

        made = made_columns(columns, scenario, change=move, changed=frozenset({name}))
        return Side(indices, made)

    def at_value(value: float) -> Side:
        set_to = Scenario((*[(n, v) for n, v in scenario.values if n != name], (name, value)))
        return Side(indices, made_columns(columns, set_to))

    how = change.how
    if how == "sd":
        step = spreads[name].sd
        low, high, label = shifted(-step / 2), shifted(step / 2), "+1 sd"
    elif isinstance(how, float):
        low, high, label = shifted(0.0), shifted(how), f"{how:+g}"
    else:
        if how == "iqr":
            a, b = spreads[name].q25, spreads[name].q75
        elif how == "minmax":
            a, b = spreads[name].low, spreads[name].high
        else:
            a, b = how  # type: ignore[misc]
        low, high = at_value(a), at_value(b)
        label = f"{b:g} - {a:g}"
    handles = [prediction(builder, design, side) for side in (high, low)]
    builder.row(name, label, at, [(handles[0], 0), (handles[1], 0)], comparison)
