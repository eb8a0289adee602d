"""How each column of a formula's design matrix is made from the data.

A patsy design column is the product of one column of each factor of its term: a
numerical factor's value, or a categorical factor's row of its contrast matrix for
the row's level. This module reads that recipe from the design information of a
fitted model, so that the columns can be made again, row for row, from changed data:
a factor set to another level, or the derivatives of the factors by a variable.
"""

from __future__ import annotations

import ast
import itertools
from collections import ChainMap
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd


class DesignError(ValueError):
    """The design cannot be read or made again from the data."""


@dataclass(frozen=True, eq=False)
class Factor:
    """One factor of the formula: a piece of code evaluated on the data."""

    source: Any  # the formula engine's factor
    code: str  # as written, e.g. "C(religious)" or "I(age ** 2)"
    eval_code: str  # as evaluated, with stateful transforms bound to their state
    numerical: bool
    columns: int  # numerical: columns of its value; categorical: 0
    categories: tuple[Any, ...]  # categorical: its levels, in coding order
    variables: frozenset[str]  # the data columns the code reads
    state: Mapping[str, Any] = field(repr=False)

    def resolve(self, name: str) -> Any:
        """Returns the object a name of the code stands for outside the data."""
        return self.scope()[name]

    def scope(self) -> ChainMap[str, Any]:
        """Returns the names the code reads outside the data: its stateful transforms
        and the formula's namespace."""
        return ChainMap(self.state.get("transforms", {}), self.state["eval_env"].namespace)

    def value(self, data: pd.DataFrame) -> np.ndarray:
        """Returns the numerical factor's value on data, one row per row, as the design
        took it (evaluated on the data frame's columns, as the formula engine does)."""
        value = np.asarray(self.source.eval(self.state, data), dtype=np.float64)
        return value.reshape(len(data), -1) if value.ndim != 2 else value

    def codes(self, data: pd.DataFrame) -> np.ndarray:
        """Returns the categorical factor's level index of every row of data."""
        value = self.source.eval(self.state, data)
        value = getattr(value, "data", value)  # the value of C(...) is a box around it
        codes = pd.Categorical(pd.Series(np.asarray(value)), categories=self.categories).codes
        if (codes < 0).any():
            raise DesignError(
                f"the data hold values of {self.code} that the fit did not see; "
                f"its levels are {list(self.categories)}"
            )
        return np.asarray(codes, dtype=np.intp)

    def level_variable(self) -> str | None:
        """Returns the variable whose values are this categorical factor's levels: the
        code is the variable itself or C(variable, ...). None otherwise."""
        tree = ast.parse(self.code.strip(), mode="eval").body
        if isinstance(tree, ast.Call) and isinstance(tree.func, ast.Name) and tree.func.id == "C":
            tree = tree.args[0] if tree.args else tree
        if isinstance(tree, ast.Name) and tree.id in self.variables:
            return tree.id
        if (
            isinstance(tree, ast.Call)
            and isinstance(tree.func, ast.Name)
            and tree.func.id == "Q"
            and tree.args
            and isinstance(tree.args[0], ast.Constant)
            and tree.args[0].value in self.variables
        ):
            return str(tree.args[0].value)
        return None


@dataclass(frozen=True)
class Column:
    """One design column: the product, in this order, of one column of each factor.

    ``picks[i]`` is the column of ``factors[i]``'s value, or of its contrast matrix
    ``contrasts[i]`` (None for a numerical factor).
    """

    index: int
    name: str
    factors: tuple[Factor, ...]
    picks: tuple[int, ...]
    contrasts: tuple[np.ndarray | None, ...]

    def make(self, values: Mapping[Factor, np.ndarray], rows: int) -> np.ndarray:
        """Returns the column from each factor's value (numerical) or level indices
        (categorical), multiplying in the factors' order as the design did."""
        out = np.ones(rows)
        for factor, pick, contrast in zip(self.factors, self.picks, self.contrasts, strict=True):
            if contrast is None:
                out *= values[factor][:, pick]
            else:
                out *= contrast[values[factor], pick]
        return out


@dataclass(frozen=True)
class Design:
    """The recipe of every column of a design matrix and the factors they use."""

    columns: tuple[Column, ...]
    factors: tuple[Factor, ...]
    rhs_order: tuple[str, ...]  # the variables in the order the formula names them

    def variables(self) -> frozenset[str]:
        return frozenset().union(*(f.variables for f in self.factors))

    def columns_of(self, factor: Factor) -> list[Column]:
        return [c for c in self.columns if any(f is factor for f in c.factors)]


def read_design(design_info: Any, data_columns: Sequence[str], formula: str | None) -> Design:
    """Returns the recipe of a patsy DesignInfo's columns; data_columns are the names
    of the data's columns, which the factors' code reads."""
    if not hasattr(design_info, "term_codings") or not hasattr(design_info, "factor_infos"):
        raise DesignError(
            f"the model's formula design is a {type(design_info).__name__}, not a patsy "
            "design; fit the model with statsmodels' patsy formula engine "
            "(statsmodels.formula.options.formula_engine = 'patsy')"
        )
    names = set(map(str, data_columns))
    factors: dict[Any, Factor] = {}
    for source, info in design_info.factor_infos.items():
        code = str(getattr(source, "code", source.name()))
        state = info.state if isinstance(info.state, Mapping) else {}
        factors[source] = Factor(
            source=source,
            code=code,
            eval_code=str(state.get("eval_code", code)),
            numerical=info.type == "numerical",
            columns=int(info.num_columns or 0),
            categories=tuple(info.categories or ()),
            variables=frozenset(code_names(code)) & names,
            state=state,
        )
    columns: list[Column] = []
    for term, subterms in design_info.term_codings.items():
        start = design_info.term_slices[term].start
        offset = 0
        for subterm in subterms:
            counts = []
            for source in subterm.factors:
                factor = factors[source]
                if factor.numerical:
                    counts.append(factor.columns)
                else:
                    counts.append(subterm.contrast_matrices[source].matrix.shape[1])
            # patsy's column order: the first factor's column changes fastest
            for reversed_picks in itertools.product(*[range(n) for n in reversed(counts)]):
                picks = tuple(reversed(reversed_picks))
                index = start + offset
                columns.append(
                    Column(
                        index=index,
                        name=design_info.column_names[index],
                        factors=tuple(factors[s] for s in subterm.factors),
                        picks=picks,
                        contrasts=tuple(
                            None
                            if factors[s].numerical
                            else np.asarray(subterm.contrast_matrices[s].matrix, dtype=float)
                            for s in subterm.factors
                        ),
                    )
                )
                offset += 1
    columns.sort(key=lambda c: c.index)
    if [c.index for c in columns] != list(range(len(design_info.column_names))):
        raise DesignError("the formula design's columns do not follow from its terms")
    return Design(tuple(columns), tuple(factors.values()), formula_order(formula, factors))


def code_names(code: str) -> list[str]:
    """Returns the names a factor's code reads, Q("name") included, in order."""
    names = []
    for node in ast.walk(ast.parse(code.strip(), mode="eval")):
        if isinstance(node, ast.Name):
            names.append(node.id)
        elif (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Name)
            and node.func.id == "Q"
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
        ):
            names.append(node.args[0].value)
    return names


def formula_order(formula: str | None, factors: Mapping[Any, Factor]) -> tuple[str, ...]:
    """Returns the variables in the order they first appear on the formula's right side,
    then any the formula text does not show."""
    order: list[str] = []
    if formula and "~" in formula:
        rhs = formula.split("~", 1)[1]
        positions: dict[str, int] = {}
        for factor in factors.values():
            for name in factor.variables:
                at = position_in(rhs, name)
                positions[name] = min(positions.get(name, at), at)
        order = sorted(positions, key=lambda name: (positions[name], name))
    for factor in factors.values():
        for name in sorted(factor.variables):
            if name not in order:
                order.append(name)
    return tuple(order)


def position_in(text: str, name: str) -> int:
    """Returns where name first stands as a whole word in text, or len(text)."""
    start = 0
    while (at := text.find(name, start)) >= 0:
        before = text[at - 1] if at else " "
        after = text[at + len(name)] if at + len(name) < len(text) else " "
        if not (before.isalnum() or before == "_") and not (after.isalnum() or after == "_"):
            return at
        start = at + 1
    return len(text)
