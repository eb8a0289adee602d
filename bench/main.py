"""A run of the benchmark: the data folder, the floor program, the case, the closing report."""

import io
import os
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path

from bench.cases import Outcome, compare, margins, partitioned, scaling
from bench.competitors.floor import FloorProgram, compile_floor, module_uses_vector_erfc
from bench.options import Options, parse_options
from bench.report import print_checks, print_environment
from bench.workers import Runner

Case = Callable[[Options, Runner, FloorProgram], Outcome]


def choose_case(options: Options) -> Case:
    """Returns the case the options ask for."""
    if options.margins:
        return margins.run
    if options.partitioned:
        return partitioned.run
    return scaling.run if options.scaling else compare.run


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the benchmark; returns 1 when a competitor disagrees with zarn, else 0."""
    options = parse_options(argv)
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    vector_erfc = module_uses_vector_erfc()

    if options.keep_data:
        folder = options.keep_data
        folder.mkdir(parents=True, exist_ok=True)
        cleanup = None
    else:
        cleanup = tempfile.TemporaryDirectory(prefix="velmora-bench-")
        folder = Path(cleanup.name)
    try:
        floor = compile_floor(folder, vector_erfc)
        runner = Runner(folder, floor.binary, options.blas_threads)
        started, load_start = time.perf_counter(), os.getloadavg()[0]
        outcome = choose_case(options)(options, runner, floor)
    finally:
        if cleanup is not None:
            cleanup.cleanup()

    passed = print_checks(outcome.checks, outcome.targets)
    print_environment(
        floor.compiler, outcome.blas, load_start, floor.vector_erfc, outcome.blas_worker
    )
    print(f"  run time {time.perf_counter() - started:.0f} s")
    return 0 if passed else 1
