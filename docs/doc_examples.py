"""Runs the code examples of the README and the documentation and compares what they print.

A pytest plugin on Sybil (`bash scripts/docs.sh` runs it):

    PYTHONPATH=docs python -m pytest -p doc_examples -c docs/pytest.ini README.md docs/*.md

In each Markdown file:

- a ```python block runs in the file's namespace, so later blocks see its names; a ```text
  block right after it is what it must print;
- a ```text block that starts with "$ " is a terminal session: each command runs in bash
  and must print the lines under it (its standard output and error, in order);
- a ```sh block runs in bash and must succeed;
- `<!-- skip: next "reason" -->` skips the next example, and says why.

Printed output is compared token by token, so that column widths do not matter. Numbers
with decimals compare within one unit of the last digit that the document shows (where
the last digit is rounded, another platform's rounding may flip it) or within 1e-14
(the p-values of large z are 1 - Phi(|z|), where Phi is near 1 and one unit of its
rounding is 1.1e-16), counts exactly; a number followed by "s" is a time and is not
compared. A line "..." alone ends the comparison: the rest is left out.
Each file runs in a fresh working folder that holds fair.csv, statsmodels' affairs data
with its 0/1 outcome, as the command's guide writes it; pandas prints every column of a
table, as in a terminal wide enough for it.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from sybil import Document, Example, Region, Sybil
from sybil.parsers.markdown import SkipParser

FENCE = re.compile(r"^```(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")
OUTPUT = "__printed__"


def parse(document: Document) -> Iterator[Region]:
    """Yields the examples of a Markdown document."""
    previous: re.Match[str] | None = None
    for match in FENCE.finditer(document.text):
        lang, body = match["lang"], match["body"]
        after_code = (
            previous is not None
            and previous["lang"] == "python"
            and not document.text[previous.end() : match.start()].strip()
        )
        if lang == "python":
            yield Region(match.start(), match.end(), body, run_python)
        elif lang == "text" and after_code:
            yield Region(match.start(), match.end(), body, check_printed)
        elif lang == "text" and body.startswith("$ "):
            yield Region(match.start(), match.end(), body, run_session)
        elif lang == "sh":
            yield Region(match.start(), match.end(), body, run_shell)
        previous = match


def run_python(example: Example) -> None:
    """Runs a Python block and keeps what it printed for the output block after it."""
    printed = io.StringIO()
    code = compile(example.parsed, f"{example.path}:{example.line}", "exec")
    with contextlib.redirect_stdout(printed):
        exec(code, example.namespace)
    example.namespace[OUTPUT] = printed.getvalue()


def check_printed(example: Example) -> str | None:
    """Compares what the Python block before printed with the text block."""
    return difference(example.parsed, example.namespace.pop(OUTPUT, ""))


def environment() -> dict[str, str]:
    """The commands' environment: this interpreter's scripts first, unbuffered output."""
    env = dict(os.environ, PYTHONUNBUFFERED="1", MPLBACKEND="Agg")
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return env


def run_commands(commands: str) -> tuple[int, str]:
    """Runs commands in bash; returns the exit status and the interleaved output."""
    proc = subprocess.run(
        ["bash", "-c", commands],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=environment(),
        timeout=600,
        check=False,
    )
    return proc.returncode, proc.stdout


def run_session(example: Example) -> str | None:
    """Runs each "$ " command of a session and compares its output with the lines under it."""
    for command, expected in session_steps(example.parsed):
        status, printed = run_commands(command)
        if status != 0:
            return f"`{command}` exited with status {status}:\n{printed}"
        if (problem := difference(expected, printed)) is not None:
            return f"`{command}`: {problem}"
    return None


def session_steps(text: str) -> Iterator[tuple[str, str]]:
    """Yields each command of a session (with its continuation lines) and its output."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        command = [lines[i][2:]]
        while command[-1].endswith("\\") and i + 1 < len(lines):
            i += 1
            command.append(lines[i])
        i += 1
        output = []
        while i < len(lines) and not lines[i].startswith("$ "):
            output.append(lines[i])
            i += 1
        yield "\n".join(command), "\n".join(output)


def run_shell(example: Example) -> str | None:
    """Runs a shell block, which must succeed."""
    status, printed = run_commands("set -e\n" + example.parsed)
    return None if status == 0 else f"exited with status {status}:\n{printed}"


def difference(expected: str, printed: str) -> str | None:
    """Returns how printed differs from expected, or None when they agree."""
    want = [line.split() for line in expected.strip("\n").splitlines()]
    got = [line.split() for line in printed.strip("\n").splitlines()]
    if want and want[-1] == ["..."]:
        want = want[:-1]
        got = got[: len(want)]
    # Blank lines are layout, as the whitespace within lines is.
    want = [line for line in want if line]
    got = [line for line in got if line]
    if len(want) != len(got):
        return f"expected {len(want)} lines, printed {len(got)}:\n{printed}"
    for number, (a, b) in enumerate(zip(want, got, strict=True), 1):
        if not same_tokens(a, b):
            return f"line {number} differs:\nexpected: {' '.join(a)}\nprinted:  {' '.join(b)}"
    return None


def same_tokens(expected: list[str], printed: list[str]) -> bool:
    """True when the tokens of a line agree, numbers within the last shown digit."""
    if len(expected) != len(printed):
        return False
    for i, (a, b) in enumerate(zip(expected, printed, strict=True)):
        if a == b:
            continue
        is_time = i + 1 < len(expected) and expected[i + 1].rstrip(",.;") == "s"
        if not same_number(a, b, is_time):
            return False
    return True


def same_number(expected: str, printed: str, is_time: bool) -> bool:
    """True when both are the same number to the last digit expected shows, give or take
    one unit of it or 1e-14, with the same text around it; any two numbers where it is a
    time."""
    a, b = NUMBER.fullmatch(expected.strip(",;:()")), NUMBER.fullmatch(printed.strip(",;:()"))
    if a is None or b is None:
        return False
    if is_time:
        return True
    text = a.group()
    mantissa, _, exponent = text.lower().partition("e")
    if "." not in mantissa:
        return False  # counts are exact
    decimals = len(mantissa.partition(".")[2])
    unit = 10.0 ** (-decimals + (int(exponent) if exponent else 0))
    return abs(float(text) - float(b.group())) <= max(unit * 1.000001, 1e-14)


def set_up(namespace: dict[str, Any]) -> None:
    """Runs a document in a fresh folder with fair.csv in it, with pandas printing every
    column, as in a terminal wide enough for the tables."""
    import pandas as pd
    import statsmodels.api as sm

    pd.set_option("display.max_columns", None)
    pd.set_option("display.width", 250)

    folder = tempfile.mkdtemp(prefix="velmora-docs-")
    namespace["__folder__"], namespace["__cwd__"] = folder, os.getcwd()
    os.chdir(folder)
    data = sm.datasets.fair.load_pandas().data
    data.assign(affair=(data.affairs > 0).astype(int)).to_csv("fair.csv", index=False)


def tear_down(namespace: dict[str, Any]) -> None:
    """Leaves the document's folder and removes it."""
    os.chdir(namespace["__cwd__"])
    shutil.rmtree(namespace["__folder__"], ignore_errors=True)


pytest_collect_file = Sybil(
    parsers=[SkipParser(), parse],
    path=str(Path(__file__).resolve().parent.parent),
    patterns=["README.md", "docs/*.md", "bench/README.md"],
    setup=set_up,
    teardown=tear_down,
).pytest()
