"""Learning a formula's design once over all the partitions.

The levels of every categorical variable are the union of each partition's values,
gathered in one pass that runs on every partition at once. The formula engine then
reads the data with those variables as categoricals of the learnt levels, which tells
it the levels without looking through the rows; it reads on only where a stateful
transform (such as center) must see every row.
"""

from __future__ import annotations

import ast
import re
from collections.abc import Iterator
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins import validation
from velmora_margins.errors import DesignError
from velmora_margins.formula.design import Design
from velmora_margins.formula.factor import code_names
from velmora_margins.formula.reader import formula_codes, read_design
from velmora_margins.partitioned.parts import check_partition, partition_name
from velmora_margins.partitioned.runner import Runner
from velmora_margins.partitioned.sources import HEAD_ROWS  # tell the type of every factor


def level_variables(codes: list[str], dtypes: dict[str, Any]) -> list[str]:
    """Returns the variables whose values are a factor's levels everywhere the formula
    uses them: C(variable, ...), or a bare column that is not numeric."""
    as_levels: set[str] = set()
    elsewhere: set[str] = set()
    for code in codes:
        tree = ast.parse(code.strip(), mode="eval").body
        if isinstance(tree, ast.Call) and isinstance(tree.func, ast.Name) and tree.func.id == "C":
            first = tree.args[0] if tree.args else None
            if isinstance(first, ast.Name) and first.id in dtypes:
                as_levels.add(first.id)
                rest = ast.Call(func=tree.func, args=tree.args[1:], keywords=tree.keywords)
                elsewhere |= set(code_names(ast.unparse(rest))) & set(dtypes)
                continue
        if isinstance(tree, ast.Name) and tree.id in dtypes and is_level_dtype(dtypes[tree.id]):
            as_levels.add(tree.id)
            continue
        elsewhere |= set(code_names(code)) & set(dtypes)
    return sorted(as_levels - elsewhere)


def is_level_dtype(dtype: Any) -> bool:
    """Returns whether the formula engine takes a column of this type as categorical."""
    return not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)


def partition_levels(
    frame: pd.DataFrame,
    index: int,
    names: list[str] | None,
    variables: list[str],
    dtypes: dict[str, Any],
) -> dict[str, list[Any]]:
    """Returns the values each variable takes in a partition, missing values left out:
    a categorical's categories, as the formula engine takes them, or for text read as a
    categorical (from a file's dictionary, which may hold values that no row takes) the
    categories its rows take."""
    check_partition(frame, partition_name(names, index), variables)
    out = {}
    for name in variables:
        column = frame[name]
        if not isinstance(column.dtype, pd.CategoricalDtype):
            out[name] = list(pd.unique(column.dropna()))
            continue
        categories = column.cat.categories
        if not isinstance(dtypes[name], pd.CategoricalDtype):
            codes = column.cat.codes.to_numpy()
            taken = np.bincount(codes[codes >= 0], minlength=len(categories)) > 0
            categories = categories[taken]
        out[name] = list(categories)
    return out


def sorted_levels(values: set[Any], dtype: Any) -> tuple[Any, ...]:
    """Returns levels in the order the formula engine gives them."""
    if isinstance(dtype, pd.CategoricalDtype) and dtype.categories is not None:
        return tuple(c for c in dtype.categories if c in values)
    from patsy.util import SortAnythingKey

    return tuple(sorted(values, key=SortAnythingKey))


# How the formula engine says that the formula uses a name it cannot find.
UNDEFINED_NAME = re.compile(r"name '([^']+)' is not defined")


def has_stateful_transform(codes: list[str], eval_env: Any) -> bool:
    """Returns whether the codes call a stateful transform (center, standardize, a spline),
    whose state must be learnt from every row."""
    for code in codes:
        for node in ast.walk(ast.parse(code.strip(), mode="eval")):
            if not isinstance(node, ast.Call):
                continue
            try:
                target = eval(
                    compile(ast.Expression(node.func), "<call>", "eval"), {}, eval_env.namespace
                )
            except Exception:  # a name of the data, or one it cannot resolve: not a transform
                continue
            if getattr(target, "__patsy_stateful_transform__", False):
                return True
    return False


def levels_all_learnt(design_info: Any, variables: list[str]) -> bool:
    """Returns whether every categorical factor of the design takes the levels learnt
    for one of the variables: C(variable, ...) or the variable itself."""
    for factor, info in design_info.factor_infos.items():
        if info.type != "categorical":
            continue
        tree = ast.parse(str(factor.code).strip(), mode="eval").body
        if isinstance(tree, ast.Call) and isinstance(tree.func, ast.Name) and tree.func.id == "C":
            tree = tree.args[0] if tree.args else tree
        if not (isinstance(tree, ast.Name) and tree.id in variables):
            return False
    return True


def learn_design(formula: str, runner: Runner, eval_env: Any) -> Design:
    """Returns the formula's design, learnt over every partition of the runner's data
    (of which it reads the columns that the formula uses)."""
    import patsy

    lhs, rhs = formula_codes(formula)
    columns = runner.source.columns
    used = [c for c in columns if c in {n for code in lhs + rhs for n in code_names(code)}]
    runner = runner.over(used)
    dtypes = runner.source.dtypes()
    check_outcome_type(lhs[0], dtypes, runner)
    variables = level_variables(lhs + rhs, {c: dtypes[c] for c in used})
    found: dict[str, set[Any]] = {name: set() for name in variables}
    if variables:
        # A pass that reads only those variables' columns, text as levels where the
        # source reads it faster so.
        task = partial(
            partition_levels,
            names=runner.names(),
            variables=variables,
            dtypes={name: dtypes[name] for name in variables},
        )
        for part in runner.over(variables, levels=variables).run(task):
            for name, values in part.items():
                found[name].update(values)
    levels = {name: sorted_levels(found[name], dtypes[name]) for name in variables}
    outcome = lhs[0] if lhs[0] in dtypes and pd.api.types.is_bool_dtype(dtypes[lhs[0]]) else None

    def prepared(frame: pd.DataFrame, index: int) -> pd.DataFrame:
        check_partition(frame, runner.describe(index), used)
        frame = frame[used].assign(
            **{
                name: pd.Categorical(frame[name], categories=list(levels[name]))
                for name in variables
            }
        )
        if outcome is not None:
            frame = frame.assign(**{outcome: frame[outcome].astype(np.float64)})
        return frame

    def head() -> Iterator[pd.DataFrame]:
        yield prepared(runner.load(0, rows=HEAD_ROWS), 0)

    def everything() -> Iterator[pd.DataFrame]:
        for index in range(runner.partitions):
            yield prepared(runner.load(index), index)

    # The first rows tell the engine the type of every factor, and the learnt levels tell
    # it the levels; it must see every row only for a stateful transform or a factor whose
    # levels were not learnt (one made by an expression, as C(x > 0)).
    stateful = has_stateful_transform(lhs + rhs, eval_env)
    for rows in (everything,) if stateful else (head, everything):
        try:
            outcome_info, design_info = patsy.incr_dbuilders(
                formula, rows, eval_env=eval_env, NA_action="drop"
            )
        except patsy.PatsyError as error:
            message = str(error).splitlines()[0]
            missing = UNDEFINED_NAME.search(str(error))
            if missing:
                raise validation.unknown_name(formula, missing[1], columns) from None
            raise validation.unusable_formula(formula, message) from None
        if rows is everything or levels_all_learnt(design_info, variables):
            break
    try:
        return read_design(design_info, columns, formula, outcome_info)
    except DesignError as error:
        raise DesignError(f"formula: {error}") from None


def check_outcome_type(outcome: str, dtypes: dict[str, Any], runner: Runner) -> None:
    """Fails when the outcome is a column of the data that holds neither numbers nor
    True/False."""
    dtype = dtypes.get(outcome)
    if dtype is None or pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
        return
    sample = runner.over([outcome]).load(0, rows=HEAD_ROWS)[outcome].dropna().tolist()[:1]
    raise validation.non_numeric_outcome(outcome, sample)
