"""Tests of the examples' runner (doc_examples.py) and of the link check (check_links.py):
that they pass what agrees and catch what has drifted."""

from pathlib import Path

import pytest
from check_links import broken_links
from doc_examples import difference, session_steps

TABLE = """\
          dy/dx  Std. Err         z      Pr(>|z|) Significance
GPA   0.362581  0.109441  3.313021  9.233000e-04          ***
TUCE  0.012208  0.017794  0.686091  4.926560e-01
"""


@pytest.mark.parametrize(
    "printed",
    [
        TABLE,
        # Other column widths, and the last shown digit rounded the other way.
        TABLE.replace("0.362581  0.109441", "0.362582    0.109440"),
        # One unit of the last shown digit of a number in exponent form.
        TABLE.replace("9.233000e-04", "9.233001e-04"),
    ],
)
def test_agreeing_output_passes(printed):
    assert difference(TABLE, printed) is None


@pytest.mark.parametrize(
    ("printed", "problem"),
    [
        (TABLE.replace("0.362581", "0.362583"), "line 2 differs"),
        (TABLE.replace("9.233000e-04", "9.233020e-04"), "line 2 differs"),
        (TABLE.replace("***", "**"), "line 2 differs"),
        (TABLE.replace("TUCE", "PSI"), "line 3 differs"),
        (TABLE + "PSI   0.357515  0.142003  2.517652  1.181400e-02           **\n", "expected 3"),
        (TABLE.replace("Std. Err", "Std.Err"), "line 1 differs"),
    ],
)
def test_drifted_output_fails(printed, problem):
    assert problem in difference(TABLE, printed)


def test_tiny_numbers_within_1e_14():
    assert difference("p 2.220446e-15", "p 3.330669e-15") is None
    assert difference("p 2.220446e-15", "p 4.440892e-14") is not None


def test_counts_are_exact_and_times_are_not_compared():
    expected = "velmora: reading fair.csv ... done, 6366 rows, 10 columns, 0.01 s"
    assert difference(expected, expected.replace("0.01 s", "1.52 s")) is None
    assert difference(expected, expected.replace("6366", "6365")) is not None
    assert difference(expected, expected.replace("10 columns", "11 columns")) is not None


def test_an_ellipsis_leaves_out_the_rest():
    assert difference("a 1\n...", "a 1\nb 2\nc 3") is None
    assert difference("a 1\n...", "a 2\nb 2") is not None


def test_session_steps_keep_continuation_lines():
    session = "$ python -c 'x' \\\n    --flag\nout 1\nout 2\n$ velmora\nline"
    assert list(session_steps(session)) == [
        ("python -c 'x' \\\n    --flag", "out 1\nout 2"),
        ("velmora", "line"),
    ]


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def test_broken_internal_links_are_found(tmp_path: Path):
    write(tmp_path / "index.html", '<a href="guide.html#options">x</a><a href="https://a.b/">y</a>')
    write(tmp_path / "guide.html", '<h2 id="options">Options</h2><a href="#nowhere">z</a>')
    write(
        tmp_path / "api" / "f.html", '<a href="../missing.html">m</a><a href="../index.html">i</a>'
    )
    write(tmp_path / "_static" / "macros.html", "<a href=\"{{ pathto('x') }}\">t</a>")
    assert broken_links(tmp_path) == [
        "api/f.html: ../missing.html: no such file",
        "guide.html: #nowhere: no element with id 'nowhere'",
    ]
