"""One factor of a formula: code evaluated on the data, which pickles.

A factor is what patsy evaluates for a term: ``age``, ``I(age ** 2)``, ``C(religious)``.
This one carries what its code needs besides the data (the names it reads from the
formula's namespace, its stateful transforms with their learnt state), so that it
evaluates alike in any process, unlike the formula engine's own objects.
"""

from __future__ import annotations

import ast
import builtins
import importlib
from collections import ChainMap
from types import ModuleType
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.errors import DesignError


class Factor:
    """One factor of the formula: a piece of code evaluated on the data.

    It carries what its code needs besides the data, the names it reads from the
    formula's namespace and its stateful transforms with their learnt state, so that it
    evaluates alike in any process (it pickles, unlike the formula engine's objects).
    """

    def __init__(
        self,
        code: str,
        eval_code: str,
        numerical: bool,
        columns: int,
        categories: tuple[Any, ...],
        variables: frozenset[str],
        namespace: dict[str, Any],
        transforms: dict[str, Any],
    ) -> None:
        self.code = code  # as written, e.g. "C(religious)" or "I(age ** 2)"
        self.eval_code = eval_code  # as evaluated, stateful transforms bound to their state
        self.numerical = numerical
        self.columns = columns  # numerical: columns of its value; categorical: 0
        self.categories = categories  # categorical: its levels, in coding order
        self.variables = variables  # the data columns the code reads
        self.namespace = namespace
        self.transforms = transforms
        # The names the code reads outside the data: its stateful transforms, then the
        # formula's namespace.
        self.scope: ChainMap[str, Any] = ChainMap(transforms, namespace)
        # The variable whose values are the levels of a categorical factor, if any.
        self.level_variable = level_variable(code, variables)
        self._compiled = compile(eval_code.strip(), f"<{code}>", "eval")

    def __repr__(self) -> str:
        return f"Factor({self.code!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        transforms = {name: (type(t), dict(vars(t))) for name, t in self.transforms.items()}
        namespace = {
            name: ("module", value.__name__) if isinstance(value, ModuleType) else ("value", value)
            for name, value in self.namespace.items()
        }
        fields = (self.code, self.eval_code, self.numerical, self.columns, self.categories)
        return (restore_factor, (*fields, self.variables, namespace, transforms))

    def resolve(self, name: str) -> Any:
        """Returns the object a name of the code stands for outside the data: in its scope,
        else among Python's builtins, as the code's evaluation finds it."""
        if name in self.scope:
            return self.scope[name]
        return vars(builtins)[name]

    def evaluate(self, data: Any) -> Any:
        """Returns the code's value on data (a data frame or a mapping of columns),
        looked up as the formula engine does: the data first, then the scope."""
        return eval(self._compiled, {}, ChainMap({}, data, self.transforms, self.namespace))

    def value(self, data: pd.DataFrame) -> np.ndarray:
        """Returns the numerical factor's value on data, one row per row, as the design
        took it (evaluated on the data frame's columns, as the formula engine does)."""
        value = np.asarray(self.evaluate(data), dtype=np.float64)
        if value.ndim == 0:
            value = np.full(len(data), float(value))
        return value.reshape(len(data), -1) if value.ndim != 2 else value

    def codes(self, data: pd.DataFrame, missing: bool = False) -> np.ndarray:
        """Returns the categorical factor's level index of every row of data; with
        ``missing``, -1 for a missing value instead of an error."""
        value = self.evaluate(data)
        value = getattr(value, "data", value)  # the value of C(...) is a box around it
        values = value if isinstance(value, pd.Series) else pd.Series(np.asarray(value))
        # The distinct values first, then their levels: looking up each row's text in the
        # levels would hash every row's string again. A categorical's codes are already
        # indices of its distinct values.
        if isinstance(values.dtype, pd.CategoricalDtype):
            found, distinct = values.cat.codes.to_numpy(), values.cat.categories
        else:
            found, distinct = pd.factorize(values, use_na_sentinel=True)
        # The last entry, -1, is where a missing value's -1 points.
        level_of = np.append(pd.Index(self.categories).get_indexer(distinct), -1)
        codes = np.asarray(level_of[found], dtype=np.intp)
        unknown = (codes < 0) & (found >= 0) if missing else codes < 0
        if unknown.any():
            first = values.iloc[int(np.flatnonzero(unknown)[0])]
            raise DesignError(
                f"the data hold the value {first!r} of {self.code}, which is not one of its "
                f"levels {list(self.categories)}"
            )
        return codes


def restore_factor(
    code: str,
    eval_code: str,
    numerical: bool,
    columns: int,
    categories: tuple[Any, ...],
    variables: frozenset[str],
    namespace: dict[str, tuple[str, Any]],
    transforms: dict[str, tuple[Any, dict[str, Any]]],
) -> Factor:
    """Makes a pickled factor again, importing its modules and rebuilding its transforms."""
    names = {
        name: importlib.import_module(value) if kind == "module" else value
        for name, (kind, value) in namespace.items()
    }
    states = {}
    for name, (cls, fields) in transforms.items():
        transform = cls.__new__(cls)
        transform.__dict__.update(fields)
        states[name] = transform
    return Factor(code, eval_code, numerical, columns, categories, variables, names, states)


def level_variable(code: str, variables: frozenset[str]) -> str | None:
    """Returns the variable whose values are a categorical factor's levels: the code is
    the variable itself or C(variable, ...). None otherwise."""
    tree = ast.parse(code.strip(), mode="eval").body
    if isinstance(tree, ast.Call) and isinstance(tree.func, ast.Name) and tree.func.id == "C":
        tree = tree.args[0] if tree.args else tree
    if isinstance(tree, ast.Name) and tree.id in variables:
        return tree.id
    if (
        isinstance(tree, ast.Call)
        and isinstance(tree.func, ast.Name)
        and tree.func.id == "Q"
        and tree.args
        and isinstance(tree.args[0], ast.Constant)
        and tree.args[0].value in variables
    ):
        return str(tree.args[0].value)
    return None


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
