"""Workers' results as the driver reads them: medians, peaks, and pooling over rounds.

A result is the JSON-ready dict a worker returns (see workers.py): per timed
call "seconds", "cpu_seconds" and "peak_mib"; "names", "ames" and "ses" for
the effects and standard errors; or "error" when the worker failed.
"""

import math
import statistics
from collections.abc import Sequence

from bench.competitors.floor import FLOOR_FIGURES
from bench.workers import Result


def median(result: Result, key: str = "seconds") -> float:
    """Returns the median wall time of a result (or of its CPU time, falling back to wall)."""
    values = result.get(key) or result.get("seconds")
    return statistics.median(values) if values else math.nan


def peak(result: Result) -> float:
    """Returns the largest peak extra memory of a result's calls in MiB, or NaN."""
    return max(result["peak_mib"]) if result.get("peak_mib") else float("nan")


def paired_median(ratios: Sequence[float]) -> float:
    """Returns the median of call-by-call ratios, or NaN when there are none."""
    return statistics.median(ratios) if ratios else math.nan


def error_of(result: Result) -> str:
    """Returns the note of a failed result, or an empty note."""
    return f"failed: {result['error']}" if "error" in result else ""


def merge(results: Sequence[Result]) -> Result:
    """Pools the runs of one competitor from several rounds into one result.

    The calls of every round are pooled, so medians are taken over all of them;
    the floor's per-run figures are their medians; the rest (effects, names,
    BLAS) comes from the first run that succeeded.
    """
    good = [r for r in results if "error" not in r]
    if not good:
        return results[0]
    merged = dict(good[0])
    for key in ("seconds", "cpu_seconds", "peak_mib"):
        if key in merged:
            merged[key] = [v for r in good for v in r[key]]
    for key in FLOOR_FIGURES:
        if key in merged:
            merged[key] = statistics.median(r[key] for r in good)
    return merged
