"""Worker processes: every competitor's calls run in a fresh Python process.

The driver starts `python bench/run.py --worker TASK`, TASK being a JSON object
that names the worker and holds its arguments. The worker runs, writes its
result to OUT.json and the arrays "ames" and "ses" (effects and standard
errors), if any, to OUT.npz, and exits; the driver reads them back. A fresh
process per run makes the peak memory it reports its own.

A new worker is a function taking the task and returning a JSON-ready dict,
registered in WORKERS by name. Its module is imported only in the worker
process that runs it, and imports its competitor's library inside the
function, so that each process loads only what its own calls need.
"""

import importlib
import json
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

Task = dict[str, Any]
Result = dict[str, Any]
Worker = Callable[[Task], Result]

# The worker functions by name, as "module:function".
WORKERS = {
    "prepare": "bench.data:prepare_data",
    "zarn": "bench.competitors.zarn:run_zarn",
    "zarn_scaling": "bench.competitors.zarn:run_zarn_scaling",
    "numpy": "bench.competitors.numpy_chunks:run_numpy",
    "statsmodels": "bench.competitors.margeff:run_statsmodels",
    "margins": "bench.competitors.margins:run_margins",
    "write_parquet": "bench.competitors.partitioned:write_data",
    "partitioned_velmora": "bench.competitors.partitioned:run_velmora",
    "partitioned_statsmodels": "bench.competitors.partitioned:run_statsmodels",
}

ENTRY = Path(__file__).resolve().parent / "run.py"


def find_worker(name: str) -> Worker:
    """Returns the worker function registered under name, importing its module."""
    module, function = WORKERS[name].split(":")
    worker: Worker = getattr(importlib.import_module(module), function)
    return worker


def worker_main(task_text: str) -> None:
    """Runs one task in this process and writes its result files."""
    task = json.loads(task_text)
    result = find_worker(task["worker"])(task)
    arrays = {key: result.pop(key) for key in ("ames", "ses") if key in result}
    if arrays:
        np.savez(task["out"] + ".npz", **arrays)
    Path(task["out"] + ".json").write_text(json.dumps(result))


class Runner:
    """Starts workers, one fresh process each, and collects their results."""

    def __init__(self, folder: Path, floor_binary: Path, blas_threads: int | None = None) -> None:
        self.folder = folder
        self.floor_binary = floor_binary
        self.env = dict(os.environ)
        if blas_threads:
            self.env["OPENBLAS_NUM_THREADS"] = str(blas_threads)
        self.count = 0

    def run(self, worker: str, **task: Any) -> Result:
        """Runs a worker; returns its result, or {"error": its last line on stderr}."""
        self.count += 1
        out = self.folder / f"result{self.count}"
        task.update(worker=worker, out=str(out), floor_binary=str(self.floor_binary))
        done = subprocess.run(
            [sys.executable, str(ENTRY), "--worker", json.dumps(task)],
            capture_output=True,
            text=True,
            check=False,
            env=self.env,
        )
        if done.returncode != 0:
            lines = (done.stderr or "").strip().splitlines()
            reason = lines[-1] if lines else f"exit status {done.returncode}"
            return {"error": reason}
        result: Result = json.loads(Path(str(out) + ".json").read_text())
        if Path(str(out) + ".npz").exists():
            with np.load(str(out) + ".npz") as arrays:
                result.update({key: arrays[key] for key in arrays.files})
        return result
