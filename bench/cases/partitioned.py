"""Past one machine's memory: fit plus effects from Parquet files, on Dask.

Per model (Logit, Probit or Poisson; --model), size (--partitioned-n) and way of storing
the factor (the integers 1 to 5 or text labels; --factor), the data is written once as
Parquet files of a million rows each, and read once so that every run finds it in the
page cache. Then, in each of --rounds rounds, velmora_margins fits and takes the effects
on Dask's threaded scheduler on all cores, then on one thread (Dask, Arrow and BLAS held
to one thread); statsmodels does the same job once, from one pandas DataFrame (left out
with --skip-statsmodels, and past what this machine's memory holds). Each run is a fresh
process; the report gives each one's median time over the rounds, where the time went
and the peak resident memory of its process tree, then checks that the coefficients and
effects agree. After each round's one-thread run, the gain of the second core for a task
that shares nothing (bench/cores.py) shows what the machine's cores gave at the time.
"""

import math
import statistics
from pathlib import Path
from typing import NamedTuple

from bench.cases import Outcome
from bench.checks import Check, Target, relative_difference
from bench.competitors.floor import FloorProgram
from bench.competitors.partitioned import data_folder
from bench.cores import two_core_gain
from bench.options import Options
from bench.report import fmt_ratio, fmt_seconds, print_table, progress
from bench.results import error_of, median
from bench.workers import Result, Runner

# The targets: speed against statsmodels, all cores against one, memory of the process
# tree per size, and velmora's total time (fit plus effects, on threads) per size and model.
SPEEDUP = 10.0
THREADS_SPEEDUP = 1.7
MEMORY_GIB = {10**7: 3.0, 10**8: 4.0}
TOTAL_SECONDS = {(10**8, "logit"): 60.0}
# How each kind of data stores g, for the report's titles.
STORED = {"numeric": "the integers 1 to 5", "text": "text labels"}
# statsmodels' path needs about this many bytes a row (8.6 GiB at 10**7, measured).
STATSMODELS_BYTES_PER_ROW = 920
TOLERANCE = 1e-7
# A phase's system time is shown from this many seconds (process-wide, all threads).
SHOWN_SYSTEM = 0.05


def run(options: Options, runner: Runner, floor: FloorProgram) -> Outcome:
    del floor
    outcome = Outcome()
    for kind in options.models:
        for n in options.partitioned_n:
            for factor in options.factors:
                run_one(options, runner, outcome, Case(kind, factor, n))
    return outcome


class Case(NamedTuple):
    """One block of the report: a model, how the data stores g, and the rows."""

    kind: str
    factor: str
    n: int

    def label(self) -> str:
        return f"{self.kind}, {self.factor} g, n = {self.n:,}"


def run_one(options: Options, runner: Runner, outcome: Outcome, case: Case) -> None:
    """Writes one case's data, runs its workers, reports it and adds its checks and targets."""
    kind, n = case.kind, case.n
    folder = data_folder(runner.folder, n, kind, case.factor, options.file_rows)
    progress(f"writing {n:,} rows of {kind} data with g as {case.factor} as Parquet")
    written = runner.run(
        "write_parquet",
        folder=str(folder),
        n=n,
        model=kind,
        factor=case.factor,
        file_rows=options.file_rows,
    )
    if "error" in written:
        raise SystemExit(f"writing the data failed: {written['error']}")
    task = {"folder": str(folder), "model": kind}
    warm(folder)
    rounds, singles, gains = [], [], []
    for r in range(options.rounds):
        progress(f"velmora on Dask, {case.label()}, round {r + 1} of {options.rounds}")
        rounds.append(runner.run("partitioned_velmora", **task))
        if not options.skip_single_thread:
            progress(f"velmora on Dask, one thread, {case.label()}")
            singles.append(runner.run("partitioned_velmora", threads=1, **task))
            gains.append(two_core_gain())
    ours = pooled(rounds)
    single = pooled(singles) if singles else None
    theirs = None
    skip = statsmodels_skip(options, n)
    if skip is None:
        progress(f"statsmodels, {case.label()}")
        theirs = runner.run("partitioned_statsmodels", **task)
    files = len(list(folder.glob("*.parquet")))
    report(options, case, written["bytes"], files, ours, single, theirs, skip)
    gain = report_gains(gains)
    if outcome.blas is None and "error" not in ours:
        outcome.blas = ours["blas"]
        outcome.blas_worker = "a velmora worker on threads"
    outcome.checks += checks(case, ours, single, theirs)
    outcome.targets += targets(case, ours, single, theirs, gain)


def warm(folder: Path) -> None:
    """Reads the files once, so that every run finds them in the page cache alike."""
    for path in sorted(folder.glob("*.parquet")):
        with open(path, "rb") as data:
            while data.read(1 << 24):
                pass


def pooled(runs: list[Result]) -> Result:
    """Returns the run with the median total time, its calls' times pooled."""
    good = [r for r in runs if "error" not in r]
    if not good:
        return runs[0]
    ordered = sorted(good, key=median)
    out = dict(ordered[len(ordered) // 2])
    out["seconds"] = [t for r in good for t in r["seconds"]]
    return out


def statsmodels_skip(options: Options, n: int) -> str | None:
    if options.skip_statsmodels:
        return "skipped (--skip-statsmodels)"
    try:
        with open("/proc/meminfo") as meminfo:
            fields = dict(line.split(":", 1) for line in meminfo)
        available = int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return None
    need = n * STATSMODELS_BYTES_PER_ROW
    if need > 0.9 * available:
        return f"skipped: needs about {need / 2**30:.0f} GiB, {available / 2**30:.0f} GiB free"
    return None


def report(
    options: Options,
    case: Case,
    size: int,
    files: int,
    ours: Result,
    single: Result | None,
    theirs: Result | None,
    skip: str | None,
) -> None:
    print()
    print(
        f"{case.kind.capitalize()} fit plus effects from Parquet, g stored as "
        f"{STORED[case.factor]}: n = {case.n:,} rows, 16 numeric regressors and a factor "
        f"of 5 levels, {size / 2**30:.2f} GiB in {files} files"
    )
    base = median(ours)
    rows = []
    for label, result in (
        ("velmora on Dask, threads", ours),
        ("velmora on Dask, 1 thread", single),
        ("statsmodels, pandas", theirs),
    ):
        if result is None:
            if label.startswith("statsmodels"):
                rows.append([label, "-", "-", "-", "-", "-", skip or ""])
            continue
        if "error" in result:
            rows.append([label, "-", "-", "-", "-", "-", error_of(result)])
            continue
        rows.append(
            [
                label,
                fmt_seconds(median(result)),
                fmt_ratio(median(result) / base),
                fmt_seconds(result["fit_seconds"]),
                fmt_seconds(result["effects_seconds"]),
                f"{result['tree_peak_gib']:.2f}",
                blas_note(result) if result is not theirs else "",
            ]
        )
    header = ["run", "total s", "/ velmora", "fit s", "effects s", "peak GiB", "note"]
    print_table(header, rows, options.markdown)
    for label, result in (
        ("velmora, threads", ours),
        ("velmora, 1 thread", single),
        ("statsmodels", theirs),
    ):
        if result is not None and "error" not in result:
            parts = phase_parts(result["phases"], result.get("phase_system", {}))
            print(f"  where the time went ({label}): {parts}")
    if "error" not in ours:
        print(f"  Newton iterations: {ours['iterations']}; passes: {ours['calls']}")
        if ours["unwrapped"]:
            print(
                f"  not timed (this velmora has no such function): {', '.join(ours['unwrapped'])}"
            )


def phase_parts(seconds: dict[str, float], system: dict[str, float]) -> str:
    """Each phase's wall seconds, with the process's system time during it where that is
    at least SHOWN_SYSTEM seconds: CPU seconds in the kernel, of all threads together (so
    they may pass the wall seconds), on these runs mostly the faulting-in of fresh memory."""
    parts = []
    for phase, wall in seconds.items():
        kernel = system.get(phase, 0.0)
        shown = f" (system time {kernel:.2f} s)" if kernel >= SHOWN_SYSTEM else ""
        parts.append(f"{phase} {wall:.2f} s{shown}")
    return ", ".join(parts)


def report_gains(gains: list[float]) -> float | None:
    """Prints what the second core gave a task that shares nothing after each round;
    returns their median, or None when none was measured."""
    measured = [g for g in gains if not math.isnan(g)]
    if not measured:
        return None
    middle = statistics.median(measured)
    print(
        "  two cores against one for a task that shares nothing (bench/cores.py), after "
        f"each round: {', '.join(f'{g:.2f}' for g in gains)} (median {middle:.2f})"
    )
    return middle


def blas_threads(result: Result) -> list[int]:
    """The threads of each BLAS library a velmora run had loaded at its end."""
    return [info["num_threads"] for info in result.get("blas") or []]


def blas_note(result: Result) -> str:
    """The most threads of a BLAS library in a velmora run, as the report's note."""
    threads = blas_threads(result)
    return f"BLAS {max(threads)} thread{'s' if max(threads) > 1 else ''}" if threads else ""


def same_columns(ours: Result, other: Result) -> bool:
    return list(ours["names"]) == list(other["names"])


def checks(case: Case, ours: Result, single: Result | None, theirs: Result | None) -> list[Check]:
    out: list[Check] = []
    if "error" in ours:
        return out
    for label, other in (("one thread", single), ("statsmodels", theirs)):
        if other is None or "error" in other:
            continue
        title = f"{case.label()}: velmora on Dask vs {label}"
        if not same_columns(ours, other):
            out.append(Check(title + " (different columns)", math.inf, math.inf, TOLERANCE))
            continue
        out.append(
            Check(
                f"{title}, coefficients",
                relative_difference(ours["params"], other["params"]),
                None,
                TOLERANCE,
            )
        )
        out.append(
            Check(
                f"{title}, effects",
                relative_difference(ours["ames"], other["ames"]),
                relative_difference(ours["ses"], other["ses"]),
                TOLERANCE,
            )
        )
    return out


def targets(
    case: Case,
    ours: Result,
    single: Result | None,
    theirs: Result | None,
    gain: float | None = None,
) -> list[Target]:
    """Judges one case's targets; those whose runs did not run or failed are left out. The
    one-thread target's figure names gain, the second core's gain for a task that shares
    nothing, where it was measured: the most the machine gave at the time."""
    prefix = case.label()
    if "error" in ours:
        return [Target(f"{prefix}: velmora on Dask ran", "failed", False)]
    out: list[Target] = []
    limit = MEMORY_GIB.get(case.n)
    if limit is not None:
        peak = ours["tree_peak_gib"]
        out.append(
            Target(f"{prefix}: peak memory <= {limit:g} GiB", f"{peak:.2f} GiB", peak <= limit)
        )
    seconds = TOTAL_SECONDS.get((case.n, case.kind))
    if seconds is not None:
        total = median(ours)
        label = f"{prefix}: velmora fit plus effects <= {seconds:g} s"
        out.append(Target(label, f"{total:.1f} s", total <= seconds))
    if theirs is not None and "error" not in theirs:
        r = median(theirs) / median(ours)
        out.append(
            Target(f"{prefix}: statsmodels / velmora >= {SPEEDUP:g}", f"{r:.1f}", r >= SPEEDUP)
        )
    if single is not None and "error" not in single:
        r = median(single) / median(ours)
        label = f"{prefix}: one thread / threads >= {THREADS_SPEEDUP:g}"
        blas = blas_threads(single)
        if any(t != 1 for t in blas):
            # A run whose BLAS had more threads than one is no one-thread run.
            out.append(Target(label, f"{r:.2f}, but BLAS on {max(blas)} threads", False))
        else:
            beside = "" if gain is None else f" (a task that shares nothing: {gain:.2f})"
            out.append(Target(label, f"{r:.2f}{beside}", r >= THREADS_SPEEDUP))
    return out
