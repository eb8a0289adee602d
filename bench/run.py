"""Benchmark of velmora.zarn against statsmodels, plain NumPy and an estimated floor.

    python bench/run.py                      # n = 10**6, k = 21 (6 binary), Logit and Probit
    python bench/run.py --n 10000000 --model logit --skip-statsmodels
    python bench/run.py --scaling            # zarn alone at n = 10**5 .. 10**7, C and F order

Every competitor runs in a fresh process that loads the same deterministic data
(built once per run and kept in a temporary folder), so the peak memory it
reports is its own: the resident set before the call is read, the peak is
reset (/proc/self/clear_refs), and the peak after the call minus the resident
set before it is the call's peak extra memory. Times are medians of repeated
calls; statsmodels runs once. Each worker saves its effects and standard errors,
and the run ends by checking that all competitors agree.

The competitors:
  zarn          velmora.zarn, without and with chunk_size, for both se_methods;
  NumPy         bench/numpy_ame.py, the same formulas vectorised over chunks of
                rows, at several chunk sizes (the best one is reported);
  statsmodels   results.get_margeff(at='overall', method='dydx', dummy=True),
                which matches se_method="sm";
  floor         the time of X @ beta (single-threaded BLAS) plus, per row, the
                exp and erfc calls one pass needs, times their per-call cost in
                the C library, measured by bench/floor.c compiled here. Both are
                taken by CPU clocks, so the floor stays put on a busy machine;
                zarn's CPU time is set against it. The zarn worker takes a
                sample of the floor after each of its calls, and the ratio is
                the median of the call-by-call ratios.

The data: a constant, --binary columns of 0/1 and the rest standard normal;
beta is fixed; y is drawn from the model; the coefficient covariance is the
inverse Fisher information at beta. zarn and NumPy read a duck-typed result
(params, cov_params(), model.exog, model.exog_names); statsmodels gets its own
results object holding the same beta and covariance, so all compare like with like.

Needs numpy, scipy, pandas, statsmodels, threadpoolctl, velmora and a C compiler
(cc or $CC). Linux only (reads /proc).
"""

import math
import os
import platform
import statistics
import sys
import tempfile
import time
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import numpy as np

if __package__ in (None, ""):  # run as a script: python bench/run.py
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

from bench.competitors.floor import (  # noqa: E402
    FLOOR_FIGURES,
    compile_floor,
    module_uses_vector_erfc,
)
from bench.competitors.margeff import memory_skip_reason  # noqa: E402
from bench.data import prepare  # noqa: E402
from bench.options import parse_options  # noqa: E402
from bench.workers import Runner, worker_main  # noqa: E402

# Agreement tolerances (largest relative difference): between implementations,
# and between zarn runs that differ only in chunking or memory order.
TOLERANCE_OTHERS = 1e-8
TOLERANCE_ZARN = 1e-11


def median(result, key="seconds"):
    """Returns the median wall time of a result (or of its CPU time, falling back to wall)."""
    values = result.get(key) or result.get("seconds")
    return statistics.median(values) if values else math.nan


def peak(result):
    return max(result["peak_mib"]) if result.get("peak_mib") else float("nan")


def relative_difference(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return math.inf
    scale = np.maximum(np.abs(b), np.finfo(float).tiny)
    return float(np.max(np.abs(a - b) / scale)) if a.size else 0.0


def fmt_seconds(s):
    return "-" if math.isnan(s) else (f"{s:.4f}" if s < 10 else f"{s:.2f}")


def fmt_mib(m):
    return "-" if math.isnan(m) else f"{m:.1f}"


def fmt_ratio(r):
    return "-" if math.isnan(r) else (f"{r:.2f}" if r < 100 else f"{r:.0f}")


def print_table(header, rows, markdown):
    """Prints an aligned plain-text table, or a Markdown one under --markdown."""
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]

    def line(row):
        cells = [
            str(c).ljust(w) if i == 0 else str(c).rjust(w)
            for i, (c, w) in enumerate(zip(row, widths))
        ]
        return "| " + " | ".join(cells) + " |" if markdown else "  ".join(cells).rstrip()

    print(line(header))
    if markdown:
        print(
            "|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|"
        )
    else:
        print("  ".join("-" * w for w in widths).rstrip())
    for row in rows:
        print(line(row))


def compare(options, runner, vector_erfc):
    """Runs every competitor per model and method; returns the agreement checks and targets."""
    folder = prepare(runner, options.n, options.k, options.binary, options.models)
    base = {"folder": str(folder), "order": options.order}
    skip_statsmodels = (
        "skipped (--skip-statsmodels)"
        if options.skip_statsmodels
        else memory_skip_reason(options.n, options.k)
    )
    checks, targets = [], []
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
            case = {
                "zarn": merge([one["zarn"] for one in rounds]),
                "zarn_chunked": {
                    c: merge([one["zarn_chunked"][c] for one in rounds])
                    for c in options.zarn_chunk_sizes
                },
                "numpy": {
                    c: merge([one["numpy"][c] for one in rounds]) for c in rounds[0]["numpy"]
                },
                "statsmodels": statsmodels,
                "floor": merge([one["floor"] for one in rounds]),
            }
            report_case(options, kind, method, case, skip_statsmodels, vector_erfc)
            checks += agreement(kind, method, case)
            targets += target_checks(kind, method, case)
            runner.blas = runner.blas or case["zarn"].get("blas")
    return checks, targets


def run_round(options, runner, task):
    """Runs every timed competitor of one case once, each in a fresh process."""
    zarn = runner.run("zarn", chunk_size=None, repeat=options.repeat, with_floor=True, **task)
    return {
        "zarn": zarn,
        "zarn_chunked": {
            c: runner.run("zarn", chunk_size=c, repeat=options.repeat, **task)
            for c in options.zarn_chunk_sizes
        },
        "numpy": {
            c: runner.run("numpy", chunk_size=c, repeat=options.numpy_repeat, **task)
            for c in ([] if options.skip_numpy else options.chunk_sizes)
        },
        "floor": zarn.get("floor", {"error": zarn.get("error", "not measured")}),
    }


def merge(results):
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


def progress(text):
    print(f"  running {text} ...", file=sys.stderr, flush=True)


def best_numpy(case):
    """Returns the chunk size of the fastest NumPy run that succeeded, or None."""
    good = [c for c, r in case["numpy"].items() if "error" not in r]
    return min(good, key=lambda c: median(case["numpy"][c])) if good else None


def report_case(options, kind, method, case, skip_statsmodels, vector_erfc):
    zarn, floor = case["zarn"], case["floor"]
    t_zarn, cpu_zarn = median(zarn), median(zarn, "cpu_seconds")

    def row(label, result, memory=True):
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
    rows += [row(f"zarn chunk_size={c}", r) for c, r in case["zarn_chunked"].items()]
    best = best_numpy(case)
    if best is not None:
        rows.append(row(f"NumPy, best chunk {best}", case["numpy"][best]))
    elif case["numpy"]:
        rows.append(row("NumPy", next(iter(case["numpy"].values()))))
    if case["statsmodels"] is not None:
        rows.append(row("statsmodels get_margeff", case["statsmodels"]))
    else:
        rows.append(["statsmodels get_margeff", "-", "-", "-", "-", "-", skip_statsmodels])
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
    runs = [(c, r) for c, r in case["numpy"].items() if "error" not in r]
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


def error_of(result):
    return f"failed: {result['error']}" if "error" in result else ""


def floor_calls_text(floor):
    parts = [f"{floor['exp_calls']:g} exp"]
    if floor["erfc_calls"]:
        parts.append(f"{floor['erfc_calls']:g} erfc")
    return "X@beta + " + " + ".join(parts) + " per row"


def agreement(kind, method, case):
    """Returns (label, effects difference, SE difference, tolerance) per pair compared."""
    zarn = case["zarn"]
    if "error" in zarn:
        return []
    prefix = f"{kind}/{method}"
    checks = [
        pair(f"{prefix}: zarn chunk_size={c} vs zarn", r, zarn, TOLERANCE_ZARN)
        for c, r in case["zarn_chunked"].items()
        if "error" not in r
    ]
    checks += [
        pair(f"{prefix}: NumPy chunk {c} vs zarn", r, zarn, TOLERANCE_OTHERS)
        for c, r in case["numpy"].items()
        if "error" not in r
    ]
    statsmodels = case["statsmodels"]
    if statsmodels is not None and "error" not in statsmodels:
        label = f"{prefix}: statsmodels vs zarn"
        if method == "sm":
            checks.append(pair(label, statsmodels, zarn, TOLERANCE_OTHERS))
        else:
            # statsmodels' standard errors are those of "sm"; the effects are common.
            difference = relative_difference(statsmodels["ames"], zarn["ames"])
            checks.append((label + " (effects only)", difference, None, TOLERANCE_OTHERS))
    return checks


def pair(label, a, b, tolerance):
    if list(a["names"]) != list(b["names"]):
        return (label + " (different columns)", math.inf, math.inf, tolerance)
    return (
        label,
        relative_difference(a["ames"], b["ames"]),
        relative_difference(a["ses"], b["ses"]),
        tolerance,
    )


def target_checks(kind, method, case):
    """Returns (description, measured, met) for each performance target."""
    zarn, floor, statsmodels = case["zarn"], case["floor"], case["statsmodels"]
    prefix = f"{kind}/{method}"
    if "error" in zarn:
        return [(f"{prefix}: zarn ran", "failed", False)]
    t = median(zarn)
    out = []
    if statsmodels is not None and "error" not in statsmodels:
        r = median(statsmodels) / t
        out.append((f"{prefix}: statsmodels / zarn >= 100", f"{r:.0f}", r >= 100))
    if "error" not in floor:
        # The floor counts CPU time, so zarn's CPU time is set against it, call by
        # call: each floor sample was taken right after the call it pairs with.
        cpu, samples = zarn.get("cpu_seconds") or zarn["seconds"], floor["seconds"]
        r = paired_median([z / f for z, f in zip(cpu, samples)])
        wall = paired_median([z / f for z, f in zip(zarn["seconds"], samples)])
        out.append(
            (
                f"{prefix}: zarn / floor <= 1.3, CPU time",
                f"{r:.2f} (wall time {wall:.2f})",
                r <= 1.3,
            )
        )
    best = best_numpy(case)
    if best is not None:
        need = 2.5 if kind == "probit" else 1.0
        r = median(case["numpy"][best]) / t
        out.append((f"{prefix}: NumPy (best chunk) / zarn >= {need:g}", f"{r:.2f}", r >= need))
    runs = [("zarn", zarn)] + [(f"zarn chunk_size={c}", r) for c, r in case["zarn_chunked"].items()]
    for label, r in runs:
        if "error" not in r:
            out.append(
                (f"{prefix}: {label} peak extra <= 16 MiB", f"{peak(r):.1f} MiB", peak(r) <= 16)
            )
    return out


def paired_median(ratios):
    return statistics.median(ratios) if ratios else math.nan


def scaling_rows(kind, method, sizes, by_n, checks, targets):
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
        growth = paired_median([(t / n) / (t0 / first) for t, t0 in zip(times_c, base)])
        f_over_c = paired_median([tf / tc for tf, tc in zip(times_f, times_c)])
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
        targets.append(
            (f"{prefix}: F / C within 20 %, CPU time", f"{f_over_c:.2f}", 0.8 <= f_over_c <= 1.2)
        )
        targets.append(
            (
                f"{prefix}: CPU time per row vs n={first:,} within 20 %",
                f"{growth:.2f}",
                0.8 <= growth <= 1.2,
            )
        )
        if "error" not in c and "error" not in f:
            checks.append(pair(f"{prefix}: F order vs C order", f, c, TOLERANCE_ZARN))
    return rows


def scaling(options, runner):
    """Times zarn over n for C and F order; returns the agreement checks and targets."""
    checks, targets = [], []
    for kind in options.models:
        for method in options.methods:
            rows, runs = [], {}
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
            rows += scaling_rows(kind, method, options.scaling_n, by_n, checks, targets)
            runner.blas = runner.blas or by_n[options.scaling_n[0], "C"].get("blas")
            print()
            print(
                f'zarn scaling, {kind.capitalize()}, se_method="{method}", k = {options.k}, '
                f"{options.binary} binary"
            )
            header = [
                "n",
                "C: median s",
                "CPU s",
                "CPU ns / row",
                "vs first n",
                "F: median s",
                "CPU s",
                "F / C, call by call",
            ]
            print_table(header, rows, options.markdown)
    return checks, targets


def print_environment(compiler, blas, load_start, vector_erfc):
    print()
    print("Environment")
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        total = next(int(l.split()[1]) for l in meminfo if l.startswith("MemTotal")) / 2**20
    print(
        f"  CPU: {cpu}; {os.cpu_count()} logical cores "
        f"({len(os.sched_getaffinity(0))} usable); {total:.1f} GiB memory"
    )
    print(f"  {platform.system()} {platform.release()}; Python {platform.python_version()}")
    load_end = os.getloadavg()[0]
    print(f"  load average (1 minute): {load_start:.2f} at the start, {load_end:.2f} at the end")
    if max(load_start, load_end) > 1.5:
        print(
            "  The machine was busy: wall times include waiting for a core. CPU times are"
            " the steadier measure, and the floor is taken from them."
        )
    versions = []
    for name in ("velmora", "numpy", "scipy", "pandas", "statsmodels"):
        try:
            versions.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            versions.append(f"{name} missing")
    print("  " + ", ".join(versions))
    print(f"  C compiler for the floor: {compiler} (-O2 -ffp-contract=off)")
    erfc = "the C library's vector erfc (libmvec)" if vector_erfc else "the scalar erfc"
    print(f"  erfc in velmora and in the floor: {erfc}")
    for name in (
        "OPENBLAS_CORETYPE",
        "OPENBLAS_L2_SIZE",
        "OPENBLAS_NUM_THREADS",
        "OMP_NUM_THREADS",
    ):
        print(f"  {name}: {os.environ.get(name, 'unset')}")
    if blas:
        for info in blas:
            print(
                f"  BLAS in a zarn worker: {Path(info['filepath']).name} {info['version']}, "
                f"{info['num_threads']} threads, kernel {info['architecture']}"
            )
    else:
        print("  BLAS threads: unknown (pip install threadpoolctl)")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--worker"]:
        worker_main(argv[1])
        return 0
    options = parse_options(argv)
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
        if options.scaling:
            checks, targets = scaling(options, runner)
        else:
            checks, targets = compare(options, runner, vector_erfc)
    finally:
        if cleanup is not None:
            cleanup.cleanup()

    print()
    print("Agreement (largest relative difference)")
    failed = False
    for label, ame, se, tolerance in checks:
        ok = ame <= tolerance and (se is None or se <= tolerance)  # NaN fails
        failed |= not ok
        se_text = "-" if se is None else f"{se:.1e}"
        print(
            f"  {'ok  ' if ok else 'FAIL'} {label}: effects {ame:.1e}, std. errors {se_text}"
            f" (tolerance {tolerance:.0e})"
        )
    if not checks:
        print("  nothing to compare")
    print()
    print("Targets")
    for label, measured, met in targets:
        print(f"  {'met   ' if met else 'MISSED'} {label}: {measured}")
    print_environment(floor.compiler, runner.blas, load_start, vector_erfc)
    print(f"  run time {time.perf_counter() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
