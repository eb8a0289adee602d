"""Fit plus effects from Parquet files: velmora_margins on Dask against statsmodels.

The data: 16 standard normal regressors and a factor of five levels, y drawn from a
Logit, Probit or Poisson model, written as Parquet files of a million rows each (a folder
per size, model and factor kind, kept with --keep-data). The factor is stored either as
the integers 1 to 5 or as text labels (LABELS, the integers' labels in order); both kinds
hold the same draws, row for row. The Poisson counts share the slopes of the binary
models; their intercept, 0.4, puts the mean count near 2 (exp(0.4 + 0.565 / 2), 0.565
being the variance of the rest of the linear predictor). The velmora worker runs
velmora_margins.fit on the folder with Dask's threaded scheduler and then margins on the
result; the statsmodels worker reads the files into one pandas DataFrame, fits with
statsmodels' formula interface and takes the same effects from that fit. Both report their
time, where it went, and the peak resident memory of their whole process tree.
"""

import importlib
import os
import resource
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

from bench.measure import blas_info
from bench.workers import Result, Task

NUMERIC = 16
LEVELS = 5
FILE_ROWS = 10**6
# The factor's text labels: level i + 1 of the numeric data is LABELS[i]. Their
# alphabetical order, which C(g) takes, is not the numeric order.
LABELS = ("north", "south", "east", "west", "central")
# Mean count of the Poisson data about 2: see the module's notes.
POISSON_INTERCEPT = 0.4
FORMULA = "y ~ " + " + ".join(f"x{i + 1}" for i in range(NUMERIC)) + " + C(g)"


def data_folder(root: Path, n: int, kind: str, factor: str, file_rows: int = FILE_ROWS) -> Path:
    """The folder of one size, model and factor kind (and size of file, if not the usual)."""
    rows = "" if file_rows == FILE_ROWS else f"_{file_rows}"
    return root / f"parquet_{kind}_{factor}_{n}{rows}"


def write_data(task: Task) -> Result:
    """Writes the Parquet files of one size, model and factor kind, file by file."""
    import pandas as pd

    folder = Path(task["folder"])
    folder.mkdir(parents=True, exist_ok=True)
    n, kind, factor = task["n"], task["model"], task["factor"]
    file_rows = task.get("file_rows", FILE_ROWS)
    beta = np.array([0.3 * (-1) ** i / (1 + i % 5) for i in range(NUMERIC)])
    level_effects = np.linspace(-0.4, 0.4, LEVELS)
    intercept = POISSON_INTERCEPT if kind == "poisson" else -0.2
    for index, start in enumerate(range(0, n, file_rows)):
        path = folder / f"part{index:04d}.parquet"
        if path.exists():
            continue
        rows = min(file_rows, n - start)
        rng = np.random.default_rng([20261208, index])
        x = rng.standard_normal((rows, NUMERIC))
        g = rng.integers(0, LEVELS, rows)
        xb = intercept + x @ beta + level_effects[g]
        frame = pd.DataFrame(x, columns=[f"x{i + 1}" for i in range(NUMERIC)])
        frame["g"] = np.array(LABELS, dtype=object)[g] if factor == "text" else g + 1
        frame["y"] = outcome(kind, xb, rng)
        frame.to_parquet(path.with_suffix(".tmp"), index=False)
        path.with_suffix(".tmp").rename(path)
    size = sum(p.stat().st_size for p in folder.glob("*.parquet"))
    return {"bytes": size}


def outcome(kind: str, xb: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Draws y given the linear predictor: 0/1 for Logit and Probit, counts for Poisson."""
    if kind == "poisson":
        return rng.poisson(np.exp(xb)).astype(np.float64)
    p = 1.0 / (1.0 + np.exp(-xb)) if kind == "logit" else 0.5 * erfc(-xb / np.sqrt(2.0))
    return (rng.random(len(xb)) < p).astype(np.float64)


def erfc(values: np.ndarray) -> np.ndarray:
    from scipy.special import erfc as scipy_erfc

    return np.asarray(scipy_erfc(values))


class TreeMemory:
    """The peak resident memory of this process and its descendants.

    This process's own peak is the kernel's high-water mark (reset on entry); the
    descendants', if any, are sampled. Sampling reads only the children lists of
    /proc, so that it takes next to no time from the process it measures.
    """

    def __init__(self, interval: float = 0.1) -> None:
        self.interval = interval
        self.children_peak = 0
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self) -> "TreeMemory":
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")  # resets VmHWM to the current resident set
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = status_kib("VmHWM") * 1024 + self.children_peak

    def _run(self) -> None:
        while not self._stop.is_set():
            self.children_peak = max(self.children_peak, descendants_rss(os.getpid()))
            self._stop.wait(self.interval)


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def descendants_rss(pid: int) -> int:
    """Returns the resident bytes of a process's descendants (Linux /proc)."""
    total, stack = 0, children(pid)
    while stack:
        child = stack.pop()
        stack += children(child)
        try:
            with open(f"/proc/{child}/statm") as statm:
                total += int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except OSError:
            continue
    return total


def children(pid: int) -> list[int]:
    found: list[int] = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as listed:
                found += [int(c) for c in listed.read().split()]
    except OSError:
        pass
    return found


# Where the time goes: the functions of velmora_margins.partitioned timed by name, as
# (module, attribute, label), the attribute being a function or "Class.method". The
# library changes beside the harness: a name it does not have is left out of the report,
# and the result lists it under "unwrapped".
PHASES = (
    ("api", "open_source", "opening the files"),
    ("api", "learn_design", "learning the design (one pass)"),
    ("passes", "Passes.__init__", "reading and building the design matrices"),
    ("glm", "start", "starting values (two passes)"),
    ("passes", "Passes.totals", "Newton passes"),
    ("passes", "Passes.binary", "finding 0/1 columns"),
    ("api", "covariance", "covariance"),
    ("result", "PartitionedModel.effect_sums", "effects pass"),
)
PHASE_PACKAGE = "velmora_margins.partitioned"


def system_seconds() -> float:
    """The process's CPU time in the kernel so far, all its threads together: on these
    runs, mostly the faulting-in of fresh memory."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_stime


class Phases:
    """Wall seconds spent in named functions of velmora_margins, by wrapping them, and
    the process's system time during each."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self.system: dict[str, float] = {}
        self.calls: dict[str, int] = {}
        self.unwrapped: list[str] = []

    def wrap_all(
        self, phases: tuple[tuple[str, str, str], ...] = PHASES, package: str = PHASE_PACKAGE
    ) -> None:
        """Wraps every function of the list that the package has; notes the others."""
        for module_name, attribute, label in phases:
            *path, name = attribute.split(".")
            try:
                owner: Any = importlib.import_module(f"{package}.{module_name}")
                for part in path:
                    owner = getattr(owner, part)
                found = callable(getattr(owner, name))
            except (ImportError, AttributeError):
                found = False
            if found:
                self.wrap(owner, name, label)
            else:
                self.unwrapped.append(f"{module_name}.{attribute}")

    def wrap(self, owner: Any, name: str, label: str) -> None:
        inner: Callable[..., Any] = getattr(owner, name)

        def timed(*args: Any, **kwargs: Any) -> Any:
            start, system = time.perf_counter(), system_seconds()
            try:
                return inner(*args, **kwargs)
            finally:
                self.seconds[label] = self.seconds.get(label, 0.0) + time.perf_counter() - start
                self.system[label] = self.system.get(label, 0.0) + system_seconds() - system
                self.calls[label] = self.calls.get(label, 0) + 1

        setattr(owner, name, timed)


@contextmanager
def scheduler_threads(threads: int | None) -> Iterator[None]:
    """Runs Dask's threaded scheduler, Arrow's pools and BLAS on so many threads."""
    import dask
    import pyarrow

    if threads is None:
        yield
        return
    from threadpoolctl import threadpool_limits

    before = pyarrow.cpu_count(), pyarrow.io_thread_count()
    pyarrow.set_cpu_count(threads)
    pyarrow.set_io_thread_count(threads)
    try:
        with dask.config.set(num_workers=threads), threadpool_limits(threads, user_api="blas"):
            yield
    finally:
        pyarrow.set_cpu_count(before[0])
        pyarrow.set_io_thread_count(before[1])


def run_velmora(task: Task) -> Result:
    """Fits and takes the effects on Dask from the Parquet files; times each phase."""
    # Timed from the call, in a session that has loaded the libraries it uses.
    import dask.dataframe  # noqa: F401
    import patsy  # noqa: F401
    import pyarrow.parquet  # noqa: F401

    import velmora_margins

    phases = Phases()
    phases.wrap_all()
    with scheduler_threads(task.get("threads")), TreeMemory() as memory:
        start = time.perf_counter()
        result = velmora_margins.fit(FORMULA, task["folder"], model=task["model"])
        fitted = time.perf_counter()
        table = velmora_margins.margins(result)
        done = time.perf_counter()
        # Read at the end, so that a library loaded during the run is counted too.
        blas = blas_info()
    return {
        "seconds": [done - start],
        "fit_seconds": fitted - start,
        "effects_seconds": done - fitted,
        "tree_peak_gib": memory.peak / 2**30,
        "phases": phases.seconds,
        "phase_system": phases.system,
        "calls": phases.calls,
        "unwrapped": phases.unwrapped,
        "blas": blas,
        "iterations": result.iterations,
        "params": result.params.to_numpy().tolist(),
        "names": list(result.params.index),
        "ames": table["dy/dx"].to_numpy(),
        "ses": table["Std. Err"].to_numpy(),
    }


def run_statsmodels(task: Task) -> Result:
    """Reads the files into pandas, fits with statsmodels, takes the same effects."""
    import pandas as pd
    import pyarrow.parquet  # noqa: F401
    import statsmodels.formula.api as smf

    import velmora_margins

    with TreeMemory() as memory:
        start = time.perf_counter()
        frame = pd.read_parquet(task["folder"])
        read = time.perf_counter()
        fitter = {"logit": smf.logit, "probit": smf.probit, "poisson": smf.poisson}[task["model"]]
        result = fitter(FORMULA, frame).fit(disp=0)
        fitted = time.perf_counter()
        table = velmora_margins.margins(result)
        done = time.perf_counter()
    return {
        "seconds": [done - start],
        "fit_seconds": fitted - start,
        "effects_seconds": done - fitted,
        "tree_peak_gib": memory.peak / 2**30,
        "phases": {
            "reading the files": read - start,
            "design and fit": fitted - read,
            "effects": done - fitted,
        },
        "params": result.params.to_numpy().tolist(),
        "names": list(result.params.index),
        "ames": table["dy/dx"].to_numpy(),
        "ses": table["Std. Err"].to_numpy(),
    }
