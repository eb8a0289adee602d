"""A design matrix held as its columns.

A partition's design matrix is mostly the data's own columns as they are: a numerical
variable's values, and the intercept's ones. Held as columns, those are read in place,
and only the columns that the design makes (a level's indicator, an interaction, a
transformed variable) take memory of their own. The kernels take the columns as a tuple
and gather each block of rows in cache, so the whole matrix is never written out.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from velmora_margins import _kernels


@dataclass(frozen=True)
class DesignColumns:
    """The columns of a rows x k design matrix, each a one-dimensional float64 array."""

    columns: tuple[np.ndarray, ...]
    rows: int

    @property
    def shape(self) -> tuple[int, int]:
        return self.rows, len(self.columns)

    def __len__(self) -> int:
        return self.rows

    def __getitem__(self, rows: slice | np.ndarray) -> DesignColumns:
        """Returns some of the rows: views for a slice, copies for an index array."""
        count = len(range(*rows.indices(self.rows))) if isinstance(rows, slice) else None
        picked = tuple(c[rows] for c in self.columns)
        if count is None:
            count = len(picked[0]) if picked else len(np.arange(self.rows)[rows])
        return DesignColumns(picked, count)

    def __matmul__(self, beta: np.ndarray) -> np.ndarray:
        """Returns X beta, the columns' values times the coefficients, added in order."""
        out = np.zeros(self.rows)
        for column, b in zip(self.columns, beta, strict=True):
            out += column * b
        return out

    def array(self) -> np.ndarray:
        """Returns the columns as one matrix in Fortran order."""
        out = np.empty(self.shape, order="F")
        for at, column in enumerate(self.columns):
            out[:, at] = column
        return out

    def aligned(self) -> tuple[np.ndarray, ...]:
        """Returns the columns, each copied where its data is not aligned in memory."""
        return tuple(c if c.flags.aligned else np.array(c) for c in self.columns)

    def argument(self) -> tuple[np.ndarray, ...] | np.ndarray:
        """Returns the design as the kernels take it: the tuple of its columns, or a
        rows x 0 matrix when there are none."""
        return self.aligned() if self.columns else np.empty((self.rows, 0))

    def binary(self) -> np.ndarray:
        """Returns whether each column holds only 0 and 1."""
        flags = [bool(_kernels.binary_columns(c.reshape(-1, 1))[0]) for c in self.aligned()]
        return np.array(flags, dtype=bool)


def design_argument(x: np.ndarray | DesignColumns) -> np.ndarray | tuple[np.ndarray, ...]:
    """Returns a design matrix, one array or held as columns, as the kernels take it."""
    if isinstance(x, DesignColumns):
        return x.argument()
    return x if x.flags.aligned else np.array(x)
