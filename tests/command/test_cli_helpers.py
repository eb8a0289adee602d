"""The command's helpers, called in this process: the table as text, Markdown, LaTeX and JSON,
the data file's format, the checks of output suffixes, and the rows of each group."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from velmora_cli.errors import CliError
from velmora_cli.modeling import data_format, group_rows
from velmora_cli.output import (
    PLOT_SUFFIXES,
    TABLE_SUFFIXES,
    check_suffix,
    json_records,
    latex,
    latex_escape,
    markdown,
    text_table,
)
from velmora_cli.progress import Progress


def refused(call, *args):
    """The CliError that call(*args) raises."""
    with pytest.raises(CliError) as exc:
        call(*args)
    return exc.value


# The table as text.


def test_text_aligns_text_left_and_numbers_right_with_six_decimals():
    table = pd.DataFrame({"term": ["a", "bb"], "dy/dx": [0.5, -1.25], "Significance": ["***", ""]})
    assert text_table(table) == "\n".join(
        [
            "term      dy/dx  Significance",
            "a      0.500000  ***",
            "bb    -1.250000",
        ]
    )


def test_text_shows_other_columns_as_they_are():
    # A group column of numbers is right-aligned but keeps its own digits; NaN is "nan".
    table = pd.DataFrame({"year": [1999, 2024], "term": ["x", "y"], "z": [np.nan, 0.1234567]})
    assert text_table(table) == "\n".join(
        [
            "year  term         z",
            "1999  x          nan",
            "2024  y     0.123457",
        ]
    )


def test_text_names_each_term_once_in_the_sparse_column():
    table = pd.DataFrame(
        {
            "term": ["GPA", "GPA", "TUCE"],
            "source": ["velmora, kova", "statsmodels", "statsmodels"],
            "dy/dx": [0.1, 0.2, 0.3],
        }
    )
    assert text_table(table, sparse=1) == "\n".join(
        [
            "term  source            dy/dx",
            "GPA   velmora, kova  0.100000",
            "      statsmodels    0.200000",
            "TUCE  statsmodels    0.300000",
        ]
    )


def test_text_names_each_group_once_and_every_term_within_it():
    table = pd.DataFrame({"region": [1, 1, 2], "term": ["a", "b", "a"], "dy/dx": [0.1, 0.2, 0.3]})
    assert text_table(table, sparse=2) == "\n".join(
        [
            "region  term     dy/dx",
            "     1  a     0.100000",
            "        b     0.200000",
            "     2  a     0.300000",
        ]
    )


# Markdown, LaTeX and JSON.


def test_markdown_aligns_numbers_right_and_escapes_bars():
    table = pd.DataFrame({"term": ["a|b"], "Pr(>|z|)": [0.5], "Significance": ["*"]})
    assert markdown(table) == (
        "| term | Pr(>\\|z\\|) | Significance |\n| --- | ---: | --- |\n| a\\|b | 0.500000 | * |\n"
    )


@pytest.mark.parametrize(
    ("text", "escaped"),
    [
        ("\\", r"\textbackslash{}"),
        ("&", r"\&"),
        ("%", r"\%"),
        ("$", r"\$"),
        ("#", r"\#"),
        ("_", r"\_"),
        ("{", r"\{"),
        ("}", r"\}"),
        ("~", r"\textasciitilde{}"),
        ("^", r"\textasciicircum{}"),
        ("<", r"\textless{}"),
        (">", r"\textgreater{}"),
        ("|", r"\textbar{}"),
        ("C(rank)[T.2] x", "C(rank)[T.2] x"),
        ("a_b & 5%", r"a\_b \& 5\%"),
    ],
)
def test_latex_escape(text, escaped):
    assert latex_escape(text) == escaped


def test_latex_is_a_tabular_with_text_left_and_numbers_right():
    table = pd.DataFrame({"term": ["x_1"], "Pr(>|z|)": [0.25], "Significance": [""]})
    assert latex(table) == (
        "\\begin{tabular}{lrl}\n"
        "\\hline\n"
        "term & Pr(\\textgreater{}\\textbar{}z\\textbar{}) & Significance \\\\\n"
        "\\hline\n"
        "x\\_1 & 0.250000 &  \\\\\n"
        "\\hline\n"
        "\\end{tabular}\n"
    )


def test_json_keeps_every_digit_and_writes_nan_as_null():
    table = pd.DataFrame(
        {
            "when": pd.to_datetime(["2024-01-02", "2024-01-03"]),
            "term": ["a", "b"],
            "dy/dx": [0.1 + 0.2, np.nan],
            "Std. Err": [np.inf, 1e-300],
        }
    )
    text = json_records(table)
    assert text.endswith("]\n")
    assert json.loads(text) == [
        {"when": str(table["when"][0]), "term": "a", "dy/dx": 0.1 + 0.2, "Std. Err": None},
        {"when": str(table["when"][1]), "term": "b", "dy/dx": None, "Std. Err": 1e-300},
    ]


# The data file's format and the output suffixes.


@pytest.mark.parametrize(
    ("name", "kind"),
    [
        ("fair.csv", "csv"),
        ("FAIR.CSV", "csv"),
        ("fair.2024.csv", "csv"),
        *[(f"fair.csv{z}", "csv") for z in (".gz", ".bz2", ".zip", ".xz", ".zst", ".GZ")],
        ("fair.parquet", "parquet"),
        ("fair.PQ", "parquet"),
    ],
)
def test_data_format_from_the_suffixes(name, kind):
    assert data_format(Path(name)) == kind


@pytest.mark.parametrize(
    "name", ["fair.xlsx", "fair", "fair.gz", "fair.parquet.gz", "fair.csv.tar"]
)
def test_data_format_refuses_other_names(name):
    error = refused(data_format, Path(name))
    assert str(error) == (
        f"cannot tell the format of '{name}' from its name; "
        "use a .csv (optionally compressed, e.g. .csv.gz) or .parquet file"
    )
    assert error.status == 1


@pytest.mark.parametrize(
    ("name", "suffixes", "option"),
    [
        ("ames.csv", TABLE_SUFFIXES, "--output"),
        ("ames.JSON", TABLE_SUFFIXES, "--output"),
        ("ames.md", TABLE_SUFFIXES, "--output"),
        ("ames.Tex", TABLE_SUFFIXES, "--output"),
        ("forest.png", PLOT_SUFFIXES, "--plot"),
        ("forest.SVG", PLOT_SUFFIXES, "--plot"),
        ("forest.pdf", PLOT_SUFFIXES, "--plot"),
    ],
)
def test_suffix_that_passes(tmp_path, name, suffixes, option):
    assert check_suffix(tmp_path / name, suffixes, option) is None


@pytest.mark.parametrize(
    ("name", "suffixes", "option", "known"),
    [
        ("ames.xlsx", TABLE_SUFFIXES, "--output", ".csv, .json, .md, .tex"),
        ("ames", TABLE_SUFFIXES, "--output", ".csv, .json, .md, .tex"),
        ("forest.jpg", PLOT_SUFFIXES, "--plot", ".png, .svg, .pdf"),
    ],
)
def test_unknown_suffix_is_a_misuse(tmp_path, name, suffixes, option, known):
    path = tmp_path / name
    error = refused(check_suffix, path, suffixes, option)
    assert str(error) == (
        f"{option}: cannot tell the format of '{path}' from its suffix; use one of {known}"
    )
    assert error.status == 2


def test_output_needs_an_existing_directory(tmp_path):
    path = tmp_path / "missing" / "forest.png"
    error = refused(check_suffix, path, PLOT_SUFFIXES, "--plot")
    assert str(error) == (
        f"--plot: directory '{path.parent}' does not exist; create it or choose another"
    )
    assert error.status == 1


# The rows of each group.


def test_contiguous_groups_are_views_and_scattered_ones_are_right():
    X = np.asfortranarray(np.arange(24.0).reshape(8, 3))
    grouped = pd.Series(["b", "b", "b", "a", "a", "c", "c", "c"])
    scattered = pd.Series(["b", "a", "b", "c", "a", "b", "c", "c"])
    for labels in (grouped, scattered):
        parts = list(group_rows(X, labels))
        assert [label for label, _ in parts] == ["a", "b", "c"]
        for label, rows in parts:
            np.testing.assert_array_equal(rows, X[(labels == label).to_numpy()])
            assert np.shares_memory(rows, X) == (labels is grouped)


@pytest.mark.parametrize("live", [False, True])
def test_progress_within_a_step_breaks_its_line(capsys, live):
    progress = Progress(enabled=True, live=live)
    with progress.step("fitting on Dask") as details:
        progress.within("pass 1: 1 of 2 partitions done", last=False)
        progress.within("pass 1: 2 of 2 partitions done")
        details.append("3 iterations")
    lines = capsys.readouterr().err.splitlines()
    assert lines[0] == "velmora: fitting on Dask ..."
    assert lines[-2].endswith("velmora:   pass 1: 2 of 2 partitions done")
    assert lines[-1].startswith("velmora: fitting on Dask: done, 3 iterations, ")
    # Off a terminal only the pass's last line is written; on one, the first is overwritten.
    assert ("1 of 2" in "".join(lines)) == live
