"""Worker processes: the registry, the process protocol and both ways to start the run."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from bench.workers import ENTRY, WORKERS, Runner, find_worker

REPOSITORY = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("name", sorted(WORKERS))
def test_every_registered_worker_exists(name: str) -> None:
    assert callable(find_worker(name))


def test_a_worker_runs_in_its_own_process(tmp_path: Path) -> None:
    runner = Runner(tmp_path, tmp_path / "floor")
    folder = tmp_path / "data"
    folder.mkdir()
    assert runner.run("prepare", n=3000, k=5, g=1, models=["logit"], folder=str(folder)) == {}
    result = runner.run(
        "numpy",
        folder=str(folder),
        model="logit",
        method="sm",
        order="F",
        chunk_size=1000,
        repeat=2,
    )
    assert result["names"] == ["d1", "x1", "x2", "x3"]
    assert isinstance(result["ames"], np.ndarray)
    assert result["ames"].shape == result["ses"].shape == (4,)
    assert len(result["seconds"]) == len(result["peak_mib"]) == 2
    assert runner.count == 2


def test_a_failing_worker_reports_its_last_error_line(tmp_path: Path) -> None:
    runner = Runner(tmp_path, tmp_path / "floor")
    result = runner.run(
        "numpy",
        folder=str(tmp_path / "missing"),
        model="logit",
        method="sm",
        order="C",
        chunk_size=1000,
        repeat=1,
    )
    assert set(result) == {"error"}
    assert result["error"].startswith("FileNotFoundError:")


@pytest.mark.parametrize("command", [[str(ENTRY)], ["-m", "bench.run"]])
def test_the_run_starts_as_a_script_and_as_a_module(command: list[str], tmp_path: Path) -> None:
    # As a script from any folder; as a module from the repository.
    cwd = tmp_path if command[0] == str(ENTRY) else REPOSITORY
    done = subprocess.run(
        [sys.executable, *command, "--help"], cwd=cwd, capture_output=True, text=True, check=False
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: run.py [-h] [--n N]")
