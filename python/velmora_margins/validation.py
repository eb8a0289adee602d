"""The checks of what callers pass in, each message written once.

The library and the ``velmora`` command both check through here, so that one fault reads the
same wherever it is found. A check names the argument at fault and says how to fix it; the
faults that only the rows can show (a missing group label in one partition, say) are
checked where the rows are read, with the same words, after the partition's name.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.errors import ArgumentError, FormulaError, MarginsError, PartitionError

# Covariances of the coefficients that a fit offers.
COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3", "cluster")

# How a formula is written, for messages.
FORMULA_EXAMPLE = 'write it as outcome ~ regressors, e.g. "y ~ x1 + x2 + C(group)"'

# How many column names a message lists.
SHOWN_COLUMNS = 12


def shown_columns(columns: Iterable[object]) -> str:
    """Returns column names as a short list for messages."""
    names = [str(c) for c in columns]
    shown = ", ".join(names[:SHOWN_COLUMNS])
    return shown + (f", … ({len(names)} in all)" if len(names) > SHOWN_COLUMNS else "")


def no_column(name: str, columns: Sequence[str]) -> str:
    """Returns the message for a column that the data lacks."""
    return f"no column {name!r} in the data; columns are: {shown_columns(columns)}"


def require_column(columns: Sequence[str] | None, name: str, argument: str) -> None:
    """Fails unless the data has the column that an argument names; columns None stands for
    a model fitted without the data of a formula."""
    if columns is None:
        raise ArgumentError(
            argument,
            "a column name needs the data of a formula fit; this result was fitted without "
            "a formula, so pass the values instead",
        )
    if name not in columns:
        raise ArgumentError(argument, no_column(name, columns))


def column_name(value: object, argument: str) -> str | None:
    """Returns an argument that names a column, or None; anything else is a TypeError."""
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{argument}: expected a column name, got {type(value).__name__}")
    return value


def chunk_size(value: object) -> int | None:
    """Returns a chunk size: None, or a whole number of rows, at least 1."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int | np.integer):
        raise TypeError(f"chunk_size: expected a whole number of rows, got {value!r}")
    if value < 1:
        raise ArgumentError("chunk_size", f"must be at least 1 row, got {value}")
    return int(value)


def variable_names(variables: Sequence[str] | str) -> list[str]:
    """Returns the requested variables' names, in order and without repeats."""
    if isinstance(variables, str):
        variables = [variables]
    names = list(dict.fromkeys(variables))
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"variables: expected names as str, got {type(name).__name__}")
    if not names:
        raise ArgumentError("variables", "the list is empty; name at least one variable")
    return names


def weight_values(values: object) -> np.ndarray:
    """Returns weights given as values, one per row, as a float array."""
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError("weights: expected numbers, one per row") from None
    if array.ndim != 1:
        raise ArgumentError(
            "weights", f"expected one value per row, got an array of shape {array.shape}"
        )
    return array


def weight_problem(values: np.ndarray) -> str | None:
    """Returns what is wrong with weights (NaN, infinite or negative ones), or None."""
    nan = np.isnan(values)
    if nan.any():
        return f"{int(nan.sum())} values are NaN"
    if not np.isfinite(values).all():
        return "some values are infinite"
    negative = values < 0
    if negative.any():
        return f"{int(negative.sum())} values are negative, such as {values[negative][0]}"
    return None


def check_weights(values: np.ndarray, argument: str = "weights") -> None:
    """Fails unless every weight is finite and at least 0."""
    problem = weight_problem(values)
    if problem is not None:
        raise ArgumentError(argument, problem)


def missing_labels(values: pd.Series, column: str, argument: str, where: str | None = None) -> None:
    """Fails when a column of labels (groups, clusters) is missing on some of the rows the
    model uses; where names the partition, if the rows are one."""
    missing = int(values.isna().sum())
    if not missing:
        return
    detail = (
        f"is missing in {missing} of the rows the model uses; fill those values or drop those rows"
    )
    if where is None:
        raise ArgumentError(argument, f"column {column!r} {detail}")
    raise PartitionError(f"{where}: {argument} column {column!r} {detail}")


def cov_type(value: object, cluster: str | None) -> str:
    """Returns the covariance type, spelt as in COV_TYPES, that goes with cluster."""
    by_lower = {name.lower(): name for name in COV_TYPES}
    chosen = by_lower.get(str(value).lower())
    if chosen is None:
        raise ArgumentError("cov_type", f"expected one of {', '.join(COV_TYPES)}, got {value!r}")
    if cluster is not None and chosen == "nonrobust":
        chosen = "cluster"
    if chosen == "cluster" and cluster is None:
        raise ArgumentError(
            "cov_type", "'cluster' needs cluster=COLUMN, the column of cluster labels"
        )
    if cluster is not None and chosen != "cluster":
        raise ArgumentError(
            "cluster", f"a cluster column goes with cov_type='cluster', not {chosen!r}"
        )
    return chosen


def check_formula(formula: object) -> str:
    """Returns the formula if it names an outcome before '~'."""
    if not isinstance(formula, str):
        raise TypeError(f"formula: expected text, got {type(formula).__name__}")
    if "~" not in formula:
        raise FormulaError(f"formula '{formula}' has no '~'; {FORMULA_EXAMPLE}")
    if not formula.split("~", 1)[0].strip():
        raise FormulaError(f"formula '{formula}' names no outcome before '~'")
    return formula


def unusable_formula(formula: str, reason: str) -> FormulaError:
    """Returns the error of a formula that the formula engine cannot read or evaluate."""
    return FormulaError(f"cannot use formula '{formula}': {reason}; {FORMULA_EXAMPLE}")


def unknown_name(formula: str, name: str, columns: Sequence[str]) -> FormulaError:
    """Returns the error of a formula that uses a name the data and its namespace lack."""
    return FormulaError(
        f"formula '{formula}' uses '{name}', which is not a column of the data; columns "
        f"are: {shown_columns(columns)}"
    )


def non_numeric_outcome(name: str, sample: Sequence[Any]) -> FormulaError:
    """Returns the error of an outcome column that does not hold numbers."""
    holds = f" (it holds values such as {sample[0]!r})" if len(sample) else ""
    return FormulaError(f"outcome '{name}' is not numeric{holds}; recode it as 0 and 1")


def outcome_problem(values: np.ndarray, name: str) -> str | None:
    """Returns what is wrong with the values of a 0/1 outcome, or None."""
    bad = values[(values != 0.0) & (values != 1.0)]
    if not len(bad):
        return None
    value = bad[0].item() if isinstance(bad[0], np.generic) else bad[0]
    return (
        f"the outcome must hold only 0 and 1, but {len(bad)} rows of '{name}' hold other "
        f"values, such as {value!r}; recode it as 0 and 1"
    )


def check_outcome(values: np.ndarray, name: str, where: str | None = None) -> None:
    """Fails unless a 0/1 outcome holds only 0 and 1 (missing values are dropped before)."""
    problem = outcome_problem(values, name)
    if problem is None:
        return
    if where is None:
        raise MarginsError(problem)
    raise PartitionError(f"{where}: {problem}")
