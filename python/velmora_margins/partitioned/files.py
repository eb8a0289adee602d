"""Parquet and CSV files as data: their format, their paths, their columns and reading them.

A file's format is told by its name: ``.parquet`` or ``.pq``, or ``.csv``, optionally
compressed (``.csv.gz`` and the like). The files of one data set must agree on their
columns (and, for Parquet, their types), which their headers tell without reading rows.
"""

from __future__ import annotations

import glob
import os
import re
from pathlib import Path

import pandas as pd

from velmora_margins.errors import SourceError

PARQUET_SUFFIXES = (".parquet", ".pq")
CSV_SUFFIXES = (".csv",)
COMPRESSION_SUFFIXES = (".gz", ".bz2", ".zip", ".xz", ".zst")
INDEX_FIELD = re.compile(r"__index_level_\d+__")


def file_format(path: Path) -> str | None:
    """Returns "parquet" or "csv", as the file's name tells, or None."""
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in PARQUET_SUFFIXES:
        return "parquet"
    if suffixes and suffixes[-1] in COMPRESSION_SUFFIXES:
        suffixes.pop()
    if suffixes and suffixes[-1] in CSV_SUFFIXES:
        return "csv"
    return None


def unknown_format(path: Path) -> str:
    """Returns the message for a file whose name tells no format."""
    return (
        f"cannot tell the format of '{path}' from its name; "
        "use a .csv (optionally compressed, e.g. .csv.gz) or .parquet file"
    )


def file_paths(pattern: str | os.PathLike[str]) -> list[Path]:
    """Returns the data files of a path, a directory or a glob, in name order."""
    text = os.fspath(pattern)
    path = Path(text)
    if path.is_dir():
        found = sorted(p for p in path.iterdir() if p.is_file() and file_format(p) is not None)
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


def data_files(pattern: str | os.PathLike[str]) -> tuple[list[Path], str]:
    """Returns the files of a path, a directory or a glob, and their one format."""
    paths = file_paths(pattern)
    formats = {file_format(p) for p in paths}
    if None in formats:
        bad = next(p for p in paths if file_format(p) is None)
        raise SourceError(f"data: {unknown_format(bad)}")
    if len(formats) > 1:
        raise SourceError("data: the files mix Parquet and CSV; use one format")
    (kind,) = formats
    assert kind is not None
    return paths, kind


def file_columns(paths: list[Path], kind: str) -> tuple[list[str], list[int] | None]:
    """Returns the columns that the files agree on and, where their metadata tells, each
    file's rows."""
    if kind == "parquet":
        rows: list[int] = []
        return parquet_columns(paths, rows), rows
    return csv_columns(paths), None


def read_file(
    path: str,
    kind: str,
    columns: list[str],
    rows: int | None = None,
    levels: tuple[str, ...] = (),
) -> pd.DataFrame:
    """Returns a data file's columns as a DataFrame (its first rows only, given rows).
    Parquet's text columns among levels come as categoricals, read from the file's
    dictionary of distinct values, without making a string for every row."""
    if kind == "parquet":
        import pyarrow.parquet as pq

        # Mapped rather than read: reading copies the file from the system's cache, which
        # took two thirds of a read's time. Without reading ahead: by default Arrow reads
        # the column chunks of several row groups, all of a small file, before giving the
        # first rows.
        dictionary = [c for c in levels if c in columns] if rows is None else []
        with pq.ParquetFile(
            path, memory_map=True, pre_buffer=False, read_dictionary=dictionary or None
        ) as reader:
            if rows is not None:
                batches = reader.iter_batches(batch_size=rows, columns=columns, use_threads=False)
                frame: pd.DataFrame = next(batches).to_pandas()
            else:
                # The file's own reader, in the calling thread: partitions are read in
                # parallel by the scheduler's threads. (Arrow's reading of a path, through
                # its datasets, decodes on Arrow's own threads while the caller waits, and
                # took half as long again.)
                table = reader.read(columns=columns, use_threads=False)
                # Column by column, and each column's Arrow memory freed as converted.
                frame = table.to_pandas(split_blocks=True, self_destruct=True, use_threads=False)
        return frame
    return pd.read_csv(path, usecols=columns, nrows=rows)


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
