"""Reading the user's data, then fitting and taking the effects through velmora_margins.

The command fits with ``velmora_margins.fit`` and takes the effects with
``velmora_margins.margins``, locally or on Dask; the library checks the formula, the data
and the options, and its messages are shown with the command's option names. Only the
per-design-column table with ``--se-method kova`` comes from ``velmora.zarn``, which alone
offers that method.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from velmora_cli.errors import CliError, first_line

if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterator

    from velmora_cli.progress import Progress
    from velmora_margins import FitResult

FORMAT_NAMES = {"csv": "CSV", "parquet": "Parquet"}

# The command's option for each argument of the library that the options give.
OPTIONS = {
    "formula": "--formula",
    "model": "--model",
    "family": "--family",
    "link": "--link",
    "offset": "--offset",
    "exposure": "--exposure",
    "cov_type": "--cov-type",
    "cluster": "--cluster",
    "weights": "--weights",
    "by": "--by",
    "chunk_size": "--chunk-size",
    "at": "--at",
    "atmeans": "--atmeans",
    "slope": "--slope",
    "comparison": "--comparison",
    "scale": "--scale",
    "hypothesis": "--test",
}


def library_failure(error: Exception, options: dict[str, str] | None = None) -> CliError:
    """Returns the command's failure for an error of the library: the argument it names,
    where that is an option, is named as the option."""
    from velmora_margins import ArgumentError, FormulaError

    if isinstance(error, ArgumentError) and not isinstance(error, FormulaError):
        option = {**OPTIONS, **(options or {})}.get(error.argument)
        if option is not None:
            return CliError(f"{option}: {error.detail}")
    return CliError(first_line(error))


def data_format(path: Path) -> str:
    """Returns "csv" or "parquet" from the file's suffixes, or fails naming the suffixes known."""
    from velmora_margins.partitioned.files import file_format, unknown_format

    kind = file_format(path)
    if kind is None:
        raise CliError(unknown_format(path))
    return kind


def read_data(path: Path) -> pd.DataFrame:
    """Returns the data file as a frame with a fresh 0 … n−1 row index."""
    kind = data_format(path)
    if not path.is_file():
        what = "is a directory, not a file" if path.is_dir() else "does not exist"
        raise CliError(f"data file '{path}' {what}; check the path")
    try:
        frame = pd.read_parquet(path) if kind == "parquet" else pd.read_csv(path)
    except ImportError as error:
        if kind == "parquet":
            raise CliError(
                "reading Parquet files needs pyarrow; "
                "install it with: pip install 'velmora[parquet]'"
            ) from None
        raise CliError(f"cannot read '{path}': {first_line(error)}") from None
    except OSError as error:
        raise CliError(f"cannot read '{path}': {error.strerror or first_line(error)}") from None
    except Exception as error:  # pandas and pyarrow raise many kinds for a malformed file
        raise CliError(
            f"cannot read '{path}' as {FORMAT_NAMES[kind]}: {first_line(error)}"
        ) from None
    if frame.empty:
        raise CliError(f"'{path}' holds no rows of data; check that it is the right file")
    # Logical columns enter the model as numbers, so a True/False outcome is 0/1.
    logical = frame.select_dtypes(include="bool").columns
    frame[logical] = frame[logical].astype(np.int8)
    return frame.reset_index(drop=True)


def require_options_columns(frame: pd.DataFrame, args: argparse.Namespace) -> None:
    """Fails, before the fit, when an option names a column the data lacks."""
    from velmora_margins import ArgumentError
    from velmora_margins.validation import require_column

    columns = [str(c) for c in frame.columns]
    for argument in ("cluster", "by", "weights", "offset", "exposure"):
        name = getattr(args, argument)
        if name is not None:
            try:
                require_column(columns, name, argument)
            except ArgumentError as error:
                raise library_failure(error) from None


def model_title(args: argparse.Namespace) -> str:
    """Returns what the model of --model, --family and --link is called, or fails on a
    choice of them that does not go together."""
    from velmora_margins import ArgumentError
    from velmora_margins.partitioned.models import choose

    try:
        return choose(args.model, args.family, args.link).title
    except ArgumentError as error:
        raise library_failure(error) from None


def fit(data: Any, args: argparse.Namespace, cov_type: str, progress: Any = None) -> FitResult:
    """Returns the model of --formula fitted to the data (a frame, or files on Dask)."""
    import velmora_margins

    try:
        return velmora_margins.fit(
            args.formula,
            data,
            model=args.model,
            family=args.family,
            link=args.link,
            offset=args.offset,
            exposure=args.exposure,
            cov_type=cov_type,
            cluster=args.cluster,
            # --weights weighs the effects' means; only WLS fits with weights.
            weights=args.weights if args.model == "wls" else None,
            progress=progress,
        )
    except (velmora_margins.MarginsError, TypeError, ImportError) as error:
        raise library_failure(error) from None


def effects(result: FitResult, args: argparse.Namespace, progress: Progress) -> pd.DataFrame:
    """Returns the table of effects that the options ask for."""
    import velmora_margins

    common: dict[str, Any] = {
        "by": args.by,
        "weights": args.weights,
        "chunk_size": args.chunk_size,
        "at": dict(args.at) if args.at else None,
        "atmeans": bool(args.atmeans),
        "scale": args.scale or "response",
    }
    try:
        if args.per_column and args.se_method == "kova":
            return per_column_kova(result, args, progress)
        if args.predict:
            return velmora_margins.predictions(result, **common)
        if args.compare is not None:
            return velmora_margins.comparisons(
                result,
                variables=dict(args.compare),
                comparison=args.comparison or "difference",
                **common,
            )
        table = velmora_margins.margins(
            result, per_column=bool(args.per_column), slope=args.slope or "dydx", **common
        )
    except (velmora_margins.MarginsError, TypeError) as error:
        compare = {"variables": "--compare"} if args.compare is not None else None
        raise library_failure(error, compare) from None
    # The per-column table names each column in its term alone, as velmora.zarn does.
    return table.drop(columns="contrast") if args.per_column else table


def tests(table: pd.DataFrame, args: argparse.Namespace) -> list[tuple[str, pd.DataFrame]]:
    """Returns the tests that --pairwise and --test ask for, each with its heading: the
    combinations of the table's rows, and with several equations their joint Wald test."""
    import velmora_margins

    out = []
    try:
        if args.pairwise:
            out.append(
                (
                    "every difference of two rows, bj - bi",
                    velmora_margins.hypotheses(table, "pairwise"),
                )
            )
        if args.test is not None:
            tested = velmora_margins.hypotheses(table, args.test)
            out.append((f"hypotheses: {args.test}", tested))
            if len(tested) > 1:
                out.append(("joint Wald test", velmora_margins.wald(table, args.test)))
    except (velmora_margins.MarginsError, TypeError) as error:
        raise library_failure(error) from None
    return out


def per_column_kova(
    result: FitResult, args: argparse.Namespace, progress: Progress
) -> pd.DataFrame:
    """Returns velmora.zarn's per-column table with se_method="kova", within each group of
    --by on that group's rows."""
    import velmora
    from velmora_margins.effects.statsmodels_result import StatsmodelsShaped
    from velmora_margins.formula.design import binary_columns

    model = result.model
    exog, labels = model.design_matrix(args.by)
    names = list(model.names)

    def table_of(rows: np.ndarray) -> pd.DataFrame:
        shaped = StatsmodelsShaped(model.link, model.params, model.cov, rows, names)
        return table_from_effects(
            velmora.zarn(shaped, chunk_size=args.chunk_size, se_method="kova")
        )

    if labels is None:
        return table_of(exog)
    overall = binary_columns(exog)
    tables = []
    for label, rows in group_rows(exog, pd.Series(labels)):
        for j in np.flatnonzero(binary_columns(rows) & ~overall):
            progress.note(
                f"note: '{names[j]}' holds only 0 and 1 within {args.by} = {label}, so "
                "that group gets its discrete-change effect, not the derivative"
            )
        table = table_of(rows)
        table.insert(0, args.by, [label] * len(table))
        tables.append(table)
    return pd.concat(tables, ignore_index=True)


def group_rows(exog: np.ndarray, groups: pd.Series) -> Iterator[tuple[object, np.ndarray]]:
    """Yields each group's label and its rows of exog, in sorted label order.

    When every group's rows are consecutive, each is a slice: a view of exog. Otherwise
    the rows are put in group order once, one copy for all groups, and sliced from that.
    """
    try:
        codes, labels = pd.factorize(groups, sort=True)
    except TypeError:  # labels of mixed types that do not sort
        codes, labels = pd.factorize(groups, sort=False)
    starts = np.flatnonzero(np.diff(codes)) + 1
    if len(starts) == len(labels) - 1:
        ordered = exog
        bounds = np.concatenate(([0], starts, [len(codes)]))
        first = codes[bounds[:-1]]
        spans = {int(code): (bounds[i], bounds[i + 1]) for i, code in enumerate(first)}
    else:
        order = np.argsort(codes, kind="stable")
        ordered = exog[order]
        ends = np.cumsum(np.bincount(codes, minlength=len(labels)))
        spans = {code: (ends[code - 1] if code else 0, ends[code]) for code in range(len(labels))}
    for code, label in enumerate(labels):
        start, stop = spans[code]
        yield label, ordered[start:stop]


def table_from_effects(effects: pd.DataFrame) -> pd.DataFrame:
    """Returns the effects with their regressor names as a "term" column."""
    table = effects.rename_axis("term").reset_index()
    table["term"] = table["term"].astype(str)
    return table
