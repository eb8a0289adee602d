"""Reading a formula and its design from the formula engine (patsy) into recipes.

The engine's design information says, for each term, which factors it multiplies and which
contrast matrix codes each categorical factor; ``read_design`` turns that into the recipes of
``design`` and the factors of ``factor``, which pickle and make the columns again. The
formula's text is read here too: its outcome, the codes of its factors and the data columns
they read.
"""

from __future__ import annotations

import itertools
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from velmora_margins import validation
from velmora_margins.errors import DesignError
from velmora_margins.formula.design import Column, Design
from velmora_margins.formula.factor import Factor, code_names


def formula_codes(formula: str) -> tuple[list[str], list[str]]:
    """Returns the code of each factor of the formula's left and right sides."""
    import patsy

    validation.check_formula(formula)
    try:
        desc = patsy.ModelDesc.from_formula(formula)
    except patsy.PatsyError as error:
        raise validation.unusable_formula(formula, str(error).splitlines()[0]) from None
    lhs = [f.code for term in desc.lhs_termlist for f in term.factors]
    rhs = [f.code for term in desc.rhs_termlist for f in term.factors]
    if len(lhs) != 1:
        raise validation.unusable_formula(formula, "it must name one outcome before '~'")
    return lhs, rhs


def formula_columns(formula: str, columns: Sequence[str]) -> list[str]:
    """Returns the data columns the formula reads, in the data's order."""
    lhs, rhs = formula_codes(formula)
    names = {n for code in lhs + rhs for n in code_names(code)}
    return [c for c in columns if c in names]


def read_design(
    design_info: Any,
    data_columns: Sequence[str],
    formula: str | None,
    outcome_info: Any = None,
) -> Design:
    """Returns the recipe of a patsy DesignInfo's columns; data_columns are the names
    of the data's columns, which the factors' code reads. outcome_info is the design
    of the formula's left side, for a fit."""
    names = set(map(str, data_columns))
    factors = read_factors(design_info, names)
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
    outcome = None
    if outcome_info is not None:
        sides = list(read_factors(outcome_info, names).values())
        if len(sides) != 1 or not sides[0].numerical or sides[0].columns != 1:
            raise DesignError("the outcome of the formula must be one column of 0 and 1")
        outcome = sides[0]
    order = formula_order(formula, factors)
    return Design(tuple(columns), tuple(factors.values()), order, outcome)


def read_factors(design_info: Any, names: set[str]) -> dict[Any, Factor]:
    """Returns a Factor for each factor of a patsy DesignInfo."""
    if not hasattr(design_info, "term_codings") or not hasattr(design_info, "factor_infos"):
        raise DesignError(
            f"the model's formula design is a {type(design_info).__name__}, not a patsy "
            "design; fit the model with statsmodels' patsy formula engine "
            "(statsmodels.formula.options.formula_engine = 'patsy')"
        )
    factors: dict[Any, Factor] = {}
    for source, info in design_info.factor_infos.items():
        code = str(getattr(source, "code", source.name()))
        state = info.state if isinstance(info.state, Mapping) else {}
        eval_code = str(state.get("eval_code", code))
        transforms = dict(state.get("transforms", {}))
        environment = state.get("eval_env")
        namespace = {}
        for name in code_names(eval_code):
            if name in transforms or environment is None:
                continue
            try:
                namespace[name] = environment.namespace[name]
            except KeyError:
                continue  # a column of the data
        factors[source] = Factor(
            code=code,
            eval_code=eval_code,
            numerical=info.type == "numerical",
            columns=int(info.num_columns or 0),
            categories=tuple(info.categories or ()),
            variables=frozenset(code_names(code)) & names,
            namespace=namespace,
            transforms=transforms,
        )
    return factors


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
