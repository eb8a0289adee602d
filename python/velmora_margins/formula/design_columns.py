"""A design matrix held as its columns.

A partition's design matrix is mostly the data's own columns as they are: a numerical
variable's values, and the intercept's ones. Held as columns, those are read in place,
and only the columns that the design makes (an interaction, a transformed variable) take
memory of their own. The columns of a categorical factor are held as its rows' level
codes, one byte a row for all of them, and each column's value for every level. The
kernels take the columns as a tuple and gather each block of rows in cache, so the whole
matrix is never written out.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class CodedColumn:
    """A column whose value in row i is ``table[codes[i]]``: the rows' level codes (uint8,
    shared by a factor's columns) and the column's value for each level."""

    codes: np.ndarray
    table: np.ndarray

    def __len__(self) -> int:
        return len(self.codes)

    def __getitem__(self, rows: slice | np.ndarray) -> CodedColumn:
        return CodedColumn(self.codes[rows], self.table)

    def values(self) -> np.ndarray:
        """Returns the column's values, one float64 for each row."""
        return np.take(self.table, self.codes)


HeldColumn = np.ndarray | CodedColumn
# A column as the kernels take it: its values, or a coded one's (codes, table).
KernelColumn = np.ndarray | tuple[np.ndarray, np.ndarray]


@dataclass(frozen=True)
class DesignColumns:
    """The columns of a rows x k design matrix: one-dimensional float64 arrays, or a
    categorical factor's columns held as its rows' level codes."""

    columns: tuple[HeldColumn, ...]
    rows: int

    @property
    def shape(self) -> tuple[int, int]:
        return self.rows, len(self.columns)

    def __len__(self) -> int:
        return self.rows

    def __getitem__(self, rows: slice | np.ndarray) -> DesignColumns:
        """Returns some of the rows: views for a slice, copies for an index array."""
        picked = tuple(c[rows] for c in self.columns)
        count = len(picked[0]) if picked else len(np.arange(self.rows)[rows])
        return DesignColumns(picked, count)

    def __matmul__(self, beta: np.ndarray) -> np.ndarray:
        """Returns X beta, the columns' values times the coefficients, added in order."""
        out = np.zeros(self.rows)
        for column, b in zip(self.columns, beta, strict=True):
            if isinstance(column, CodedColumn):
                out += np.take(column.table * b, column.codes)
            else:
                out += column * b
        return out

    def array(self) -> np.ndarray:
        """Returns the columns as one matrix in Fortran order."""
        out = np.empty(self.shape, order="F")
        for at, column in enumerate(self.columns):
            out[:, at] = column.values() if isinstance(column, CodedColumn) else column
        return out

    def argument(self) -> tuple[KernelColumn, ...] | np.ndarray:
        """Returns the design as the kernels take it: the tuple of its columns, a coded
        one as (codes, table), or a rows x 0 matrix when there are none."""
        if not self.columns:
            return np.empty((self.rows, 0))
        return tuple(kernel_column(c) for c in self.columns)


def kernel_column(column: HeldColumn) -> KernelColumn:
    """Returns a column as the kernels take it."""
    if isinstance(column, CodedColumn):
        return aligned(column.codes), aligned(column.table)
    return aligned(column)


def aligned(array: np.ndarray) -> np.ndarray:
    """Returns the array, or a copy where its data is not aligned in memory (an array
    that came over the network may not be), for the kernels."""
    return array if array.flags.aligned else np.array(array)


def design_argument(x: np.ndarray | DesignColumns) -> np.ndarray | tuple[KernelColumn, ...]:
    """Returns a design matrix, one array or held as columns, as the kernels take it."""
    return x.argument() if isinstance(x, DesignColumns) else aligned(x)
