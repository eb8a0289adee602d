"""The printed report: tables in both styles, the agreement and target sections."""

import pytest

from bench.checks import Check, Target
from bench.report import fmt_ratio, fmt_seconds, print_checks, print_table

HEADER = ["competitor", "s", "note"]
ROWS = [["zarn", "0.1290", ""], ["statsmodels", "34.30", "x"]]


def test_plain_table(capsys: pytest.CaptureFixture[str]) -> None:
    print_table(HEADER, ROWS, markdown=False)
    assert capsys.readouterr().out == (
        "competitor        s  note\n"
        "-----------  ------  ----\n"
        "zarn         0.1290\n"
        "statsmodels   34.30     x\n"
    )


def test_markdown_table(capsys: pytest.CaptureFixture[str]) -> None:
    print_table(HEADER, ROWS, markdown=True)
    assert capsys.readouterr().out == (
        "| competitor  |      s | note |\n"
        "|-------------|-------:|-----:|\n"
        "| zarn        | 0.1290 |      |\n"
        "| statsmodels |  34.30 |    x |\n"
    )


def test_number_formats() -> None:
    assert [fmt_seconds(s) for s in (0.12345, 12.345, float("nan"))] == ["0.1235", "12.35", "-"]
    assert [fmt_ratio(r) for r in (1.234, 265.4, float("nan"))] == ["1.23", "265", "-"]


def test_a_failed_check_fails_the_run(capsys: pytest.CaptureFixture[str]) -> None:
    checks = [Check("a vs zarn", 1e-15, 2e-15, 1e-8), Check("b vs zarn", 1e-3, None, 1e-8)]
    targets = [Target("t1", "1.15", True), Target("t2", "0.9", False)]
    assert not print_checks(checks, targets)
    out = capsys.readouterr().out
    assert "  ok   a vs zarn: effects 1.0e-15, std. errors 2.0e-15 (tolerance 1e-08)\n" in out
    assert "  FAIL b vs zarn: effects 1.0e-03, std. errors - (tolerance 1e-08)\n" in out
    assert "  met    t1: 1.15\n" in out
    assert "  MISSED t2: 0.9\n" in out


def test_no_checks_pass_and_say_so(capsys: pytest.CaptureFixture[str]) -> None:
    assert print_checks([], [])
    assert "  nothing to compare\n" in capsys.readouterr().out
