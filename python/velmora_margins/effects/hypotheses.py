"""Linear hypotheses about the rows of a table: ``hypotheses`` and ``wald``.

A table of ``predictions``, ``margins`` or ``comparisons`` carries the covariance V of its
estimates θ in ``attrs["vcov"]``. A hypothesis is a set of linear combinations R θ − c of
the rows, named b1 … bn in table order: "pairwise" (every difference of two rows),
"reference" (every row minus the first), a matrix R with a column per row, or equations
over the rows ("b2 - b1 = 0, b3 = b1"). ``hypotheses`` gives each combination with its
delta-method standard error √(R V Rᵀ); ``wald`` the joint test that all are zero.
"""

from __future__ import annotations

import ast
import warnings
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins.errors import ArgumentError

# The printed columns that follow the estimate in a table.
EFFECT_COLUMNS = ("Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance")


def estimates_of(table: object) -> tuple[np.ndarray, np.ndarray]:
    """Returns a table's estimates and their covariance, or fails saying what is wrong."""
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"table: expected a table of velmora_margins, got {type(table).__name__}")
    vcov = table.attrs.get("vcov")
    columns = list(table.columns)
    if vcov is None or "Std. Err" not in columns or columns.index("Std. Err") == 0:
        raise ArgumentError(
            "table",
            "it has no covariance of its estimates (attrs['vcov']); pass a table that "
            "predictions, margins, comparisons or hypotheses returned",
        )
    estimates = np.asarray(table[columns[columns.index("Std. Err") - 1]], dtype=np.float64)
    vcov = np.asarray(vcov, dtype=np.float64)
    if vcov.shape != (len(estimates), len(estimates)):
        raise ArgumentError(
            "table",
            f"its covariance is {vcov.shape[0]} x {vcov.shape[1]} for {len(estimates)} rows",
        )
    return estimates, vcov


def combinations(hypothesis: object, rows: int) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """Returns R, c and a label for each combination of a hypothesis over rows b1 … bn."""
    if isinstance(hypothesis, str) and hypothesis in ("pairwise", "reference"):
        if rows < 2:
            raise ArgumentError("hypothesis", f"'{hypothesis}' needs at least two rows")
        if hypothesis == "pairwise":
            pairs = [(j, i) for i in range(rows) for j in range(i + 1, rows)]
        else:
            pairs = [(j, 0) for j in range(1, rows)]
        matrix = np.zeros((len(pairs), rows))
        for r, (j, i) in enumerate(pairs):
            matrix[r, j], matrix[r, i] = 1.0, -1.0
        return matrix, np.zeros(len(pairs)), [f"b{j + 1} - b{i + 1}" for j, i in pairs]
    if isinstance(hypothesis, str):
        return equations(hypothesis, rows)
    try:
        matrix = np.asarray(hypothesis, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(
            "hypothesis: expected 'pairwise', 'reference', equations over b1 … bn, or a "
            f"matrix with one column per row, got {type(hypothesis).__name__}"
        ) from None
    if matrix.ndim == 1:
        matrix = matrix.reshape(1, -1)
    if matrix.ndim != 2 or matrix.shape[1] != rows or not len(matrix):
        raise ArgumentError(
            "hypothesis",
            f"a matrix needs one column per row of the table ({rows}), got shape "
            f"{np.shape(hypothesis)}",
        )
    if not np.isfinite(matrix).all():
        raise ArgumentError("hypothesis", "the matrix holds values that are not finite")
    return matrix, np.zeros(len(matrix)), [written(r) for r in matrix]


def written(row: np.ndarray) -> str:
    """Returns a linear combination of b1 … bn as text: "b2 - b1", "0.5*b1 + 0.5*b2"."""
    text = ""
    for j in np.flatnonzero(row):
        value = float(row[j])
        sign = "-" if value < 0 else "+"
        size = "" if abs(value) == 1.0 else f"{abs(value):g}*"
        text += f" {sign} {size}b{j + 1}" if text else f"{'-' if value < 0 else ''}{size}b{j + 1}"
    return text or "0"


def equations(text: str, rows: int) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """Returns R, c and labels of equations over b1 … bn separated by commas."""
    parts = [part.strip() for part in text.split(",")]
    matrix = np.zeros((len(parts), rows))
    constants = np.zeros(len(parts))
    for r, part in enumerate(parts):
        sides = part.split("=")
        if len(sides) > 2 or not part:
            raise ArgumentError(
                "hypothesis", f"cannot read {part!r}: write equations such as 'b2 - b1 = 0'"
            )
        left = linear(sides[0], rows, part)
        right = linear(sides[1], rows, part) if len(sides) == 2 else (np.zeros(rows), 0.0)
        matrix[r] = left[0] - right[0]
        constants[r] = right[1] - left[1]
    return matrix, constants, parts


def linear(text: str, rows: int, equation: str) -> tuple[np.ndarray, float]:
    """Returns the coefficients of b1 … bn and the constant of a linear expression."""
    try:
        tree = ast.parse(text.strip(), mode="eval").body
    except SyntaxError:
        raise ArgumentError(
            "hypothesis", f"cannot read {equation!r}: write equations such as 'b2 - b1 = 0'"
        ) from None
    coefficients = np.zeros(rows)

    def walk(node: ast.expr, scale: float) -> float:
        if isinstance(node, ast.Constant) and isinstance(node.value, int | float):
            return scale * float(node.value)
        if isinstance(node, ast.Name) and node.id.startswith("b") and node.id[1:].isdigit():
            at = int(node.id[1:]) - 1
            if not 0 <= at < rows:
                raise ArgumentError(
                    "hypothesis",
                    f"{node.id} is not a row of the table, which has rows b1 to b{rows}",
                )
            coefficients[at] += scale
            return 0.0
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub | ast.UAdd):
            return walk(node.operand, -scale if isinstance(node.op, ast.USub) else scale)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add | ast.Sub):
            left = walk(node.left, scale)
            return left + walk(node.right, -scale if isinstance(node.op, ast.Sub) else scale)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mult | ast.Div):
            number = constant_of(node.right)
            if number is not None:
                factor = number if isinstance(node.op, ast.Mult) else 1.0 / number
                return walk(node.left, scale * factor)
            number = constant_of(node.left)
            if number is not None and isinstance(node.op, ast.Mult):
                return walk(node.right, scale * number)
        raise ArgumentError(
            "hypothesis",
            f"cannot read {equation!r}: only sums of rows b1 … b{rows} times numbers are "
            "linear hypotheses",
        )

    constant = walk(tree, 1.0)
    return coefficients, constant


def constant_of(node: ast.expr) -> float | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, int | float):
        return float(node.value)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
        inner = constant_of(node.operand)
        return None if inner is None else -inner
    return None


def hypotheses(table: pd.DataFrame, hypothesis: Any) -> pd.DataFrame:
    """Returns linear combinations of a table's rows, with their standard errors.

    Parameters
    ----------
    table
        A table of ``predictions``, ``margins``, ``comparisons`` or ``hypotheses``, whose
        rows are named b1 … bn in order.
    hypothesis
        "pairwise" (every difference of two rows, b_j − b_i for i < j), "reference" (every
        row minus the first), a matrix R with one column per row of the table (each row
        of R one combination), or equations over b1 … bn separated by commas
        ("b2 - b1 = 0, b3 = 2*b1").

    Returns
    -------
    pandas.DataFrame
        "term" (the combination as text), "Estimate" (R θ − c), "Std. Err", "z",
        "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance";
        ``attrs["vcov"]`` holds R V Rᵀ.
    """
    estimates, vcov = estimates_of(table)
    matrix, constants, labels = combinations(hypothesis, len(estimates))
    values = matrix @ estimates - constants
    covariance = matrix @ vcov @ matrix.T
    covariance = (covariance + covariance.T) / 2.0
    variances = np.diag(covariance)
    errors = np.sqrt(np.where(variances > 0.0, variances, 0.0))
    out: pd.DataFrame = _kernels.effects_table(
        np.ascontiguousarray(values), np.ascontiguousarray(errors)
    )
    out = out.reset_index(drop=True).rename(columns={"dy/dx": "Estimate"})
    out.insert(0, "term", labels)
    out.attrs["vcov"] = covariance
    return out


def wald(table: pd.DataFrame, hypothesis: Any = None) -> pd.DataFrame:
    """Returns the joint Wald test that linear combinations of a table's rows are all zero.

    ``hypothesis`` is as in ``hypotheses``; by default every row. The statistic is
    (R θ − c)ᵀ (R V Rᵀ)⁺ (R θ − c) on as many degrees of freedom as R V Rᵀ has rank (with a
    warning where that is short of the number of combinations).

    Returns
    -------
    pandas.DataFrame
        One row: "chi2", "df" and "Pr(>chi2)".
    """
    estimates, vcov = estimates_of(table)
    if hypothesis is None:
        matrix, constants = np.eye(len(estimates)), np.zeros(len(estimates))
    else:
        matrix, constants, _ = combinations(hypothesis, len(estimates))
    values = matrix @ estimates - constants
    covariance = matrix @ vcov @ matrix.T
    covariance = (covariance + covariance.T) / 2.0
    rank = int(np.linalg.matrix_rank(covariance, hermitian=True))
    if rank < len(matrix):
        warnings.warn(
            f"wald: the {len(matrix)} combinations have a covariance of rank {rank}, so the "
            f"test has {rank} degrees of freedom; some combinations are not independent",
            UserWarning,
            stacklevel=2,
        )
    statistic = float(values @ np.linalg.pinv(covariance, hermitian=True) @ values)
    from scipy import stats

    p_value = float(stats.chi2.sf(statistic, rank)) if rank else float("nan")
    return pd.DataFrame({"chi2": [statistic], "df": [rank], "Pr(>chi2)": [p_value]})
