"""The floor: X @ beta plus the C library calls one pass needs, timed by bench/floor.c.

The pass takes each row's own link values once and, per binary column, only
those of the counterfactual side: Logit 2 + 2g calls of exp, Probit 1 + g of
exp and 1 + g of erfc (g binary columns). The driver compiles floor.c once per
run; the zarn worker samples the floor after each of its calls (see Floor).
"""

import json
import math
import os
import shutil
import statistics
import subprocess
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

SOURCE = Path(__file__).resolve().parent.parent / "floor.c"
FLOOR_SAMPLE_ROWS = 32768

# Figures of a floor sample that are pooled by their median.
SAMPLE_FIGURES = (
    "wall_estimate",
    "product_single",
    "calls_seconds",
    "exp_ns",
    "erfc_ns",
    "erfc_scalar_ns",
)
FLOOR_FIGURES = (*SAMPLE_FIGURES, "product_default")


@dataclass(frozen=True)
class FloorProgram:
    """bench/floor.c compiled for this run, and the erfc it times."""

    binary: Path
    compiler: str  # the first line of the compiler's --version
    vector_erfc: bool  # the extension, and so the floor, takes the C library's vector erfc


def module_uses_vector_erfc() -> bool:
    """True when the installed extension calls the C library's vector erfc (libmvec): it
    looks the function up when imported, where it was built to, libmvec has it, the
    processor has SSE4.1 and VELMORA_SCALAR_ERFC is not 1 (the benchmark's workers inherit
    this environment)."""
    import ctypes

    import velmora

    if b"_ZGVbN2v_erfc" not in Path(velmora.__file__).read_bytes():
        return False
    if os.environ.get("VELMORA_SCALAR_ERFC") == "1":
        return False
    try:
        ctypes.CDLL("libmvec.so.1")["_ZGVbN2v_erfc"]
    except (OSError, AttributeError):
        return False
    cpu = Path("/proc/cpuinfo")
    return cpu.exists() and "sse4_1" in cpu.read_text()


def compile_floor(folder: Path, vector_erfc: bool) -> FloorProgram:
    """Compiles bench/floor.c to time the exp and erfc that the extension calls."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise SystemExit("no C compiler found for bench/floor.c (set CC)")
    binary = folder / "floor"
    vector = ["-DFLOOR_VECTOR_ERFC"] if vector_erfc else []
    libraries = ["-lmvec", "-lm"] if vector_erfc else ["-lm"]
    subprocess.run(
        [compiler, "-O2", "-ffp-contract=off", *vector, "-o", str(binary), str(SOURCE), *libraries],
        check=True,
    )
    version = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=False)
    return FloorProgram(binary, (version.stdout.splitlines() or [compiler])[0], vector_erfc)


def floor_arguments(
    kind: str, method: str, X: FloatArray, beta: FloatArray, binary: Sequence[int]
) -> tuple[FloatArray, FloatArray, int]:
    """Returns the exp and erfc arguments one pass hands to the C library, per sampled row.

    Per row the pass takes the link values of the row's own xb once, and for each
    binary column those of the one counterfactual side that differs from xb.
    """
    step = max(1, X.shape[0] // FLOOR_SAMPLE_ROWS)
    rows = np.ascontiguousarray(X[::step][:FLOOR_SAMPLE_ROWS])
    xb = rows @ beta
    sides = [xb]
    for j in binary:
        x = rows[:, j]
        sides.append(np.where(x == 1.0, xb + (-x) * beta[j], xb + (1.0 - x) * beta[j]))
    if kind == "logit":
        # f(v) takes exp(v); F(v) takes exp(-v). Without binary columns only
        # "sm" needs F (for f'), "kova" needs f alone.
        need_cdf = bool(binary) or method == "sm"
        exp_args = [xb] + ([-xb] if need_cdf else [])
        for v in sides[1:]:
            exp_args += [-v, v]
        erfc_args = []
    else:
        # f(v) takes exp(-v^2 / 2); F(v) = erfc(-v / sqrt 2) / 2, needed only
        # with binary columns.
        exp_args = [(-0.5 * v) * v for v in sides]
        erfc_args = [(0.0 - v) / 1.4142135623730951 for v in sides] if binary else []
    return concatenate(exp_args), concatenate(erfc_args), len(rows)


def concatenate(parts: list[FloatArray]) -> FloatArray:
    """Returns the parts end to end; an empty array for no parts."""
    return np.concatenate(parts) if parts else np.empty(0)


class Floor:
    """The floor of one case, measured in the zarn worker between its calls.

    A sample is the CPU time of X @ beta on one thread plus, per row, the exp and
    erfc calls one pass needs, at the per-call cost that bench/floor.c measures
    right then over about n rows' worth of calls. Taken after each zarn call, the
    samples pair with zarn's calls, so that both see the machine as it was.
    """

    def __init__(
        self,
        program: str,
        kind: str,
        method: str,
        X: FloatArray,
        beta: FloatArray,
        binary: Sequence[int],
        folder: Path,
    ) -> None:
        """Writes the arguments of the library calls into folder for the floor program."""
        exp_args, erfc_args, rows = floor_arguments(kind, method, X, beta, binary)
        self.exp_path, self.erfc_path = folder / "exp_args.bin", folder / "erfc_args.bin"
        exp_args.astype(np.float64).tofile(self.exp_path)
        erfc_args.astype(np.float64).tofile(self.erfc_path)
        self.binary_path = program
        self.X, self.beta, self.n = X, beta, X.shape[0]
        self.exp_calls, self.erfc_calls = len(exp_args) / rows, len(erfc_args) / rows
        self.passes = str(max(3, math.ceil(self.n / rows)))

    def product(self) -> tuple[float, float]:
        """Returns this thread's CPU time and the wall time of X @ beta, the faster of two.

        Right after other work (a zarn call, the floor program) the first product
        over a large X can run at half speed; the second shows what one read of X
        costs, which is what the floor stands for.
        """
        runs = []
        for _ in range(2):
            cpu_start, start = time.thread_time(), time.perf_counter()
            self.X @ self.beta
            runs.append((time.thread_time() - cpu_start, time.perf_counter() - start))
        return min(runs)

    def sample(self) -> dict[str, float]:
        """Returns one sample of the floor, in seconds, and the per-call costs in ns."""
        timing = json.loads(
            subprocess.run(
                [self.binary_path, str(self.exp_path), str(self.erfc_path), self.passes],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
        )
        # On one thread (the caller holds BLAS to one): its CPU time is then all the product's.
        product_cpu, product_wall = self.product()
        per_row = self.exp_calls * timing["exp_ns"] + self.erfc_calls * timing["erfc_ns"]
        per_row_wall = (
            self.exp_calls * timing["exp_wall_ns"] + self.erfc_calls * timing["erfc_wall_ns"]
        )
        calls = self.n * per_row * 1e-9
        return {
            "seconds": product_cpu + calls,
            "wall_estimate": product_wall + self.n * per_row_wall * 1e-9,
            "product_single": product_cpu,
            "calls_seconds": calls,
            "exp_ns": timing["exp_ns"],
            "erfc_ns": timing["erfc_ns"],
            "erfc_scalar_ns": timing["erfc_scalar_ns"],
        }

    def summary(self, samples: list[dict[str, float]]) -> dict[str, Any]:
        """The samples as a result: every sample's seconds, the medians of the rest."""
        out: dict[str, Any] = {
            key: statistics.median(s[key] for s in samples) for key in SAMPLE_FIGURES
        }
        # With the default BLAS threads, for the report; taken last, so that
        # the threads it wakes cannot spin beside a zarn call.
        product_default = statistics.median(self.product()[1] for _ in range(3))
        out.update(
            seconds=[s["seconds"] for s in samples],
            product_default=product_default,
            exp_calls=self.exp_calls,
            erfc_calls=self.erfc_calls,
        )
        return out
