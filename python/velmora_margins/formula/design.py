"""How each column of a formula's design matrix is made from the data.

A design column is the product of one column of each factor of its term: a numerical
factor's value, or a categorical factor's row of its contrast matrix for the row's level.
These recipes (read from the formula engine by ``reader``) make the columns again, row for
row, from changed data: a factor set to another level, or the derivatives of the factors
by a variable; and they make a partition's whole design matrix.
"""

from __future__ import annotations

import mmap
import threading
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.errors import DesignError
from velmora_margins.formula.design_columns import (
    CodedColumn,
    DesignColumns,
    HeldColumn,
    design_argument,
)
from velmora_margins.formula.factor import Factor


def fresh_matrix(rows: int, columns: int) -> np.ndarray:
    """Returns a new matrix in Fortran order (it is filled a column at a time) in memory
    mapped for it alone. NumPy asks the system for huge pages for its own large arrays,
    and where the system then compacts memory before each such page is first written,
    that takes several times as long as filling the matrix; mapped memory is unmapped
    when the matrix goes. Its pages come as they are first written, not all at once when
    it is mapped: the system pages in a mapping while holding the process's memory map,
    which made every other thread that took fresh memory wait (two threads took as long
    as one), where pages faulted in by each thread come in parallel."""
    size = rows * columns * 8
    if size == 0:
        return np.empty((rows, columns), order="F")
    buffer = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
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
    ``contrasts[i]`` (None for a numerical factor). A categorical factor's values are the
    rows' level indices, or for rows that stand for a mixture of levels (the means of a
    data set), each level's share: rows x levels, the contrast rows weighted by them.
    """

    index: int
    name: str
    factors: tuple[Factor, ...]
    picks: tuple[int, ...]
    contrasts: tuple[np.ndarray | None, ...]

    def in_place(self, values: Mapping[Factor, np.ndarray], rows: int) -> np.ndarray | None:
        """Returns the column where it needs no making: the intercept's ones (one value
        for every row), or a numerical factor's value as it is, read in place; else None."""
        if not self.factors:
            return np.broadcast_to(np.float64(1.0), (rows,))
        if len(self.factors) == 1 and self.contrasts[0] is None:
            return np.asarray(values[self.factors[0]][:, self.picks[0]])
        return None

    @property
    def codable(self) -> bool:
        """Whether the column can be held as level codes: a column of one categorical
        factor of at most 256 levels (the codes are one byte)."""
        contrast = self.contrasts[0] if len(self.factors) == 1 else None
        return contrast is not None and len(contrast) <= 256

    def coded(
        self, values: Mapping[Factor, np.ndarray], codes: dict[Factor, np.ndarray]
    ) -> CodedColumn | None:
        """Returns the column held as level codes where it is a column of one categorical
        factor, of at most 256 levels, at the rows' levels; else None. The factor's codes
        are made once, into codes, for all its columns."""
        if not self.codable:
            return None
        factor, contrast = self.factors[0], self.contrasts[0]
        assert contrast is not None
        value = values[factor]
        if value.dtype.kind == "f":  # each row's mixture of levels
            return None
        if factor not in codes:
            codes[factor] = value.astype(np.uint8)
        return CodedColumn(codes[factor], np.ascontiguousarray(contrast[:, self.picks[0]]))

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
            if at == 0 and contrast is not None and value.dtype.kind != "f":
                # Each row's level's value, written in place (the codes are all levels).
                np.take(contrast[:, pick], value, out=out, mode="clip")
                continue
            part = factor_part(value, pick, contrast)
            if at == 0:
                out[...] = part
            else:
                np.multiply(out, part, out=out)


def factor_part(value: np.ndarray, pick: int, contrast: np.ndarray | None) -> np.ndarray:
    """Returns the values that one factor contributes to a column: column pick of a
    numerical factor's value, or of its contrast matrix at each row's level (or at each
    row's mixture of levels)."""
    if contrast is None:
        return np.asarray(value[:, pick])
    if value.dtype.kind == "f":
        return np.asarray(value @ contrast[:, pick])
    return np.asarray(contrast[:, pick][value])


@dataclass(frozen=True)
class Design:
    """The recipe of every column of a design matrix and the factors they use."""

    columns: tuple[Column, ...]
    factors: tuple[Factor, ...]
    rhs_order: tuple[str, ...]  # the variables in the order the formula names them
    outcome: Factor | None = None  # the left side, for a fit

    @property
    def variables(self) -> frozenset[str]:
        """The data columns that the factors read."""
        return frozenset().union(*(f.variables for f in self.factors))

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(c.name for c in self.columns)

    @property
    def row_bytes(self) -> int:
        """About how many bytes a row of the design matrix takes where it is kept: eight
        for each column, but none for the intercept (one 1 for every row) and one for all
        the columns of a factor held as level codes."""
        coded = {c.factors[0] for c in self.columns if c.codable}
        return 8 * sum(bool(c.factors) and not c.codable for c in self.columns) + len(coded)

    def values(
        self, data: pd.DataFrame
    ) -> tuple[dict[Factor, np.ndarray], np.ndarray | None, np.ndarray]:
        """Returns each factor's value (numerical) or level indices (categorical) and the
        outcome on the rows where none is missing, and which rows they are: rows where a
        factor or the outcome is missing are left out, as the formula engine leaves them
        out."""
        # Column by column: a reduction along an axis of one value (most factors' values
        # are one column) takes several times as long as the comparisons themselves.
        missing = np.zeros(len(data), dtype=bool)
        values: dict[Factor, np.ndarray] = {}
        for factor in self.factors:
            if factor.numerical:
                value = factor.value(data)
                for column in value.T:
                    missing |= np.isnan(column)
            else:
                value = factor.codes(data, missing=True)
                missing |= value < 0
            values[factor] = value
        outcome = None
        if self.outcome is not None:
            outcome = self.outcome.value(data)
            if outcome.shape[1] != 1:
                raise DesignError(f"the outcome {self.outcome.code} is not one column of numbers")
            missing |= np.isnan(outcome[:, 0])
        keep = ~missing
        if not keep.all():
            values = {f: v[keep] for f, v in values.items()}
            outcome = None if outcome is None else outcome[keep]
        return values, None if outcome is None else outcome[:, 0], keep

    def matrix(
        self, data: pd.DataFrame, reuse: bool = False
    ) -> tuple[DesignColumns, np.ndarray | None, np.ndarray]:
        """Returns the design matrix of data's rows, held as its columns, the outcome, and which
        rows they are (see values). The intercept is one 1 for every row.

        With ``reuse``, for a pass that is done with the rows when it has summed them, a
        column that is a numerical factor's value as it is reads that value in place, and
        only the other columns are made, in this thread's scratch memory (valid until the
        thread makes the next ones). Without it, for rows that are kept, every other column
        is made in memory of the design's own: the data's memory then goes back to its
        allocator for the next partition's reading, where keeping it would have every
        partition read into fresh memory, which took longer, most of all on two threads.

        Either way, a categorical factor's columns are held as its rows' level codes (see
        Column.coded), which take an eighth of the memory of one column for all of them."""
        values, outcome, keep = self.values(data)
        rows = int(keep.sum())
        codes: dict[Factor, np.ndarray] = {}
        columns: list[HeldColumn | None] = []
        for c in self.columns:
            found: HeldColumn | None = c.coded(values, codes)
            if found is None and (reuse or not c.factors):
                found = c.in_place(values, rows)
            columns.append(found)
        made = [c for c in self.columns if columns[c.index] is None]
        store = (scratch_matrix if reuse else fresh_matrix)(rows, len(made))
        for at, column in enumerate(made):
            column.make_into(values, store[:, at])
            columns[column.index] = store[:, at]
        held = tuple(c for c in columns if c is not None)
        assert len(held) == len(self.columns)
        return DesignColumns(held, rows), outcome, keep


def binary_columns(x: np.ndarray | DesignColumns) -> np.ndarray:
    """Returns whether each column of a design matrix holds only 0 and 1."""
    return np.asarray(_kernels.binary_columns(design_argument(x)), dtype=bool)
