"""The scaling case (--scaling): zarn alone over --scaling-n rows, X in C and F order.

One worker process per round holds every size in both orders and calls them
in turn, so both ratios, time per row against the first size and F against C
order, are taken call by call.
"""

from collections.abc import Sequence
from typing import Any

import numpy as np

from bench.cases import Outcome
from bench.checks import TOLERANCE_ZARN, Target, pair
from bench.competitors.floor import FloorProgram
from bench.data import prepare
from bench.options import Method, Model, Options
from bench.report import fmt_seconds, print_table, progress
from bench.results import median, merge, paired_median
from bench.workers import Result, Runner

HEADER = [
    "n",
    "C: median s",
    "CPU s",
    "CPU ns / row",
    "vs first n",
    "F: median s",
    "CPU s",
    "F / C, call by call",
]


def run(options: Options, runner: Runner, floor: FloorProgram) -> Outcome:
    """Times zarn over n for C and F order; returns the agreement checks and targets."""
    outcome = Outcome()
    for kind in options.models:
        for method in options.methods:
            runs: dict[tuple[int, str], list[Result]] = {}
            folders = [
                [n, str(prepare(runner, n, options.k, options.binary, options.models))]
                for n in options.scaling_n
            ]
            for r in range(options.rounds):
                progress(f"{kind} / {method}, all sizes, round {r + 1} of {options.rounds}")
                result = runner.run(
                    "zarn_scaling",
                    folders=folders,
                    repeat=options.repeat,
                    model=kind,
                    method=method,
                )
                for n in options.scaling_n:
                    for order in ("C", "F"):
                        one = result.get("by_size", {}).get(f"{n} {order}") or result
                        runs.setdefault((n, order), []).append(one)
            by_n = {key: merge(results) for key, results in runs.items()}
            for value in by_n.values():
                for key in ("ames", "ses"):
                    if key in value:
                        value[key] = np.asarray(value[key])
            rows = scaling_rows(kind, method, options.scaling_n, by_n, outcome)
            # The sizes' results carry no "blas" (the worker's result does), so this
            # stays None and the report says the BLAS is unknown.
            outcome.blas = outcome.blas or by_n[options.scaling_n[0], "C"].get("blas")
            print()
            print(
                f'zarn scaling, {kind.capitalize()}, se_method="{method}", k = {options.k}, '
                f"{options.binary} binary"
            )
            print_table(HEADER, rows, options.markdown)
    return outcome


def scaling_rows(
    kind: Model,
    method: Method,
    sizes: Sequence[int],
    by_n: dict[tuple[int, str], dict[str, Any]],
    outcome: Outcome,
) -> list[list[str]]:
    """Returns the table rows of one scaling case and adds its checks and targets.

    Both comparisons are of zarn with itself, so they are judged by CPU time,
    which other programs on a shared machine disturb less than wall time. Peak
    memory is left to the other runs: after its first call a process reuses
    the memory freed by earlier ones, so only a fresh process measures it.
    """
    rows = []
    first = sizes[0]
    base = by_n[first, "C"].get("cpu_seconds", [])
    for n in sizes:
        c, f = by_n[n, "C"], by_n[n, "F"]
        cpu_c, cpu_f = median(c, "cpu_seconds"), median(f, "cpu_seconds")
        # Call by call: the calls of one round of the worker were made one after another.
        times_c, times_f = c.get("cpu_seconds", []), f.get("cpu_seconds", [])
        growth = paired_median(
            [(t / n) / (t0 / first) for t, t0 in zip(times_c, base, strict=False)]
        )
        f_over_c = paired_median([tf / tc for tf, tc in zip(times_f, times_c, strict=False)])
        rows.append(
            [
                f"{n:,}",
                fmt_seconds(median(c)),
                fmt_seconds(cpu_c),
                f"{cpu_c / n * 1e9:.1f}",
                f"{growth:.2f}",
                fmt_seconds(median(f)),
                fmt_seconds(cpu_f),
                f"{f_over_c:.2f}",
            ]
        )
        prefix = f"{kind}/{method} n={n:,}"
        outcome.targets.append(
            Target(
                f"{prefix}: F / C within 20 %, CPU time", f"{f_over_c:.2f}", 0.8 <= f_over_c <= 1.2
            )
        )
        outcome.targets.append(
            Target(
                f"{prefix}: CPU time per row vs n={first:,} within 20 %",
                f"{growth:.2f}",
                0.8 <= growth <= 1.2,
            )
        )
        if "error" not in c and "error" not in f:
            outcome.checks.append(pair(f"{prefix}: F order vs C order", f, c, TOLERANCE_ZARN))
    return rows
