"""The values that ``at`` sets: checked against the model's design, and made a grid.

``at`` maps variables of the formula to a value or a list of values; the grid holds every
combination, the first variable's values changing slowest. A numerical variable takes
numbers, a categorical one the levels the fit saw.
"""

from __future__ import annotations

import itertools
import numbers
from collections.abc import Hashable, Mapping

from velmora_margins.effects.contrasts import OWN, Scenario
from velmora_margins.effects.model import Model
from velmora_margins.effects.variables import variable_of
from velmora_margins.errors import ArgumentError


def at_grid(model: Model, at: object) -> tuple[list[Scenario], tuple[str, ...]]:
    """Returns the scenarios of an at argument, in the grid's order, and the variables it
    names (none, and the rows' own values, without at)."""
    if at is None:
        return [OWN], ()
    if not isinstance(at, Mapping):
        raise TypeError(f"at: expected a dict of variables and values, got {type(at).__name__}")
    if not at:
        raise ArgumentError("at", "the dict is empty; name at least one variable")
    design = model.design
    if design is None:
        raise ArgumentError(
            "at", "setting variables needs the formula of the fit; this result has none"
        )
    names: list[str] = []
    choices: list[list[Hashable]] = []
    for name, given in at.items():
        if not isinstance(name, str):
            raise TypeError(f"at: expected variable names as str, got {type(name).__name__}")
        variable = variable_of(design, model.binary, name, "at")
        values = list(given) if isinstance(given, list | tuple) else [given]
        if not values:
            raise ArgumentError("at", f"the list of values of '{name}' is empty")
        checked = []
        for value in values:
            if variable.kind == "categorical":
                checked.append(level_of(variable.categories, value, name))
            else:
                checked.append(number_of(value, name))
        names.append(name)
        choices.append(checked)
    grid = [
        Scenario(tuple(zip(names, combination, strict=True)))
        for combination in itertools.product(*choices)
    ]
    return grid, tuple(names)


def level_of(categories: tuple[object, ...], value: object, name: str) -> Hashable:
    """Returns the level that value names, or fails listing the levels."""
    for level in categories:
        if level == value:
            return level
    raise ArgumentError(
        "at",
        f"{value!r} is not a level of '{name}' that the fit saw; its levels are: "
        f"{', '.join(map(str, categories))}",
    )


def number_of(value: object, name: str) -> float:
    """Returns a number that a numerical variable takes."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"at: '{name}' takes numbers, got {value!r}")
    return float(value)
