"""The rows of a fit: a pandas DataFrame, a Dask DataFrame, or Parquet or CSV files.

Every source is seen as partitions of rows, loaded one at a time: the parts of a pandas
frame, the partitions of a Dask DataFrame, the files (or their row groups) read by Dask.
Loading a partition keeps only the columns the formula and the options read and checks
that it has them.
"""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import pandas as pd

# Rows per partition of a pandas DataFrame.
FRAME_PARTITION_ROWS = 1 << 20

PARQUET_SUFFIXES = (".parquet", ".pq")
INDEX_FIELD = re.compile(r"__index_level_\d+__")
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zst")


class SourceError(ValueError):
    """The data cannot be read as asked."""


def import_dask() -> Any:
    """Returns dask.dataframe, or fails saying how to install it."""
    try:
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError(
            f"this needs Dask, which cannot be imported ({error}); "
            "install it with: pip install 'velmora[dask]'"
        ) from None
    return dd


@dataclass
class Source:
    """Partitions of rows with the same columns.

    ``frame`` holds a pandas DataFrame's rows; ``dask`` a Dask DataFrame; ``names``
    says what each partition is, for messages (a file name, or "partition 3").
    """

    columns: list[str]
    frame: pd.DataFrame | None = None
    dask: Any = None
    names: list[str] | None = None
    files: str | None = None  # "parquet" or "csv" when the partitions are files
    file_dtypes: dict[str, Any] | None = None  # the columns' types, from the first file
    file_rows: list[int] | None = None  # each file's rows, where its metadata tells

    @property
    def partitions(self) -> int:
        if self.frame is not None:
            return max(1, -(-len(self.frame) // FRAME_PARTITION_ROWS))
        if self.files is not None and self.names is not None:
            return len(self.names)
        return int(self.dask.npartitions)

    def dtypes(self) -> dict[str, Any]:
        """Returns the type of each column."""
        if self.file_dtypes is not None:
            return {c: self.file_dtypes[c] for c in self.columns}
        frame = self.frame if self.frame is not None else self.dask._meta
        return {str(c): frame[c].dtype for c in self.columns}

    def delayed_partitions(self) -> list[Any]:
        """Returns the partitions as Dask's delayed values: a file read for its columns,
        or a Dask DataFrame's own partitions."""
        if self.files is not None and self.names is not None:
            delayed = import_dask_core().delayed
            return [
                delayed(read_file, pure=True)(name, self.files, self.columns) for name in self.names
            ]
        return list(self.dask.to_delayed())

    def describe(self, index: int) -> str:
        if self.names is not None and index < len(self.names):
            return self.names[index]
        return f"partition {index}"

    def select(self, columns: Sequence[str]) -> Source:
        """Returns the source with only the given columns (which it must have)."""
        missing = [c for c in columns if c not in self.columns]
        if missing:
            shown = ", ".join(self.columns[:12])
            raise SourceError(f"no column {missing[0]!r} in the data; columns are: {shown}")
        keep = [c for c in self.columns if c in set(columns)]
        if self.frame is not None:
            return Source(keep, frame=self.frame, names=self.names)
        if self.files is not None:
            return replace(self, columns=keep)  # files are read for those columns alone
        # A Dask DataFrame's partitions are taken whole; each task checks and picks its
        # columns, so that one lacking a column is named.
        return Source(keep, dask=self.dask, names=self.names)

    def local_partition(self, index: int) -> pd.DataFrame:
        """Returns a pandas DataFrame's partition: a slice of its rows (no copy)."""
        assert self.frame is not None
        start = index * FRAME_PARTITION_ROWS
        return self.frame.iloc[start : start + FRAME_PARTITION_ROWS][self.columns]


def open_source(data: Any) -> Source:
    """Returns the partitions of a data argument, or fails naming what is wrong."""
    if isinstance(data, pd.DataFrame):
        if data.columns.has_duplicates:
            raise SourceError("data: the data frame has columns with the same name")
        return Source([str(c) for c in data.columns], frame=data)
    if isinstance(data, str | os.PathLike):
        return open_files(data)
    if type(data).__module__.startswith("dask"):
        if not hasattr(data, "npartitions") or not hasattr(data, "columns"):
            raise TypeError(f"data: expected a Dask DataFrame, got {type(data).__name__}")
        return Source([str(c) for c in data.columns], dask=data)
    raise TypeError(
        "data: expected a pandas DataFrame, a Dask DataFrame, or the path or glob of "
        f"Parquet or CSV files, got {type(data).__name__}"
    )


def file_paths(pattern: str | os.PathLike[str]) -> list[Path]:
    """Returns the data files of a path, a directory or a glob, in name order."""
    text = os.fspath(pattern)
    path = Path(text)
    if path.is_dir():
        found = sorted(p for p in path.iterdir() if p.is_file() and kind_of(p) is not None)
        if not found:
            raise SourceError(f"data: directory '{text}' holds no Parquet or CSV files")
        return found
    if path.is_file():
        return [path]
    if glob.has_magic(text):
        found = sorted(Path(p) for p in glob.glob(text, recursive=True) if Path(p).is_file())
        if not found:
            raise SourceError(f"data: no file matches '{text}'")
        return found
    raise SourceError(f"data: file '{text}' does not exist; check the path")


def kind_of(path: Path) -> str | None:
    name = path.name.lower()
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    return None


def open_files(pattern: str | os.PathLike[str]) -> Source:
    """Returns the partitions of Parquet or CSV files: one per file (Parquet: per file
    as Dask splits it), after checking that the files agree on their columns."""
    paths = file_paths(pattern)
    kinds = {kind_of(p) for p in paths}
    if None in kinds:
        bad = next(p for p in paths if kind_of(p) is None)
        raise SourceError(
            f"data: cannot tell the format of '{bad}' from its name; use .parquet or .csv files"
        )
    if len(kinds) > 1:
        raise SourceError("data: the files mix Parquet and CSV; use one format")
    kind = kinds.pop()
    assert kind is not None
    import_dask()
    rows: list[int] = []
    columns = parquet_columns(paths, rows) if kind == "parquet" else csv_columns(paths)
    names = [str(p) for p in paths]
    first = read_file(names[0], kind, columns, rows=1000)
    dtypes = {str(c): first[c].dtype for c in first.columns}
    return Source(columns, names=names, files=kind, file_dtypes=dtypes, file_rows=rows or None)


def read_file(path: str, kind: str, columns: list[str], rows: int | None = None) -> pd.DataFrame:
    """Returns a data file's columns as a DataFrame (its first rows only, given rows)."""
    if kind == "parquet":
        import pyarrow.parquet as pq

        if rows is not None:
            batch = next(pq.ParquetFile(path).iter_batches(batch_size=rows, columns=columns))
            frame: pd.DataFrame = batch.to_pandas()
        else:
            # In the calling thread, without Arrow's read-ahead: partitions are read in
            # parallel by the scheduler's threads, which would otherwise take turns at
            # Arrow's own pools.
            table = pq.read_table(path, columns=columns, use_threads=False, pre_buffer=False)
            # Column by column, and each column's Arrow memory freed as it is converted.
            frame = table.to_pandas(split_blocks=True, self_destruct=True, use_threads=False)
        return frame
    return pd.read_csv(path, usecols=columns, nrows=rows)


def import_dask_core() -> Any:
    import_dask()
    import dask

    return dask


def parquet_columns(paths: list[Path], counted: list[int]) -> list[str]:
    """Returns the columns of Parquet files, which must agree in names and types, and
    appends each file's rows to counted."""
    import pyarrow.parquet as pq

    first = None
    for path in paths:
        try:
            with pq.ParquetFile(path) as opened:
                schema, rows = opened.schema_arrow, opened.metadata.num_rows
        except Exception as error:  # pyarrow raises several kinds for a bad file
            raise SourceError(f"data: cannot read '{path}' as Parquet: {error}") from None
        counted.append(rows)
        if rows == 0:
            raise SourceError(f"data: '{path}' holds no rows; remove it or fill it")
        # A pandas index written beside the data is not a column of it.
        fields = {f.name: str(f.type) for f in schema if not INDEX_FIELD.fullmatch(f.name)}
        if first is None:
            first = (path, fields)
            continue
        disagree = [
            name
            for name in sorted(set(fields) | set(first[1]))
            if fields.get(name) != first[1].get(name)
        ]
        if disagree:
            name = disagree[0]
            raise SourceError(
                f"data: '{path}' and '{first[0]}' disagree on column '{name}' "
                f"({fields.get(name, 'missing')} against {first[1].get(name, 'missing')}); "
                "every file must have the same columns and types"
            )
    assert first is not None
    return list(first[1])


def csv_columns(paths: list[Path]) -> list[str]:
    """Returns the header of CSV files, which must agree."""
    first: tuple[Path, list[str]] | None = None
    for path in paths:
        try:
            header = [str(c) for c in pd.read_csv(path, nrows=0).columns]
        except Exception as error:
            raise SourceError(f"data: cannot read '{path}' as CSV: {error}") from None
        if first is None:
            first = (path, header)
        elif header != first[1]:
            raise SourceError(
                f"data: '{path}' and '{first[0]}' have different columns; every file must "
                "have the same header"
            )
    assert first is not None
    return first[1]
