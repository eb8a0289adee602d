"""The rows of a fit: a pandas DataFrame, a Dask DataFrame, or Parquet or CSV files.

Every source is partitions of rows with the same columns, loaded one at a time: slices of a
pandas frame (run in this process's threads), the partitions of a Dask DataFrame, or the
files, read by Dask's workers. A source knows its columns and their types, names its
partitions for messages, narrows itself to the columns a pass reads, and loads a partition.
"""

from __future__ import annotations

import os
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import pandas as pd

from velmora_margins.errors import SourceError
from velmora_margins.partitioned.files import data_files, file_columns, read_file
from velmora_margins.validation import no_column

# Rows per partition of a pandas DataFrame.
FRAME_PARTITION_ROWS = 1 << 20
# The first file's rows read when files are opened, for the columns' types; the source
# keeps them for the passes that look at the first rows alone.
HEAD_ROWS = 1000


def import_dask() -> Any:
    """Returns Dask, or fails saying how to install it. Its data frames are not imported:
    files are read by tasks of this package's own, and a Dask DataFrame that is given has
    imported them; importing them takes half a second."""
    try:
        import dask
    except ImportError as error:
        raise ImportError(
            f"this needs Dask, which cannot be imported ({error}); "
            "install it with: pip install 'velmora[dask]'"
        ) from None
    return dask


def threaded_scheduler() -> Callable[..., Any]:
    """Returns Dask's threaded scheduler as its function. Named "threads" instead, Dask
    would first look for a dask.distributed client, importing dask.distributed to do so,
    which takes a third of a second where it has not been imported."""
    import_dask()
    import dask.threaded

    get: Callable[..., Any] = dask.threaded.get
    return get


@dataclass(frozen=True, eq=False)
class Source(ABC):
    """Partitions of rows with the same columns."""

    columns: tuple[str, ...]

    # Whether the partitions are run in this process's threads rather than on Dask.
    local = False

    @property
    @abstractmethod
    def partitions(self) -> int: ...

    @abstractmethod
    def describe(self, index: int) -> str:
        """Returns what partition number index is called in messages."""

    @abstractmethod
    def dtypes(self) -> dict[str, Any]:
        """Returns the type of each column."""

    @abstractmethod
    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        """Returns partition number index (its first rows only, given rows), loaded in this
        process."""

    def rows(self) -> int | None:
        """Returns how many rows there are, where that is known without reading them."""
        return None

    def partition_rows(self) -> tuple[int, ...] | None:
        """Returns each partition's rows, where they are known without reading them."""
        return None

    def reading_levels(self, columns: Sequence[str]) -> Source:
        """Returns the source reading those of the given columns that only name levels as
        categoricals, where it reads them faster so (text in Parquet files)."""
        return self

    def select(self, columns: Sequence[str]) -> Source:
        """Returns the source with only the given columns (which it must have)."""
        missing = [c for c in columns if c not in self.columns]
        if missing:
            raise SourceError(no_column(missing[0], self.columns))
        wanted = set(columns)
        return replace(self, columns=tuple(c for c in self.columns if c in wanted))


@dataclass(frozen=True, eq=False)
class FrameSource(Source):
    """A pandas DataFrame, in partitions of consecutive rows (slices, not copies)."""

    frame: pd.DataFrame = field(default_factory=pd.DataFrame)
    local = True

    @property
    def partitions(self) -> int:
        return max(1, -(-len(self.frame) // FRAME_PARTITION_ROWS))

    def describe(self, index: int) -> str:
        if self.partitions == 1:
            return "the data"
        start = index * FRAME_PARTITION_ROWS
        stop = min(start + FRAME_PARTITION_ROWS, len(self.frame))
        return f"rows {start} to {stop - 1} of the data"

    def dtypes(self) -> dict[str, Any]:
        return {c: self.frame[c].dtype for c in self.columns}

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        start = index * FRAME_PARTITION_ROWS
        stop = start + (FRAME_PARTITION_ROWS if rows is None else min(rows, FRAME_PARTITION_ROWS))
        return self.frame.iloc[start:stop][list(self.columns)]

    def rows(self) -> int | None:
        return len(self.frame)

    def partition_rows(self) -> tuple[int, ...] | None:
        return tuple(
            min(FRAME_PARTITION_ROWS, len(self.frame) - i * FRAME_PARTITION_ROWS)
            for i in range(self.partitions)
        )


@dataclass(frozen=True, eq=False)
class DaskFrameSource(Source):
    """A Dask DataFrame's partitions. Its tasks take partitions whole and check and pick
    their columns, so that a partition that lacks a column is named."""

    frame: Any = None

    @property
    def partitions(self) -> int:
        return int(self.frame.npartitions)

    def describe(self, index: int) -> str:
        return f"partition {index}"

    def dtypes(self) -> dict[str, Any]:
        meta = self.frame._meta
        return {c: meta[c].dtype for c in self.columns}

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        part = self.frame.get_partition(index)
        loaded: pd.DataFrame = import_dask().compute(part, scheduler=threaded_scheduler())[0]
        return loaded if rows is None else loaded.iloc[:rows]

    def delayed(self) -> list[Any]:
        """Returns the partitions as Dask's delayed values."""
        return list(self.frame.to_delayed())


@dataclass(frozen=True, eq=False)
class FileSource(Source):
    """Parquet or CSV files, a partition each, read for the source's columns alone."""

    paths: tuple[str, ...] = ()
    kind: str = "parquet"  # or "csv"
    file_rows: tuple[int, ...] | None = None  # each file's rows, where metadata tells
    levels: tuple[str, ...] = ()  # text columns read as categoricals (see reading_levels)
    head: pd.DataFrame | None = None  # the first file's first rows, every column, as read

    @property
    def file_dtypes(self) -> dict[str, Any]:
        """Every column's type, as the first file's first rows have it."""
        return {} if self.head is None else {str(c): self.head[c].dtype for c in self.head}

    @property
    def partitions(self) -> int:
        return len(self.paths)

    def describe(self, index: int) -> str:
        return self.paths[index]

    def dtypes(self) -> dict[str, Any]:
        every = self.file_dtypes
        return {c: every[c] for c in self.columns}

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        if index == 0 and rows is not None and self.head is not None and rows <= len(self.head):
            # First rows are read as they are stored, text as text, whatever the levels.
            return self.head[list(self.columns)].head(rows)
        return read_file(self.paths[index], self.kind, list(self.columns), rows, self.levels)

    def reading_levels(self, columns: Sequence[str]) -> Source:
        if self.kind != "parquet":
            return self
        dtypes = self.file_dtypes
        text = tuple(
            c for c in columns if c in self.columns and isinstance(dtypes[c], pd.StringDtype)
        )
        return replace(self, levels=text)

    def rows(self) -> int | None:
        return None if self.file_rows is None else sum(self.file_rows)

    def partition_rows(self) -> tuple[int, ...] | None:
        return self.file_rows

    def delayed(self) -> list[Any]:
        """Returns the files' reading, for their columns, as Dask's delayed values."""
        delayed = import_dask().delayed
        return [
            delayed(read_file, pure=True)(path, self.kind, list(self.columns), None, self.levels)
            for path in self.paths
        ]


def open_source(data: Any) -> Source:
    """Returns the partitions of a data argument, or fails naming what is wrong."""
    if isinstance(data, pd.DataFrame):
        if data.columns.has_duplicates:
            raise SourceError("data: the data frame has columns with the same name")
        return FrameSource(tuple(str(c) for c in data.columns), frame=data)
    if isinstance(data, str | os.PathLike):
        return open_files(data)
    if type(data).__module__.startswith("dask"):
        if not hasattr(data, "npartitions") or not hasattr(data, "columns"):
            raise TypeError(f"data: expected a Dask DataFrame, got {type(data).__name__}")
        return DaskFrameSource(tuple(str(c) for c in data.columns), frame=data)
    raise TypeError(
        "data: expected a pandas DataFrame, a Dask DataFrame, or the path or glob of "
        f"Parquet or CSV files, got {type(data).__name__}"
    )


def open_files(pattern: str | os.PathLike[str]) -> FileSource:
    """Returns the files of a path, a directory or a glob as partitions, after checking
    that they agree on their columns."""
    paths, kind = data_files(pattern)
    import_dask()
    columns, rows = file_columns(paths, kind)
    names = tuple(str(p) for p in paths)
    return FileSource(
        tuple(columns),
        paths=names,
        kind=kind,
        file_rows=None if rows is None else tuple(rows),
        head=read_file(names[0], kind, columns, rows=HEAD_ROWS),
    )
