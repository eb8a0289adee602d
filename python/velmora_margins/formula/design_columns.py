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
        picked = tuple(c[rows] for c in self.columns)
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

    def argument(self) -> tuple[np.ndarray, ...] | np.ndarray:
        """Returns the design as the kernels take it: the tuple of its columns, or a
        rows x 0 matrix when there are none."""
        if not self.columns:
            return np.empty((self.rows, 0))
        return tuple(aligned(c) for c in self.columns)


def aligned(array: np.ndarray) -> np.ndarray:
    """Returns the array, or a copy where its data is not aligned in memory (an array
    that came over the network may not be), for the kernels."""
    return array if array.flags.aligned else np.array(array)


def design_argument(x: np.ndarray | DesignColumns) -> np.ndarray | tuple[np.ndarray, ...]:
    """Returns a design matrix, one array or held as columns, as the kernels take it."""
    return x.argument() if isinstance(x, DesignColumns) else aligned(x)
