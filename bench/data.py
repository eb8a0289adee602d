"""The deterministic data set every competitor reads, built once and kept as .npy files.

A constant, g binary columns of 0/1 and the rest standard normal; beta is
fixed; y is drawn from the model; the coefficient covariance is the inverse
Fisher information at beta. The files of one size live in a folder of their own,
data_N_K_G, which a run with --keep-data leaves in place and the next one reuses.
"""

import json
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from bench.workers import Runner

FloatArray = npt.NDArray[np.float64]

SEED = 20240611


class DataSet(NamedTuple):
    """The arrays of one model's case: X in the order asked for, y if asked for."""

    X: FloatArray
    y: FloatArray | None
    beta: FloatArray
    cov: FloatArray
    names: list[str]


def column_names(k: int, g: int) -> list[str]:
    """Returns the names of the columns: const, d1 .. dg, x1 ..."""
    return ["const"] + [f"d{j + 1}" for j in range(g)] + [f"x{i + 1}" for i in range(k - 1 - g)]


def make_beta(k: int, g: int) -> FloatArray:
    """Returns the fixed coefficients: a constant, then binary, then continuous columns."""
    beta = np.empty(k)
    beta[0] = 0.25
    for j in range(g):
        beta[1 + j] = (0.8 - 0.5 * j / max(g, 1)) * (-1) ** j
    c = k - 1 - g
    for i in range(c):
        beta[1 + g + i] = 0.4 * (1.0 - 0.5 * i / max(c, 1)) * (-1) ** (i + 1)
    return beta


def make_design(n: int, k: int, g: int) -> FloatArray:
    """Returns X (C order): a constant, g binary columns with P(1) from 0.2 to 0.8, normals."""
    rng = np.random.default_rng(SEED)
    X = np.empty((n, k))
    X[:, 0] = 1.0
    for j in range(g):
        X[:, 1 + j] = rng.random(n) < 0.2 + 0.6 * j / max(g - 1, 1)
    for j in range(1 + g, k):
        X[:, j] = rng.standard_normal(n)
    for j in range(1, 1 + g):
        if not (np.min(X[:, j]) == 0.0 and np.max(X[:, j]) == 1.0):
            raise SystemExit(f"n = {n} is too small: binary column {j} lacks a 0 or a 1")
    return X


def links(kind: str, v: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Returns F(v) and f(v) of the model, as the NumPy competitor computes them."""
    # Imported here: numpy_ame loads scipy.special, which the other workers do without.
    from bench.numpy_ame import logit_links, probit_links

    return logit_links(v) if kind == "logit" else probit_links(v)


def fisher_covariance(kind: str, X: FloatArray, beta: FloatArray, chunk: int = 65536) -> FloatArray:
    """Returns the inverse Fisher information of the model at beta."""
    k = X.shape[1]
    info = np.zeros((k, k))
    for start in range(0, X.shape[0], chunk):
        Xc = X[start : start + chunk]
        cdf, pdf = links(kind, Xc @ beta)
        # The weight f^2 / (F (1 - F)); the Logit f is F (1 - F), so its weight is f.
        w = pdf if kind == "logit" else pdf * pdf / (cdf * (1.0 - cdf))
        info += Xc.T @ (w[:, None] * Xc)
    inverse: FloatArray = np.linalg.inv(info)
    return inverse


def prepare_data(task: dict[str, Any]) -> dict[str, Any]:
    """Writes X, beta and, per model, y and the covariance into the data folder.

    Runs in a worker process. Files already present (from an earlier run with
    --keep-data) are kept.
    """
    n, k, g, folder = task["n"], task["k"], task["g"], Path(task["folder"])
    if (folder / "meta.json").exists():
        X = np.load(folder / "X.npy")
    else:
        X = make_design(n, k, g)
        np.save(folder / "X.npy", X)
        np.save(folder / "beta.npy", make_beta(k, g))
        meta = {"names": column_names(k, g), "binary": list(range(1, 1 + g))}
        (folder / "meta.json").write_text(json.dumps(meta))
    beta = np.load(folder / "beta.npy")
    for kind in task["models"]:
        if (folder / f"cov_{kind}.npy").exists():
            continue
        rng = np.random.default_rng(SEED + (1 if kind == "logit" else 2))
        y = np.empty(n)
        for start in range(0, n, 1 << 20):
            cdf, _ = links(kind, X[start : start + (1 << 20)] @ beta)
            y[start : start + len(cdf)] = rng.random(len(cdf)) < cdf
        np.save(folder / f"y_{kind}.npy", y)
        np.save(folder / f"cov_{kind}.npy", fisher_covariance(kind, X, beta))
    return {}


def load_data(folder: str | Path, model: str, order: str, with_y: bool = False) -> DataSet:
    """Returns the data set of one model from its folder, X in C or F order."""
    folder = Path(folder)
    X = np.load(folder / "X.npy")
    if order == "F":
        X = np.asfortranarray(X)
    beta = np.load(folder / "beta.npy")
    cov = np.load(folder / f"cov_{model}.npy")
    names = json.loads((folder / "meta.json").read_text())["names"]
    y = np.load(folder / f"y_{model}.npy") if with_y else None
    return DataSet(X, y, beta, cov, names)


def binary_columns(folder: str | Path) -> list[int]:
    """Returns the indices of the binary columns of the data set in folder."""
    binary: list[int] = json.loads((Path(folder) / "meta.json").read_text())["binary"]
    return binary


def prepare(runner: Runner, n: int, k: int, g: int, models: Sequence[str]) -> Path:
    """Returns the folder of the data set of this size, built in a worker if missing."""
    folder = runner.folder / f"data_{n}_{k}_{g}"
    folder.mkdir(exist_ok=True)
    if not all((folder / f"cov_{kind}.npy").exists() for kind in models):
        result = runner.run("prepare", n=n, k=k, g=g, models=list(models), folder=str(folder))
        if "error" in result:
            raise SystemExit(f"building the data failed: {result['error']}")
    return folder
