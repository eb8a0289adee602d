"""Printing the effects as aligned text and writing them as files and plots."""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from velmora_cli.errors import EXIT_USAGE, CliError, first_line

EFFECT_COLUMNS = [
    "dy/dx",
    "Std. Err",
    "z",
    "Pr(>|z|)",
    "Conf. Int. Low",
    "Conf. Int. Hi",
    "Significance",
]
TABLE_SUFFIXES = (".csv", ".json", ".md", ".tex")
PLOT_SUFFIXES = (".png", ".svg", ".pdf")
STARS_LEGEND = "Significance: *** p < 0.01, ** p < 0.05, * p < 0.1."
# The estimate columns of the library's tables, which come before "Std. Err".
ESTIMATES = (
    "dy/dx",
    "ey/ex",
    "ey/dx",
    "dy/ex",
    "Margin",
    "Difference",
    "Ratio",
    "Log ratio",
    "Log odds ratio",
    "Lift",
    "Estimate",
)
NUMBER_COLUMNS = (*ESTIMATES, *EFFECT_COLUMNS[1:6], "chi2", "Pr(>chi2)")


def interval_note(estimate: str) -> str:
    return f"Intervals: {estimate} ± 1.96 Std. Err."


INTERVAL_NOTE = interval_note("dy/dx")


def estimate_column(table: pd.DataFrame) -> str:
    """Returns the name of a table's estimate column: the one before "Std. Err"."""
    columns = list(table.columns)
    return str(columns[columns.index("Std. Err") - 1])


def format_number(value: Any, column: str) -> str:
    """Returns a value as printed in text, Markdown and LaTeX tables."""
    if column not in NUMBER_COLUMNS or not isinstance(value, float):
        return str(value)
    return f"{value:.6f}"


def cells(table: pd.DataFrame) -> list[list[str]]:
    """Returns the table's header and rows as display strings."""
    rows = [[str(c) for c in table.columns]]
    for record in table.itertuples(index=False):
        rows.append([format_number(v, c) for v, c in zip(record, table.columns, strict=True)])
    return rows


def is_text_column(table: pd.DataFrame, column: str) -> bool:
    return not pd.api.types.is_numeric_dtype(table[column])


def text_table(table: pd.DataFrame, sparse: int = 0) -> str:
    """Returns the table as aligned text: text columns to the left, numbers to the right.

    In the first ``sparse`` columns a value equal to the one above it is left blank, so that
    each group or term is named once.
    """
    rows = cells(table)
    for j in range(sparse):
        for i in range(len(rows) - 1, 1, -1):
            if rows[i][: j + 1] == rows[i - 1][: j + 1]:
                rows[i][j] = ""
    widths = [max(len(r[j]) for r in rows) for j in range(len(rows[0]))]
    left = [is_text_column(table, c) for c in table.columns]
    lines = []
    for row in rows:
        parts = [
            value.ljust(width) if is_left else value.rjust(width)
            for value, width, is_left in zip(row, widths, left, strict=True)
        ]
        lines.append("  ".join(parts).rstrip())
    return "\n".join(lines)


def check_suffix(path: Path, suffixes: tuple[str, ...], option: str) -> None:
    """Fails, as a misuse of an option, unless the path ends in one of the suffixes."""
    if path.suffix.lower() not in suffixes:
        raise CliError(
            f"{option}: cannot tell the format of '{path}' from its suffix; "
            f"use one of {', '.join(suffixes)}",
            EXIT_USAGE,
        )
    check_directory(path, option)


def check_directory(path: Path, option: str) -> None:
    """Fails, before any work is done, when the file's directory does not exist."""
    if not path.parent.is_dir():
        raise CliError(
            f"{option}: directory '{path.parent}' does not exist; create it or choose another"
        )


def markdown(table: pd.DataFrame) -> str:
    """Returns the table as a GitHub-flavoured Markdown table."""
    rows = [[v.replace("|", "\\|") for v in row] for row in cells(table)]
    align = ["---" if is_text_column(table, c) else "---:" for c in table.columns]
    lines = ["| " + " | ".join(row) + " |" for row in [rows[0], align, *rows[1:]]]
    return "\n".join(lines) + "\n"


LATEX_SPECIALS = {
    "\\": r"\textbackslash{}",
    "&": r"\&",
    "%": r"\%",
    "$": r"\$",
    "#": r"\#",
    "_": r"\_",
    "{": r"\{",
    "}": r"\}",
    "~": r"\textasciitilde{}",
    "^": r"\textasciicircum{}",
    "<": r"\textless{}",
    ">": r"\textgreater{}",
    "|": r"\textbar{}",
}


def latex_escape(text: str) -> str:
    return "".join(LATEX_SPECIALS.get(ch, ch) for ch in text)


def latex(table: pd.DataFrame) -> str:
    """Returns the table as a LaTeX tabular, ready for \\input."""
    rows = [[latex_escape(v) for v in row] for row in cells(table)]
    spec = "".join("l" if is_text_column(table, c) else "r" for c in table.columns)
    lines = [f"\\begin{{tabular}}{{{spec}}}", r"\hline", " & ".join(rows[0]) + r" \\", r"\hline"]
    lines += [" & ".join(row) + r" \\" for row in rows[1:]]
    lines += [r"\hline", r"\end{tabular}"]
    return "\n".join(lines) + "\n"


def json_records(table: pd.DataFrame) -> str:
    """Returns the table as a JSON list of records; numbers keep every digit, NaN is null."""
    records = [
        {
            str(key): None if isinstance(value, float) and not math.isfinite(value) else value
            for key, value in record.items()
        }
        for record in table.to_dict(orient="records")
    ]
    return json.dumps(records, indent=2, default=str) + "\n"


def write_table(table: pd.DataFrame, path: Path) -> None:
    """Writes the table in the format its suffix names."""
    suffix = path.suffix.lower()
    try:
        if suffix == ".csv":
            table.to_csv(path, index=False)
        else:
            writer = {".json": json_records, ".md": markdown, ".tex": latex}[suffix]
            path.write_text(writer(table), encoding="utf-8")
    except OSError as error:
        raise CliError(
            f"cannot write '{path}': {error.strerror or first_line(error)}; check the path"
        ) from None


def require_matplotlib() -> None:
    """Fails, before any work is done, when plots cannot be drawn."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CliError(
            "--plot needs matplotlib; install it with: pip install 'velmora[plot]'"
        ) from None


def write_forest_plot(
    table: pd.DataFrame, path: Path, title: str, group_column: str | None
) -> None:
    """Draws each term's estimate with its 95 % interval, one row per term, zero marked."""
    from matplotlib.figure import Figure

    terms = list(dict.fromkeys(table["term"]))
    groups = list(dict.fromkeys(table[group_column])) if group_column else [None]
    height = 1.4 + 0.35 * len(terms) * max(1, min(len(groups), 4))
    figure = Figure(figsize=(7.0, height), layout="constrained")
    axes = figure.subplots()
    step = 0.7 / len(groups)
    for g, group in enumerate(groups):
        part = table if group is None else table[table[group_column] == group]
        position = [terms.index(t) - 0.35 + step * (g + 0.5) for t in part["term"]]
        effect = part[estimate_column(table)].to_numpy()
        errors = [
            effect - part["Conf. Int. Low"].to_numpy(),
            part["Conf. Int. Hi"].to_numpy() - effect,
        ]
        axes.errorbar(
            effect,
            position,
            xerr=errors,
            fmt="o",
            capsize=3,
            label=None if group is None else f"{group_column} = {group}",
        )
    axes.axvline(0.0, color="0.4", linestyle="--", linewidth=1)
    axes.set_yticks(range(len(terms)), terms)
    axes.set_ylim(len(terms) - 0.5, -0.5)
    estimate = estimate_column(table)
    named = f"average marginal effect ({estimate})" if estimate == "dy/dx" else estimate
    axes.set_xlabel(f"{named} with 95 % interval")
    axes.set_title(title, fontsize="medium")
    if group_column:
        axes.legend(fontsize="small")
    save(figure, path)


def save(figure: Any, path: Path) -> None:
    """Writes a figure in the format its suffix names."""
    import matplotlib

    try:
        # Text stays text in SVG files, so labels can be searched and edited.
        with matplotlib.rc_context({"svg.fonttype": "none"}):
            figure.savefig(path)
    except OSError as error:
        raise CliError(
            f"cannot write '{path}': {error.strerror or first_line(error)}; check the path"
        ) from None


def write_grid_plot(
    table: pd.DataFrame, path: Path, title: str, variable: str, group_column: str | None
) -> None:
    """Draws the estimate against the values of an at variable, with its 95 % band: one
    line per term (and group)."""
    from matplotlib.figure import Figure

    estimate = estimate_column(table)
    figure = Figure(figsize=(7.0, 4.5), layout="constrained")
    axes = figure.subplots()
    keys = [c for c in (group_column, "term", "contrast") if c is not None and c in table]
    parts = table.groupby(keys, sort=False) if keys else [((), table)]
    for key, part in parts:
        order = np.argsort(part[variable].to_numpy(dtype=float), kind="stable")
        x = part[variable].to_numpy(dtype=float)[order]
        low = part["Conf. Int. Low"].to_numpy()[order]
        high = part["Conf. Int. Hi"].to_numpy()[order]
        key = key if isinstance(key, tuple) else (key,)
        pairs = zip(keys, key, strict=True)
        named = [f"{c} = {k}" if c == group_column else str(k) for c, k in pairs]
        label = ", ".join(n for n in named if n not in ("", "dY/dX")) or None
        (line,) = axes.plot(x, part[estimate].to_numpy()[order], marker="o", label=label)
        axes.fill_between(x, low, high, color=line.get_color(), alpha=0.2, linewidth=0)
    axes.set_xlabel(variable)
    axes.set_ylabel(f"{estimate} with 95 % band")
    axes.set_title(title, fontsize="medium")
    if axes.get_legend_handles_labels()[0]:
        axes.legend(fontsize="small")
    save(figure, path)
