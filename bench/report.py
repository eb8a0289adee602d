"""The printed report: number formats, tables (plain or Markdown), checks, targets, machine."""

import math
import os
import platform
import sys
from collections.abc import Sequence
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import Any

from bench.checks import Check, Target


def fmt_seconds(s: float) -> str:
    return "-" if math.isnan(s) else (f"{s:.4f}" if s < 10 else f"{s:.2f}")


def fmt_mib(m: float) -> str:
    return "-" if math.isnan(m) else f"{m:.1f}"


def fmt_ratio(r: float) -> str:
    return "-" if math.isnan(r) else (f"{r:.2f}" if r < 100 else f"{r:.0f}")


def progress(text: str) -> None:
    """Says on stderr which run starts."""
    print(f"  running {text} ...", file=sys.stderr, flush=True)


def print_table(header: Sequence[str], rows: Sequence[Sequence[str]], markdown: bool) -> None:
    """Prints an aligned plain-text table, or a Markdown one under --markdown."""
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]

    def line(row: Sequence[str]) -> str:
        cells = [
            str(c).ljust(w) if i == 0 else str(c).rjust(w)
            for i, (c, w) in enumerate(zip(row, widths, strict=True))
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


def print_checks(checks: Sequence[Check], targets: Sequence[Target]) -> bool:
    """Prints the agreement checks and the targets; returns True when every check passed."""
    print()
    print("Agreement (largest relative difference)")
    for check in checks:
        ok = check.passed()
        se_text = "-" if check.std_errors is None else f"{check.std_errors:.1e}"
        print(
            f"  {'ok  ' if ok else 'FAIL'} {check.label}: effects {check.effects:.1e}, "
            f"std. errors {se_text} (tolerance {check.tolerance:.0e})"
        )
    if not checks:
        print("  nothing to compare")
    print()
    print("Targets")
    for label, measured, met in targets:
        print(f"  {'met   ' if met else 'MISSED'} {label}: {measured}")
    return all(check.passed() for check in checks)


def print_environment(
    compiler: str,
    blas: list[dict[str, Any]] | None,
    load_start: float,
    vector_erfc: bool,
    blas_worker: str = "a zarn worker",
) -> None:
    """Prints the machine, the libraries' versions, the BLAS and its settings, the load."""
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
                f"  BLAS in {blas_worker}: {Path(info['filepath']).name} {info['version']}, "
                f"{info['num_threads']} threads, kernel {info['architecture']}"
            )
    else:
        print("  BLAS threads: unknown (pip install threadpoolctl)")
