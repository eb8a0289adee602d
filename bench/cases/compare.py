"""The default case: zarn against NumPy, statsmodels and the floor, per model and se_method.

Each model and method runs in --rounds rounds, each of which starts every timed
competitor once (zarn, which samples the floor after each call; zarn at each of
--zarn-chunk-sizes; NumPy at each of --chunk-sizes), so that all of them
sample the same stretch of time; the calls of all rounds are pooled.
statsmodels runs once per model.
"""

from dataclasses import dataclass
from typing import Any

from bench.cases import Outcome
from bench.checks import (
    TOLERANCE_OTHERS,
    TOLERANCE_ZARN,
    Check,
    Target,
    pair,
    relative_difference,
)
from bench.competitors.floor import FloorProgram
from bench.competitors.margeff import memory_skip_reason
from bench.data import prepare
from bench.options import Method, Model, Options
from bench.report import fmt_mib, fmt_ratio, fmt_seconds, print_table, progress
from bench.results import error_of, median, merge, paired_median, peak
from bench.workers import Result, Runner


@dataclass
class CaseResults:
    """The results of one model and method: of one round, or pooled over the rounds."""

    zarn: Result
    zarn_chunked: dict[int, Result]
    numpy: dict[int, Result]
    statsmodels: Result | None
    floor: Result


def run(options: Options, runner: Runner, floor: FloorProgram) -> Outcome:
    """Runs every competitor per model and method; returns the agreement checks and targets."""
    folder = prepare(runner, options.n, options.k, options.binary, options.models)
    base = {"folder": str(folder), "order": options.order}
    skip_statsmodels = (
        "skipped (--skip-statsmodels)"
        if options.skip_statsmodels
        else memory_skip_reason(options.n, options.k)
    )
    outcome = Outcome()
    for kind in options.models:
        statsmodels = None
        if skip_statsmodels is None:
            progress(f"statsmodels ({kind}), once")
            statsmodels = runner.run("statsmodels", model=kind, method="sm", repeat=1, **base)
        for method in options.methods:
            task = {"model": kind, "method": method, **base}
            rounds = []
            for r in range(options.rounds):
                progress(f"{kind} / {method}, round {r + 1} of {options.rounds}")
                rounds.append(run_round(options, runner, task))
            case = CaseResults(
                zarn=merge([one.zarn for one in rounds]),
                zarn_chunked={
                    c: merge([one.zarn_chunked[c] for one in rounds])
                    for c in options.zarn_chunk_sizes
                },
                numpy={c: merge([one.numpy[c] for one in rounds]) for c in rounds[0].numpy},
                statsmodels=statsmodels,
                floor=merge([one.floor for one in rounds]),
            )
            report_case(options, kind, method, case, skip_statsmodels, floor.vector_erfc)
            outcome.checks += agreement(kind, method, case)
            outcome.targets += target_checks(kind, method, case)
            outcome.blas = outcome.blas or case.zarn.get("blas")
    return outcome


def run_round(options: Options, runner: Runner, task: dict[str, Any]) -> CaseResults:
    """Runs every timed competitor of one case once, each in a fresh process."""
    zarn = runner.run("zarn", chunk_size=None, repeat=options.repeat, with_floor=True, **task)
    return CaseResults(
        zarn=zarn,
        zarn_chunked={
            c: runner.run("zarn", chunk_size=c, repeat=options.repeat, **task)
            for c in options.zarn_chunk_sizes
        },
        numpy={
            c: runner.run("numpy", chunk_size=c, repeat=options.numpy_repeat, **task)
            for c in ([] if options.skip_numpy else options.chunk_sizes)
        },
        statsmodels=None,
        floor=zarn.get("floor", {"error": zarn.get("error", "not measured")}),
    )


def best_numpy(case: CaseResults) -> int | None:
    """Returns the chunk size of the fastest NumPy run that succeeded, or None."""
    good = [c for c, r in case.numpy.items() if "error" not in r]
    return min(good, key=lambda c: median(case.numpy[c])) if good else None


def report_case(
    options: Options,
    kind: Model,
    method: Method,
    case: CaseResults,
    skip_statsmodels: str | None,
    vector_erfc: bool,
) -> None:
    """Prints the table of one model and method, then the NumPy runs and the floor's parts."""
    zarn, floor = case.zarn, case.floor
    t_zarn, cpu_zarn = median(zarn), median(zarn, "cpu_seconds")

    def row(label: str, result: Result, memory: bool = True) -> list[str]:
        t, cpu = median(result), median(result, "cpu_seconds")
        return [
            label,
            fmt_seconds(t),
            fmt_ratio(t / t_zarn),
            fmt_seconds(cpu),
            fmt_ratio(cpu / cpu_zarn),
            fmt_mib(peak(result)) if memory else "-",
            error_of(result),
        ]

    rows = [row("zarn", zarn)]
    rows += [row(f"zarn chunk_size={c}", r) for c, r in case.zarn_chunked.items()]
    best = best_numpy(case)
    if best is not None:
        rows.append(row(f"NumPy, best chunk {best}", case.numpy[best]))
    elif case.numpy:
        rows.append(row("NumPy", next(iter(case.numpy.values()))))
    if case.statsmodels is not None:
        rows.append(row("statsmodels get_margeff", case.statsmodels))
    else:
        rows.append(["statsmodels get_margeff", "-", "-", "-", "-", "-", str(skip_statsmodels)])
    label = "floor" if "error" in floor else f"floor ({floor_calls_text(floor)})"
    rows.append(row(label, floor, memory=False))

    print()
    print(
        f'{kind.capitalize()}, se_method="{method}": n = {options.n:,}, k = {options.k} '
        f"(1 constant, {options.binary} binary, {options.k - 1 - options.binary} continuous), "
        f"X in {options.order} order"
    )
    header = ["competitor", "median s", "/ zarn", "CPU s", "/ zarn", "peak extra MiB", "note"]
    print_table(header, rows, options.markdown)
    runs = [(c, r) for c, r in case.numpy.items() if "error" not in r]
    if runs:
        print(
            "  NumPy by chunk size: "
            + ", ".join(f"{c}: {fmt_seconds(median(r))} s, {fmt_mib(peak(r))} MiB" for c, r in runs)
        )
    if "error" not in floor:
        erfc = ""
        if floor["erfc_calls"]:
            erfc = f", erfc {floor['erfc_ns']:.2f} ns/call"
            if vector_erfc:
                erfc += f" (vector erfc; the scalar erfc {floor['erfc_scalar_ns']:.2f})"
        print(
            f"  floor, by CPU time: X @ beta {floor['product_single'] * 1e3:.1f} ms single-threaded"
            f" ({floor['product_default'] * 1e3:.1f} ms wall with default threads); "
            f"exp {floor['exp_ns']:.2f} ns/call{erfc}; "
            f"library calls {floor['calls_seconds'] * 1e3:.1f} ms; "
            f"by wall clock the floor is {floor['wall_estimate']:.4f} s"
        )


def floor_calls_text(floor: Result) -> str:
    """Returns what the floor counts, e.g. "X@beta + 7 exp + 7 erfc per row"."""
    parts = [f"{floor['exp_calls']:g} exp"]
    if floor["erfc_calls"]:
        parts.append(f"{floor['erfc_calls']:g} erfc")
    return "X@beta + " + " + ".join(parts) + " per row"


def agreement(kind: Model, method: Method, case: CaseResults) -> list[Check]:
    """Returns the check of every competitor that ran against zarn."""
    zarn = case.zarn
    if "error" in zarn:
        return []
    prefix = f"{kind}/{method}"
    checks = [
        pair(f"{prefix}: zarn chunk_size={c} vs zarn", r, zarn, TOLERANCE_ZARN)
        for c, r in case.zarn_chunked.items()
        if "error" not in r
    ]
    checks += [
        pair(f"{prefix}: NumPy chunk {c} vs zarn", r, zarn, TOLERANCE_OTHERS)
        for c, r in case.numpy.items()
        if "error" not in r
    ]
    statsmodels = case.statsmodels
    if statsmodels is not None and "error" not in statsmodels:
        label = f"{prefix}: statsmodels vs zarn"
        if method == "sm":
            checks.append(pair(label, statsmodels, zarn, TOLERANCE_OTHERS))
        else:
            # statsmodels' standard errors are those of "sm"; the effects are common.
            difference = relative_difference(statsmodels["ames"], zarn["ames"])
            checks.append(Check(label + " (effects only)", difference, None, TOLERANCE_OTHERS))
    return checks


def target_checks(kind: Model, method: Method, case: CaseResults) -> list[Target]:
    """Returns the performance targets of one model and method, met or missed."""
    zarn, floor, statsmodels = case.zarn, case.floor, case.statsmodels
    prefix = f"{kind}/{method}"
    if "error" in zarn:
        return [Target(f"{prefix}: zarn ran", "failed", False)]
    t = median(zarn)
    out = []
    if statsmodels is not None and "error" not in statsmodels:
        r = median(statsmodels) / t
        out.append(Target(f"{prefix}: statsmodels / zarn >= 100", f"{r:.0f}", r >= 100))
    if "error" not in floor:
        # The floor counts CPU time, so zarn's CPU time is set against it, call by
        # call: each floor sample was taken right after the call it pairs with.
        cpu, samples = zarn.get("cpu_seconds") or zarn["seconds"], floor["seconds"]
        r = paired_median([z / f for z, f in zip(cpu, samples, strict=False)])
        wall = paired_median([z / f for z, f in zip(zarn["seconds"], samples, strict=False)])
        out.append(
            Target(
                f"{prefix}: zarn / floor <= 1.3, CPU time",
                f"{r:.2f} (wall time {wall:.2f})",
                r <= 1.3,
            )
        )
    best = best_numpy(case)
    if best is not None:
        need = 2.5 if kind == "probit" else 1.0
        r = median(case.numpy[best]) / t
        out.append(
            Target(f"{prefix}: NumPy (best chunk) / zarn >= {need:g}", f"{r:.2f}", r >= need)
        )
    runs = [("zarn", zarn)] + [(f"zarn chunk_size={c}", r) for c, r in case.zarn_chunked.items()]
    for label, result in runs:
        if "error" not in result:
            memory = peak(result)
            out.append(
                Target(f"{prefix}: {label} peak extra <= 16 MiB", f"{memory:.1f} MiB", memory <= 16)
            )
    return out
