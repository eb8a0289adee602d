"""The benchmark's cases: what a run starts, in which order, and what it prints.

A case is a module with run(options, runner, floor) -> Outcome. It builds or
reuses its data, starts its workers through the runner, prints its own tables
and returns the agreement checks, the targets and the BLAS a worker
reported; main.py prints those and the environment after it, and sets the
exit status from the checks.
"""

from dataclasses import dataclass, field
from typing import Any

from bench.checks import Check, Target


@dataclass
class Outcome:
    """What a case hands back for the closing sections of the report."""

    checks: list[Check] = field(default_factory=list)
    targets: list[Target] = field(default_factory=list)
    blas: list[dict[str, Any]] | None = None  # the BLAS libraries a worker reported
    blas_worker: str = "a zarn worker"  # which worker, for the report
