"""fit(): Logit and Probit by Newton's method, each iteration one pass of partial sums.

The log-likelihood, its gradient (the score) and the information matrix are sums over
rows, so each partition adds its own and the totals decide the next step. Covariances:
the inverse information (nonrobust); the sandwich H⁻¹ S H⁻¹ with S the sum of the rows'
score outer products (HC0 to HC3, which are one and the same for these models); and the
cluster sandwich, S summed by cluster first, times G/(G − 1) · (n − 1)/(n − k).
"""

from __future__ import annotations

import functools
import operator
import os
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins import _kernels
from velmora_margins._fitresult import FitResult, Logit, Probit
from velmora_margins._learn import formula_columns, learn_design
from velmora_margins._memory import give_back
from velmora_margins._parts import Layout, Part, aligned, build_indexed
from velmora_margins._plan import binary_columns
from velmora_margins._runner import Progress, Runner, runner_for
from velmora_margins._sources import Source, open_source

COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3", "cluster")
MAX_ITERATIONS = 100
# Newton's method stops once a step moves no coefficient by more than this, relative to
# the largest coefficient (or absolutely, below 1); the next step would be its square.
STEP_TOLERANCE = 1e-9
# Partitions' design matrices are kept in memory between iterations when they hold at
# most this many bytes in all; larger data is read again for every iteration.
CACHE_BYTES = 2 << 30


class FitError(ValueError):
    """The model cannot be fitted to the data."""


@dataclass
class Totals:
    """One pass's sums over every partition."""

    loglik: float
    score: np.ndarray
    information: np.ndarray
    meat: np.ndarray | None
    weight: float
    rows: int


def add_totals(parts: list[_kernels.FitSums]) -> Totals:
    total = functools.reduce(operator.add, parts)
    return Totals(
        total.loglik, total.score, total.information, total.meat, total.weight, total.rows
    )


def part_sums(
    part: Part, kind: str, beta: np.ndarray, meat: bool, flags: bool = False
) -> tuple[_kernels.FitSums, np.ndarray | None]:
    """Returns a partition's fit sums, and with ``flags`` its 0/1 columns besides."""
    assert part.y is not None
    weights = None if part.weights is None else aligned(part.weights)
    sums = _kernels.fit_sums(kind, aligned(beta), aligned(part.x), aligned(part.y), weights, meat)
    return sums, binary_columns(part.x) if flags else None


def binary_columns_of(part: Part) -> np.ndarray:
    return binary_columns(part.x)


def part_cluster_scores(part: Part, kind: str, beta: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns a partition's clusters and the sum of the scores of each one's rows."""
    assert part.y is not None
    assert part.cluster is not None
    codes, labels = pd.factorize(part.cluster)
    weights = None if part.weights is None else aligned(part.weights)
    scores = _kernels.cluster_scores(
        kind,
        aligned(beta),
        aligned(part.x),
        aligned(part.y),
        weights,
        codes.astype(np.int64),
        len(labels),
    )
    return np.asarray(labels), scores


def built_part(frame: pd.DataFrame, index: int, layout: Layout, names: list[str] | None) -> Part:
    return build_indexed(frame, index, layout, names)


def on_built(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str] | None,
    task: Callable[[Part], Any],
) -> Any:
    """Builds a partition's arrays and runs a task on them."""
    return task(build_indexed(frame, index, layout, names, reuse=True))


def on_kept(part: Part, index: int, task: Callable[[Part], Any]) -> Any:
    return task(part)


class Passes:
    """The passes of a fit over the partitions, from kept design matrices where they fit.

    The tasks handed to the runner are module functions with their arguments bound, so
    that they pickle for Dask's worker processes."""

    def __init__(self, runner: Runner, layout: Layout, kind: str, keep: bool) -> None:
        self.runner = runner
        self.layout = layout
        self.kind = kind
        self.names = runner.source.names
        self.flags: np.ndarray | None = None  # the 0/1 columns, once a pass has found them
        self.kept: list[Any] | None = None
        if keep:
            self.kept = runner.keep(partial(built_part, layout=layout, names=self.names))

    def map(self, task: Callable[[Part], Any]) -> list[Any]:
        if self.kept is not None:
            return self.runner.run_kept(self.kept, partial(on_kept, task=task))
        return self.runner.run(partial(on_built, layout=self.layout, names=self.names, task=task))

    def totals(self, beta: np.ndarray, meat: bool = False) -> Totals:
        """Returns the sums of a pass at beta; the first pass notes the 0/1 columns too."""
        flags = self.flags is None
        parts = self.map(partial(part_sums, kind=self.kind, beta=beta, meat=meat, flags=flags))
        if flags:
            self.flags = np.vstack([p[1] for p in parts]).all(axis=0)
        return add_totals([p[0] for p in parts])

    def cluster_meat(self, beta: np.ndarray) -> tuple[np.ndarray, int]:
        """Returns the sum over clusters of each cluster's score outer product, and the
        number of clusters."""
        pieces = self.map(partial(part_cluster_scores, kind=self.kind, beta=beta))
        labels = np.concatenate([p[0] for p in pieces])
        scores = np.concatenate([p[1] for p in pieces])
        codes, unique = pd.factorize(labels)
        summed = np.zeros((len(unique), scores.shape[1]))
        np.add.at(summed, codes, scores)
        return summed.T @ summed, len(unique)

    def binary(self) -> np.ndarray:
        """Returns whether each design column holds only 0 and 1 in every partition."""
        if self.flags is None:
            self.flags = np.vstack(self.map(binary_columns_of)).all(axis=0)
        return np.asarray(self.flags)

    def exact_rows(self, beta: np.ndarray) -> int:
        """Returns how many rows the model predicts exactly (to 1e-6)."""
        return sum(self.map(partial(exact_rows, kind=self.kind, beta=beta)))


def exact_rows(part: Part, kind: str, beta: np.ndarray) -> int:
    """Returns how many of a partition's rows the model predicts exactly (to 1e-6)."""
    assert part.y is not None
    xb = part.x @ beta
    if kind == "logit":
        p = 1.0 / (1.0 + np.exp(-xb))
    else:
        from scipy.special import ndtr

        p = ndtr(xb)
    return int((np.abs(p - part.y) < 1e-6).sum())


def fit(
    formula: str,
    data: Any,
    *,
    model: str = "logit",
    cov_type: str = "nonrobust",
    cluster: str | None = None,
    weights: str | None = None,
    progress: Progress | None = None,
) -> FitResult:
    """Fits a Logit or Probit model of a formula to data by Newton's method.

    Parameters
    ----------
    formula
        A patsy formula, ``"y ~ x1 + x2 + C(group)"``; the outcome must hold 0 and 1.
    data
        A pandas DataFrame, a Dask DataFrame, or the path, directory or glob of Parquet
        or CSV files. A pandas DataFrame is fitted in this process; the others on Dask:
        on the current dask.distributed client if there is one, else on Dask's local
        threaded scheduler.
    model
        "logit" or "probit".
    cov_type
        "nonrobust", "HC0" to "HC3" (for these models all the same sandwich, as
        statsmodels computes them), or "cluster" with ``cluster``.
    cluster
        A column of cluster labels, for the cluster-robust covariance.
    weights
        A column of frequency weights: a row of weight w counts as w rows.
    progress
        Called with (partitions done, partitions) as each pass over the data runs.

    Returns
    -------
    FitResult
        With ``params``, ``bse``, ``cov_params()``, ``llf``, ``nobs``, ``converged`` and
        ``summary()``; ``velmora_margins.margins`` takes it.
    """
    try:
        import patsy
    except ImportError as error:
        raise ImportError(
            f"fit reads formulas with patsy, which cannot be imported ({error}); install it "
            "with: pip install 'velmora[dask]'"
        ) from None

    eval_env = patsy.EvalEnvironment.capture(1)
    kind = str(model).lower()
    if kind not in ("logit", "probit"):
        raise ValueError(f"model: expected 'logit' or 'probit', got {model!r}")
    cov_type = check_cov_type(cov_type, cluster)
    everything = open_source(data)
    source = everything
    used = formula_columns(formula, source.columns)
    extra = [c for c in (weights, cluster) if c is not None]
    for name, argument in ((weights, "weights"), (cluster, "cluster")):
        if name is not None and name not in source.columns:
            shown = ", ".join(source.columns[:12])
            raise ValueError(f"{argument}: no column {name!r} in the data; columns are: {shown}")
    source = source.select(list(dict.fromkeys([*used, *extra])))
    runner = runner_for(source, progress)
    dtypes = source.dtypes()
    design = learn_design(formula, runner, source.columns, dtypes, eval_env)
    give_back()
    outcome = design.outcome
    bool_outcome = (
        outcome.code
        if outcome is not None and pd.api.types.is_bool_dtype(dtypes.get(outcome.code, object))
        else None
    )
    layout = Layout(
        design,
        tuple(source.columns),
        weights=weights,
        cluster=cluster,
        bool_outcome=bool_outcome,
    )
    keep = design_bytes(source, len(design.columns)) <= cache_limit()
    passes = Passes(runner, layout, kind, keep)
    beta, totals, iterations, converged = newton(passes, design.names, formula, kind)
    cov = covariance(passes, beta, totals, cov_type, kind)
    model_class = Logit if kind == "logit" else Probit
    fitted = model_class(formula, design, everything, used, passes.binary())
    return FitResult(
        fitted,
        params=beta,
        cov=cov,
        llf=totals.loglik,
        nobs=totals.weight,
        converged=converged,
        iterations=iterations,
        cov_type=cov_type,
        cluster=cluster,
    )


def check_cov_type(cov_type: str, cluster: str | None) -> str:
    by_lower = {name.lower(): name for name in COV_TYPES}
    chosen = by_lower.get(str(cov_type).lower())
    if chosen is None:
        raise ValueError(f"cov_type: expected one of {', '.join(COV_TYPES)}, got {cov_type!r}")
    if cluster is not None and chosen == "nonrobust":
        chosen = "cluster"
    if chosen == "cluster" and cluster is None:
        raise ValueError("cov_type: 'cluster' needs cluster=COLUMN, the column of cluster labels")
    if cluster is not None and chosen != "cluster":
        raise ValueError(f"cluster: a cluster column goes with cov_type='cluster', not {chosen!r}")
    return chosen


def design_bytes(source: Source, columns: int) -> int:
    """Returns about how many bytes the partitions' design matrices take, or a huge
    number when the rows are not known without reading them."""
    rows = None
    if source.frame is not None:
        rows = len(source.frame)
    elif source.file_rows is not None:
        rows = sum(source.file_rows)
    if rows is None:
        return 1 << 62
    return rows * (columns + 3) * 8


def cache_limit() -> int:
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return CACHE_BYTES
    return min(CACHE_BYTES, memory // 4)


def newton(
    passes: Passes, names: tuple[str, ...], formula: str, kind: str
) -> tuple[np.ndarray, Totals, int, bool]:
    """Returns the maximum-likelihood coefficients, the sums there, the iterations and
    whether the steps converged; fails on collinear regressors or separated outcomes."""
    name = "Logit" if kind == "logit" else "Probit"
    k = len(names)
    beta = np.zeros(k)
    totals = passes.totals(beta)
    if totals.rows == 0:
        raise FitError(f"no rows left for {formula!r} once rows with missing values are dropped")
    check_rank(totals.information, names, formula)
    for iteration in range(1, MAX_ITERATIONS + 1):
        try:
            step = np.linalg.solve(totals.information, totals.score)
        except np.linalg.LinAlgError as error:
            raise FitError(
                f"the {name} fit failed ({error}); look for regressors that are collinear or "
                "constant and drop them"
            ) from None
        new = beta + step
        trial = passes.totals(new)
        halvings = 0
        while not trial.loglik >= totals.loglik - 1e-12 * abs(totals.loglik) and halvings < 40:
            step = step / 2
            new = beta + step
            trial = passes.totals(new)
            halvings += 1
        beta, totals = new, trial
        if totals.loglik > -1e-9 * max(totals.weight, 1.0):
            raise FitError(separated(name))
        if np.max(np.abs(step)) <= STEP_TOLERANCE * max(1.0, float(np.max(np.abs(beta)))):
            return beta, totals, iteration, True
    if passes.exact_rows(beta) > 0:
        raise FitError(separated(name))
    raise FitError(
        f"the {name} fit did not converge in {MAX_ITERATIONS} iterations; rescale the "
        "regressors or simplify the model"
    )


def separated(name: str) -> str:
    return (
        f"the outcome is perfectly separated: some regressors predict it exactly, so the "
        f"{name} coefficients do not exist; drop or merge those regressors or categories"
    )


def check_rank(information: np.ndarray, names: tuple[str, ...], formula: str) -> None:
    """Fails when the regressors are collinear: the information matrix at zero is a
    multiple of X'X, whose rank counts the eigenvalues above λ_max · k · eps relative to
    the largest (the square of the tolerance on X's singular values)."""
    k = len(names)
    scale = np.sqrt(np.diag(information))
    if np.any(scale == 0):
        constant = names[int(np.flatnonzero(scale == 0)[0])]
        raise FitError(
            f"the regressors of {formula!r} are collinear: {constant} is all zeros; drop it"
        )
    values = np.linalg.eigvalsh(information / np.outer(scale, scale))
    rank = int(np.count_nonzero(values > values.max() * max(k, 1) * np.finfo(float).eps))
    if rank < k:
        raise FitError(
            f"the regressors of {formula!r} are collinear: their {k} columns have rank {rank}, "
            "so some coefficients are not identified; drop the redundant terms"
        )


def covariance(
    passes: Passes, beta: np.ndarray, totals: Totals, cov_type: str, kind: str
) -> np.ndarray:
    """Returns the covariance of the coefficients of the chosen type."""
    bread = np.linalg.inv(totals.information)
    if cov_type == "nonrobust":
        return bread
    if cov_type == "cluster":
        meat, groups = passes.cluster_meat(beta)
        if groups < 2:
            raise FitError("cluster: the cluster-robust covariance needs at least 2 clusters")
        n, k = totals.weight, len(beta)
        meat = meat * (groups / (groups - 1)) * ((n - 1) / (n - k))
    else:
        robust = passes.totals(beta, meat=True)
        assert robust.meat is not None
        meat = robust.meat
    cov = bread @ meat @ bread
    return np.asarray((cov + cov.T) / 2)
