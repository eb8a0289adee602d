"""How each column of a formula's design matrix is made from the data.

A patsy design column is the product of one column of each factor of its term: a
numerical factor's value, or a categorical factor's row of its contrast matrix for
the row's level. This module reads that recipe from the design information of a
fitted model, so that the columns can be made again, row for row, from changed data:
a factor set to another level, or the derivatives of the factors by a variable.
"""

from __future__ import annotations

import itertools
import mmap
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.formula.factor import DesignError, Factor, code_names


def fresh_matrix(rows: int, columns: int) -> np.ndarray:
    """Returns a new matrix in Fortran order (it is filled a column at a time) in memory
    mapped for it alone. NumPy asks the system for huge pages for its own large arrays,
    and where the system then compacts memory before each such page is first written,
    that takes several times as long as filling the matrix; mapped memory is paged in as
    it is written, and unmapped when the matrix goes."""
    size = rows * columns * 8
    if size == 0:
        return np.empty((rows, columns), order="F")
    buffer = mmap.mmap(-1, size)
    return np.frombuffer(buffer, dtype=np.float64).reshape((rows, columns), order="F")


_scratch = threading.local()


def scratch_matrix(rows: int, columns: int) -> np.ndarray:
    """Returns a matrix in Fortran order in this thread's scratch memory, which grows to
    the largest asked for and is written over by the next call."""
    size = rows * columns
    buffer: np.ndarray | None = getattr(_scratch, "buffer", None)
    if buffer is None or buffer.size < size:
        buffer = fresh_matrix(size, 1).reshape(-1)
        _scratch.buffer = buffer
    return buffer[:size].reshape((rows, columns), order="F")


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
        out = np.empty(rows)
        self.make_into(values, out)
        return out

    def make_into(self, values: Mapping[Factor, np.ndarray], out: np.ndarray) -> None:
        """Writes the column into out. The first factor's values are taken as they are:
        the design starts from ones, and 1 times a value is that value."""
        if not self.factors:
            out[...] = 1.0
        for at, (factor, pick, contrast) in enumerate(
            zip(self.factors, self.picks, self.contrasts, strict=True)
        ):
            value = values[factor]
            part = value[:, pick] if contrast is None else contrast[:, pick][value]
            if at == 0:
                out[...] = part
            else:
                np.multiply(out, part, out=out)


@dataclass(frozen=True)
class Design:
    """The recipe of every column of a design matrix and the factors they use."""

    columns: tuple[Column, ...]
    factors: tuple[Factor, ...]
    rhs_order: tuple[str, ...]  # the variables in the order the formula names them
    outcome: Factor | None = None  # the left side, for a fit

    def variables(self) -> frozenset[str]:
        return frozenset().union(*(f.variables for f in self.factors))

    def columns_of(self, factor: Factor) -> list[Column]:
        return [c for c in self.columns if any(f is factor for f in c.factors)]

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(c.name for c in self.columns)

    def matrix(
        self, data: pd.DataFrame, reuse: bool = False
    ) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
        """Returns the design matrix of data's rows (Fortran order), the outcome, and which
        rows they are: rows where a factor or the outcome is missing are left out, as the
        formula engine leaves them out. With ``reuse``, the matrix lives in this thread's
        scratch memory, valid until the thread makes the next one."""
        rows = len(data)
        keep = np.ones(rows, dtype=bool)
        values: dict[Factor, np.ndarray] = {}
        for factor in self.factors:
            if factor.numerical:
                value = factor.value(data)
                keep &= ~np.isnan(value).any(axis=1)
            else:
                value = factor.codes(data, missing=True)
                keep &= value >= 0
            values[factor] = value
        outcome = None
        if self.outcome is not None:
            outcome = self.outcome.value(data)
            if outcome.shape[1] != 1:
                raise DesignError(f"the outcome {self.outcome.code} is not one column of numbers")
            keep &= ~np.isnan(outcome[:, 0])
        if not keep.all():
            values = {f: v[keep] for f, v in values.items()}
            outcome = None if outcome is None else outcome[keep]
        kept = int(keep.sum())
        x = (
            scratch_matrix(kept, len(self.columns))
            if reuse
            else fresh_matrix(kept, len(self.columns))
        )
        for column in self.columns:
            column.make_into(values, x[:, column.index])
        return x, None if outcome is None else outcome[:, 0], keep


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
