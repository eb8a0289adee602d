"""fit(): a Logit or Probit model of a formula, fitted as sums over partitions of rows."""

from __future__ import annotations

from typing import Any

import pandas as pd

from velmora_margins import validation
from velmora_margins.formula.reader import formula_columns
from velmora_margins.links import fit_link
from velmora_margins.partitioned.learn import learn_design
from velmora_margins.partitioned.memory import give_back
from velmora_margins.partitioned.newton import (
    Passes,
    cache_limit,
    covariance,
    design_bytes,
    newton,
)
from velmora_margins.partitioned.parts import Layout
from velmora_margins.partitioned.result import FitResult, PartitionedModel
from velmora_margins.partitioned.runner import Progress, runner_for
from velmora_margins.partitioned.sources import open_source


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
        on the current dask.distributed client if there is one, else on the scheduler Dask
        is configured with (its local threaded scheduler unless set otherwise).
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
    link = fit_link(model)
    cov_type = validation.cov_type(cov_type, cluster)
    weights = validation.column_name(weights, "weights")
    cluster = validation.column_name(cluster, "cluster")
    everything = open_source(data)
    used = formula_columns(formula, everything.columns)
    for name, argument in ((weights, "weights"), (cluster, "cluster")):
        if name is not None:
            validation.require_column(everything.columns, name, argument)
    design = learn_design(formula, runner_for(everything, progress), eval_env)
    give_back()
    extra = [c for c in (weights, cluster) if c is not None]
    runner = runner_for(everything.select(list(dict.fromkeys([*used, *extra]))), progress)
    dtypes = runner.source.dtypes()
    outcome = design.outcome
    bool_outcome = (
        outcome.code
        if outcome is not None and pd.api.types.is_bool_dtype(dtypes.get(outcome.code, object))
        else None
    )
    layout = Layout(
        design,
        tuple(runner.source.columns),
        weights=weights,
        cluster=cluster,
        bool_outcome=bool_outcome,
    )
    keep = design_bytes(runner.source.rows(), len(design.columns)) <= cache_limit()
    passes = Passes(runner, layout, link, keep)
    estimate = newton(passes, design.names, formula)
    cov = covariance(passes, estimate, cov_type)
    fitted = PartitionedModel(
        formula, design, everything, used, passes.binary(), link, estimate.beta, cov
    )
    return FitResult(
        fitted,
        llf=estimate.totals.loglik,
        nobs=estimate.totals.weight,
        iterations=estimate.iterations,
        cov_type=cov_type,
        cluster=cluster,
    )
