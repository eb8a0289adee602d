"""Reading the user's data, fitting the model and computing effects over all rows or by group."""

from __future__ import annotations

import re
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from velmora_cli.errors import CliError, first_line

if TYPE_CHECKING:
    from collections.abc import Iterator

    from velmora_cli.progress import Progress

MODEL_NAMES = {"logit": "Logit", "probit": "Probit"}
CSV_SUFFIXES = (".csv",)
COMPRESSION_SUFFIXES = (".gz", ".bz2", ".zip", ".xz", ".zst")
PARQUET_SUFFIXES = (".parquet", ".pq")
FORMAT_NAMES = {"csv": "CSV", "parquet": "Parquet"}


def import_statsmodels() -> Any:
    """Returns statsmodels' formula API, or fails with how to install it."""
    try:
        import statsmodels.formula.api as smf
    except ImportError as error:
        raise CliError(
            f"the command-line tool fits models with statsmodels, which cannot be imported "
            f"({first_line(error)}); install it with: pip install 'velmora[cli]'"
        ) from None
    return smf


def data_format(path: Path) -> str:
    """Returns "csv" or "parquet" from the file's suffixes, or fails naming the suffixes known."""
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in PARQUET_SUFFIXES:
        return "parquet"
    if suffixes and suffixes[-1] in COMPRESSION_SUFFIXES:
        suffixes.pop()
    if suffixes and suffixes[-1] in CSV_SUFFIXES:
        return "csv"
    raise CliError(
        f"cannot tell the format of '{path}' from its name; "
        "use a .csv (optionally compressed, e.g. .csv.gz) or .parquet file"
    )


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


def describe_columns(frame: pd.DataFrame) -> str:
    """Returns the frame's column names as a short list for messages."""
    names = [str(c) for c in frame.columns]
    shown = ", ".join(names[:12])
    return shown + (f", … ({len(names)} in all)" if len(names) > 12 else "")


def require_column(frame: pd.DataFrame, column: str, option: str) -> None:
    """Fails unless the frame has the column an option names."""
    if column not in frame.columns:
        raise CliError(
            f"{option}: no column '{column}' in the data; columns are: {describe_columns(frame)}",
        )


def check_outcome(frame: pd.DataFrame, formula: str) -> None:
    """Fails early when the formula's left side is a data column that is not 0/1."""
    if "~" not in formula:
        raise CliError(
            f"formula '{formula}' has no '~'; write it as outcome ~ regressors, "
            'e.g. "y ~ x1 + x2 + C(group)"'
        )
    outcome = formula.split("~", 1)[0].strip()
    if not outcome:
        raise CliError(f"formula '{formula}' names no outcome before '~'")
    if outcome not in frame.columns:
        return  # an expression or a missing column; the formula step reports it
    values = frame[outcome]
    if not pd.api.types.is_numeric_dtype(values):
        sample = values.dropna().tolist()[:1]
        holds = f" (it holds values such as {sample[0]!r})" if sample else ""
        raise CliError(f"outcome '{outcome}' is not numeric{holds}; recode it as 0 and 1")
    bad = values[values.notna() & ~values.isin((0, 1))]
    if len(bad):
        raise CliError(
            f"outcome '{outcome}' must hold only 0 and 1, but {len(bad)} rows hold other "
            f"values, such as {bad.tolist()[0]!r}; recode it as 0 and 1"
        )


def build_model(frame: pd.DataFrame, formula: str, kind: str) -> Any:
    """Returns the unfitted statsmodels model of the formula on the data."""
    smf = import_statsmodels()
    check_outcome(frame, formula)
    factory = smf.logit if kind == "logit" else smf.probit
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = factory(formula, data=frame)
    except Exception as error:  # patsy's errors and statsmodels' checks of endog
        text = first_line(error)
        missing = re.search(r"name '([^']+)' is not defined", text)
        if missing:
            raise CliError(
                f"formula '{formula}' uses '{missing.group(1)}', which is not a column of "
                f"the data; columns are: {describe_columns(frame)}"
            ) from None
        if "multiple columns" in text:
            raise CliError(
                f"the outcome of '{formula}' is not numeric; recode it as 0 and 1"
            ) from None
        if "unit interval" in text:
            raise CliError(
                f"the outcome of '{formula}' must hold only 0 and 1; recode it"
            ) from None
        raise CliError(
            f"cannot use formula '{formula}': {text}; "
            'write it as outcome ~ regressors, e.g. "y ~ x1 + x2 + C(group)"'
        ) from None
    endog = np.asarray(model.endog)
    if endog.size == 0:
        raise CliError(f"no rows left for '{formula}' once rows with missing values are dropped")
    if not np.isin(endog, (0.0, 1.0)).all():
        raise CliError(f"the outcome of '{formula}' must hold only 0 and 1; recode it")
    rank, columns = design_rank(np.asarray(model.exog, dtype=np.float64)), model.exog.shape[1]
    if rank < columns:
        raise CliError(
            f"the regressors of '{formula}' are collinear: their {columns} columns have rank "
            f"{rank}, so some coefficients are not identified; drop the redundant terms"
        )
    return model


def design_rank(exog: np.ndarray) -> int:
    """Returns the numerical rank of the design matrix.

    The rank counts the singular values above s_max * max(n, k) * eps, s_max the largest
    singular value and eps the spacing of doubles at 1 (NumPy's default rule). The singular
    values are those of R in X = QR, which has only k x k values, so a tall design costs
    one QR factorisation.
    """
    rows, columns = exog.shape
    if rows == 0 or columns == 0:
        return 0
    if not np.isfinite(exog).all():
        raise CliError("the design matrix holds infinite values; check the data for them")
    triangle = np.linalg.qr(exog, mode="r") if rows > columns else exog
    singular = np.linalg.svd(triangle, compute_uv=False)
    tolerance = singular.max(initial=0.0) * max(rows, columns) * np.finfo(np.float64).eps
    return int(np.count_nonzero(singular > tolerance))


def used_rows(model: Any, frame: pd.DataFrame, column: str, option: str) -> pd.Series:
    """Returns the column's values on the rows the model keeps, failing on missing values."""
    require_column(frame, column, option)
    values: pd.Series = frame[column].loc[model.data.row_labels]
    missing = int(values.isna().sum())
    if missing:
        raise CliError(
            f"{option}: column '{column}' is missing in {missing} of the rows the model uses; "
            "fill those values or drop those rows"
        )
    return values


def fit_model(model: Any, cov_type: str, cluster: pd.Series | None, progress: Progress) -> Any:
    """Returns the fitted result, or fails if the fit separates, diverges or breaks down."""
    from statsmodels.tools.sm_exceptions import (
        ConvergenceWarning,
        PerfectSeparationError,
        PerfectSeparationWarning,
    )

    options: dict[str, Any] = {"disp": 0}
    if cov_type == "cluster":
        assert cluster is not None
        options["cov_type"] = "cluster"
        options["cov_kwds"] = {"groups": pd.factorize(cluster)[0]}
    elif cov_type != "nonrobust":
        options["cov_type"] = cov_type
    name = type(model).__name__
    separated = (
        f"the outcome is perfectly separated: some regressors predict it exactly, so the "
        f"{name} coefficients do not exist; drop or merge those regressors or categories"
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = model.fit(**options)
        except PerfectSeparationError:
            raise CliError(separated) from None
        except np.linalg.LinAlgError as error:
            raise CliError(
                f"the {name} fit failed ({first_line(error)}); "
                "look for regressors that are collinear or constant and drop them"
            ) from None
        except Exception as error:
            raise CliError(f"the {name} fit failed: {first_line(error)}") from None
        if any(w.category is PerfectSeparationWarning for w in caught):
            raise CliError(separated)
        if not result.mle_retvals.get("converged", True):
            # Newton's method fails to converge on separated data as the coefficients run
            # off; the sign is rows whose outcome the model predicts exactly.
            fitted = np.asarray(result.predict())
            if np.any(np.abs(fitted - np.asarray(model.endog)) < 1e-6):
                raise CliError(separated)
            raise CliError(
                f"the {name} fit did not converge in "
                f"{result.mle_retvals.get('iterations', '?')} iterations; "
                "rescale the regressors or simplify the model"
            )
    reported: set[str] = set()
    for w in caught:
        text = first_line(w.message) if isinstance(w.message, Warning) else str(w.message)
        if w.category is not ConvergenceWarning and text not in reported:
            reported.add(text)
            progress.note(f"warning from the fit: {text}")
    return result


class _GroupRows:
    """A fitted result seen through a subset of its rows.

    It carries the coefficients and the full covariance of the fit over all rows, and the
    design rows of one group, so that the effects are averaged over that group only.
    """

    def __init__(self, result: Any, rows: np.ndarray) -> None:
        self.params = np.asarray(result.params, dtype=np.float64)
        self._cov = np.asarray(result.cov_params(), dtype=np.float64)
        self.exog = rows
        self.exog_names = list(result.model.exog_names)

    def cov_params(self) -> np.ndarray:
        return self._cov


# The effects routine recognises the model by its class name.
class Logit(_GroupRows):
    pass


class Probit(_GroupRows):
    pass


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


def effects_by_group(
    result: Any,
    groups: pd.Series,
    zarn_options: dict[str, Any],
    group_column: str,
    progress: Progress,
) -> pd.DataFrame:
    """Returns the effects within each group, stacked, with the group as the first column."""
    import velmora

    kind = Logit if type(result.model).__name__ == "Logit" else Probit
    exog = np.asarray(result.model.exog)
    names = list(result.model.exog_names)
    overall_binary = binary_columns(exog)
    tables = []
    for label, rows in group_rows(exog, groups):
        for j in np.flatnonzero(binary_columns(rows) & ~overall_binary):
            progress.note(
                f"note: '{names[j]}' holds only 0 and 1 within {group_column} = {label}, so "
                "that group gets its discrete-change effect, not the derivative"
            )
        table = table_from_effects(velmora.zarn(kind(result, rows), **zarn_options))
        table.insert(0, group_column, [label] * len(table))
        tables.append(table)
    return pd.concat(tables, ignore_index=True)


def binary_columns(exog: np.ndarray) -> np.ndarray:
    """Returns which columns hold nothing but 0 and 1."""
    return np.asarray(((exog == 0.0) | (exog == 1.0)).all(axis=0))


def table_from_effects(effects: pd.DataFrame) -> pd.DataFrame:
    """Returns the effects with their regressor names as a "term" column."""
    table = effects.rename_axis("term").reset_index()
    table["term"] = table["term"].astype(str)
    return table


def effects_by_variable(result: Any, args: Any) -> pd.DataFrame:
    """Returns the effects by variable (or per column, with weights) of velmora_margins."""
    import velmora_margins

    try:
        return velmora_margins.margins(
            result,
            by=args.by,
            weights=args.weights,
            per_column=bool(args.per_column),
            chunk_size=args.chunk_size,
        )
    except (ValueError, TypeError) as error:
        raise CliError(f"computing the effects failed: {first_line(error)}") from None
