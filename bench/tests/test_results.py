"""Pooling workers' results over rounds, and their medians and peaks."""

import math

from bench.results import median, merge, paired_median, peak
from bench.workers import Result


def test_rounds_pool_their_calls_and_the_floor_figures_take_the_median() -> None:
    rounds: list[Result] = [
        {"seconds": [1.0, 2.0], "cpu_seconds": [1.0, 1.5], "peak_mib": [3.0], "exp_ns": 5.0},
        {"error": "killed"},
        {"seconds": [3.0], "cpu_seconds": [2.5], "peak_mib": [4.0], "exp_ns": 7.0},
        {"seconds": [4.0], "cpu_seconds": [3.5], "peak_mib": [2.0], "exp_ns": 9.0},
    ]
    merged = merge(rounds)
    assert merged["seconds"] == [1.0, 2.0, 3.0, 4.0]
    assert merged["cpu_seconds"] == [1.0, 1.5, 2.5, 3.5]
    assert merged["exp_ns"] == 7.0
    assert "error" not in merged
    assert median(merged) == 2.5
    assert median(merged, "cpu_seconds") == 2.0
    assert peak(merged) == 4.0


def test_the_effects_come_from_the_first_round_that_ran() -> None:
    merged = merge([{"error": "x"}, {"seconds": [1.0], "names": ["a"]}, {"seconds": [2.0]}])
    assert merged["names"] == ["a"]


def test_rounds_that_all_failed_give_the_first_failure() -> None:
    assert merge([{"error": "first"}, {"error": "second"}]) == {"error": "first"}


def test_missing_figures_are_nan() -> None:
    assert median({"seconds": [2.0]}, "cpu_seconds") == 2.0  # falls back to wall time
    assert math.isnan(median({"error": "x"}))
    assert math.isnan(peak({"error": "x"}))
    assert math.isnan(paired_median([]))
