"""Agreement checks: relative differences, tolerances, and which pairs the default case compares."""

import math

import numpy as np
import pytest

from bench.cases.compare import CaseResults, agreement, target_checks
from bench.checks import TOLERANCE_OTHERS, TOLERANCE_ZARN, Check, pair, relative_difference
from bench.workers import Result


def test_relative_difference() -> None:
    assert relative_difference([1.1, 2.0], [1.0, 2.0]) == pytest.approx(0.1)
    assert relative_difference([2.0], [-1.0]) == pytest.approx(3.0)
    assert relative_difference([0.0], [0.0]) == 0.0
    assert relative_difference([], []) == 0.0
    assert relative_difference([1.0, 2.0], [1.0]) == math.inf
    assert math.isnan(relative_difference([math.nan], [1.0]))


@pytest.mark.parametrize(
    ("check", "passed"),
    [
        (Check("equal", 0.0, 0.0, 1e-8), True),
        (Check("at the tolerance", 1e-8, 1e-8, 1e-8), True),
        (Check("effects off", 2e-8, 0.0, 1e-8), False),
        (Check("errors off", 0.0, 2e-8, 1e-8), False),
        (Check("effects only", 0.0, None, 1e-8), True),
        (Check("NaN", math.nan, 0.0, 1e-8), False),
        (Check("NaN errors", 0.0, math.nan, 1e-8), False),
    ],
)
def test_a_check_passes_within_its_tolerance(check: Check, passed: bool) -> None:
    assert check.passed() is passed


def effects(names: list[str], ames: list[float], ses: list[float]) -> Result:
    return {"names": names, "ames": np.array(ames), "ses": np.array(ses), "seconds": [1.0]}


def test_pair_compares_only_the_same_columns() -> None:
    a = effects(["x1", "x2"], [1.0, 2.0], [0.1, 0.2])
    b = effects(["x2", "x1"], [1.0, 2.0], [0.1, 0.2])
    assert pair("p", a, a, 1e-8) == Check("p", 0.0, 0.0, 1e-8)
    assert pair("p", a, b, 1e-8) == Check("p (different columns)", math.inf, math.inf, 1e-8)


def case(method_se: float = 0.2) -> CaseResults:
    zarn = effects(["d1", "x1"], [1.0, 2.0], [0.1, 0.2])
    return CaseResults(
        zarn=zarn,
        zarn_chunked={65536: effects(["d1", "x1"], [1.0, 2.0], [0.1, 0.2]), 1000: {"error": "x"}},
        numpy={8192: effects(["d1", "x1"], [1.0, 2.0 * (1 + 1e-9)], [0.1, 0.2])},
        statsmodels=effects(["d1", "x1"], [1.0, 2.0], [0.1, method_se]),
        floor={"error": "not measured"},
    )


def test_the_default_case_checks_every_run_against_zarn() -> None:
    checks = agreement("logit", "sm", case())
    assert [(c.label, c.tolerance) for c in checks] == [
        ("logit/sm: zarn chunk_size=65536 vs zarn", TOLERANCE_ZARN),
        ("logit/sm: NumPy chunk 8192 vs zarn", TOLERANCE_OTHERS),
        ("logit/sm: statsmodels vs zarn", TOLERANCE_OTHERS),
    ]
    assert checks[1].effects == pytest.approx(1e-9)
    assert all(c.passed() for c in checks)


def test_statsmodels_errors_count_only_for_sm() -> None:
    # statsmodels' standard errors are those of "sm": under "kova" only the effects compare.
    kova = agreement("probit", "kova", case(method_se=0.4))[-1]
    assert kova.label == "probit/kova: statsmodels vs zarn (effects only)"
    assert kova.std_errors is None
    assert kova.passed()
    sm = agreement("probit", "sm", case(method_se=0.4))[-1]
    assert not sm.passed()


def test_a_failed_zarn_run_is_a_missed_target_and_no_check() -> None:
    failed = case()
    failed.zarn = {"error": "boom"}
    assert agreement("logit", "kova", failed) == []
    assert [(t.label, t.met) for t in target_checks("logit", "kova", failed)] == [
        ("logit/kova: zarn ran", False)
    ]


def test_the_floor_ratio_pairs_each_call_with_its_sample() -> None:
    results = case()
    results.zarn.update(seconds=[2.0, 4.0, 9.0], cpu_seconds=[1.0, 3.0, 8.0], peak_mib=[6.0])
    results.floor = {"seconds": [1.0, 2.0, 2.0]}
    floor = next(t for t in target_checks("logit", "sm", results) if "floor" in t.label)
    # CPU ratios 1, 1.5, 4 (median 1.5); wall ratios 2, 2, 4.5 (median 2).
    assert floor.measured == "1.50 (wall time 2.00)"
    assert not floor.met
