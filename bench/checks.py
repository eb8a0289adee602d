"""Agreement checks between competitors' results, and performance targets.

A check compares the effects and standard errors of two results by their
largest relative difference; it passes when both are within its tolerance
(NaN fails). A target is a figure the benchmark reports as met or missed; a
missed target does not fail the run, a failed check does.
"""

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from bench.workers import Result

# Agreement tolerances (largest relative difference): between implementations,
# and between zarn runs that differ only in chunking or memory order.
TOLERANCE_OTHERS = 1e-8
TOLERANCE_ZARN = 1e-11


class Check(NamedTuple):
    """One comparison: the effects' and standard errors' differences (None: not compared)."""

    label: str
    effects: float
    std_errors: float | None
    tolerance: float

    def passed(self) -> bool:
        """True when both differences are within the tolerance; NaN fails."""
        return self.effects <= self.tolerance and (
            self.std_errors is None or self.std_errors <= self.tolerance
        )


class Target(NamedTuple):
    """One performance target: what was measured, as text, and whether it was met."""

    label: str
    measured: str
    met: bool


def relative_difference(a: npt.ArrayLike, b: npt.ArrayLike) -> float:
    """Returns the largest |a - b| / |b|, elementwise; inf when the shapes differ."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return math.inf
    scale = np.maximum(np.abs(b), np.finfo(float).tiny)
    return float(np.max(np.abs(a - b) / scale)) if a.size else 0.0


def pair(label: str, a: Result, b: Result, tolerance: float) -> Check:
    """Returns the check of a's effects and standard errors against b's, column by column."""
    if list(a["names"]) != list(b["names"]):
        return Check(label + " (different columns)", math.inf, math.inf, tolerance)
    return Check(
        label,
        relative_difference(a["ames"], b["ames"]),
        relative_difference(a["ses"], b["ses"]),
        tolerance,
    )
