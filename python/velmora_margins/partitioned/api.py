"""fit(): a model of a formula, fitted as sums over partitions of rows."""

from __future__ import annotations

from typing import Any

import pandas as pd

from velmora_margins import validation
from velmora_margins.errors import ArgumentError
from velmora_margins.formula.reader import formula_columns
from velmora_margins.partitioned.fitted import Fitted
from velmora_margins.partitioned.glm import fit_glm
from velmora_margins.partitioned.kinds import BinaryKind, GlmKind, Kind, LinearKind, NegbinKind
from velmora_margins.partitioned.learn import learn_design
from velmora_margins.partitioned.linear import fit_linear
from velmora_margins.partitioned.memory import give_back
from velmora_margins.partitioned.models import Choice, choose
from velmora_margins.partitioned.negbin import fit_negbin
from velmora_margins.partitioned.newton import covariance, newton, sample_newton
from velmora_margins.partitioned.parts import Layout
from velmora_margins.partitioned.passes import Passes, cache_limit, design_bytes
from velmora_margins.partitioned.result import FitResult, PartitionedModel
from velmora_margins.partitioned.runner import Progress, runner_for
from velmora_margins.partitioned.sample import sample_start
from velmora_margins.partitioned.sources import open_source


def fit(
    formula: str,
    data: Any,
    *,
    model: str = "logit",
    family: Any = None,
    link: str | None = None,
    offset: str | None = None,
    exposure: str | None = None,
    cov_type: str = "nonrobust",
    cluster: str | None = None,
    weights: str | None = None,
    progress: Progress | None = None,
) -> FitResult:
    """Fits a model of a formula to data, as sums over the data's partitions.

    Parameters
    ----------
    formula
        A patsy formula, ``"y ~ x1 + x2 + C(group)"``.
    data
        A pandas DataFrame, a Dask DataFrame, or the path, directory or glob of Parquet
        or CSV files. A pandas DataFrame is fitted in this process; the others on Dask:
        on the current dask.distributed client if there is one, else on the scheduler Dask
        is configured with (its local threaded scheduler unless set otherwise).
    model
        "logit" or "probit" (an outcome of 0 and 1, by Newton's method); "poisson" (counts,
        log link); "negbin" (counts, NB2: the mean exp(x b), the variance μ + αμ², α
        estimated with the coefficients and reported last in ``params`` as "alpha"); "ols"
        or "wls" (least squares; for "wls", ``weights`` names the WLS weights); "glm", with
        ``family`` and ``link``.
    family
        For "glm": "binomial", "poisson", "gaussian", "gamma", "inverse_gaussian",
        "negative_binomial" or "tweedie", or a statsmodels family object, which carries its
        link and its own parameter (the negative binomial's alpha, Tweedie's var_power).
    link
        For "glm": the link, in lower case ("log", "cloglog", "inverse_power", ...); by
        default the family's (its object's, or the family's canonical one).
    offset
        A column added to every row's linear predictor (not for "ols" and "wls").
    exposure
        A column of values above 0 whose logarithm is added to every row's linear
        predictor (for models with the log link).
    cov_type
        "nonrobust"; "HC0" to "HC3" (for every model but least squares the one sandwich, as
        statsmodels computes them); or "cluster" with ``cluster``.
    cluster
        A column of cluster labels, for the cluster-robust covariance.
    weights
        A column of weights: for "wls" the WLS weights, for "ols" none; for the others
        frequency weights, a row of weight w counting as w rows. The effects of a fit with
        weights are weighted by them unless given others.
    progress
        Called with (partitions done, partitions) as each pass over the data runs; a pass
        over the sample that starts an iterative fit, its first partitions, with their
        number.

    Returns
    -------
    FitResult
        With ``params``, ``bse``, ``cov_params()``, ``llf``, ``nobs``, ``scale``,
        ``converged`` and ``summary()``; ``velmora_margins.margins`` takes it.
    """
    try:
        import patsy
    except ImportError as error:
        raise ImportError(
            f"fit reads formulas with patsy, which cannot be imported ({error}); install it "
            "with: pip install 'velmora[dask]'"
        ) from None

    eval_env = patsy.EvalEnvironment.capture(1)
    choice = choose(model, family, link)
    cov_type = validation.cov_type(cov_type, cluster)
    weights = validation.column_name(weights, "weights")
    cluster = validation.column_name(cluster, "cluster")
    offset = validation.column_name(offset, "offset")
    exposure = validation.column_name(exposure, "exposure")
    check_options(choice, weights, offset, exposure)
    everything = open_source(data)
    used = formula_columns(formula, everything.columns)
    options = {"weights": weights, "cluster": cluster, "offset": offset, "exposure": exposure}
    for argument, name in options.items():
        if name is not None:
            validation.require_column(everything.columns, name, argument)
    design = learn_design(formula, runner_for(everything, progress), eval_env)
    give_back()
    extra = [c for c in options.values() if c is not None]
    source = everything.select(list(dict.fromkeys([*used, *extra])))
    dtypes = source.dtypes()
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
        outcome_kind=choice.outcome,
        title=choice.title,
        offset=offset,
        exposure=exposure,
    )
    runner = runner_for(source.reading_levels(layout.level_columns), progress)
    keep = design_bytes(runner.source.rows(), design) <= cache_limit()
    passes = Passes(runner, layout, kind_of(choice), keep)
    estimate = estimated(passes, choice, design.names, formula, cov_type)
    k = len(design.names)
    fitted = PartitionedModel(
        formula,
        design,
        everything,
        used,
        passes.binary(),
        choice.link,
        estimate.params[:k],
        estimate.cov[:k, :k],
        offset,
        exposure,
    )
    # The effects take the fit's weights unless given others.
    fitted.default_weights = weights
    fitted.kept = passes.kept_rows()
    return FitResult(
        fitted,
        estimate,
        title=choice.title,
        family=choice.family if choice.model == "glm" else None,
        cov_type=cov_type,
        cluster=cluster,
    )


def check_options(
    choice: Choice, weights: str | None, offset: str | None, exposure: str | None
) -> None:
    """Fails on options that the model does not take."""
    if choice.model == "ols" and weights is not None:
        raise ArgumentError(
            "weights",
            "model='ols' takes no weights; for WLS weights fit model='wls', for frequency "
            "weights model='glm' with family='gaussian'",
        )
    if choice.model == "wls" and weights is None:
        raise ArgumentError("weights", "model='wls' needs weights=COLUMN, the WLS weights")
    if choice.model in ("ols", "wls"):
        for argument, name in (("offset", offset), ("exposure", exposure)):
            if name is not None:
                raise ArgumentError(
                    argument,
                    f"model={choice.model!r} takes none; fit model='glm' with "
                    "family='gaussian' for one",
                )
    if exposure is not None and choice.link.name != "log":
        raise ArgumentError(
            "exposure",
            f"goes with the log link, whose mean it multiplies; the {choice.title} model's "
            f"link is {choice.link.name!r}: give log(exposure) as an offset instead",
        )


def kind_of(choice: Choice) -> Kind:
    """Returns the sums that fit the model."""
    if choice.model in ("logit", "probit"):
        return BinaryKind(choice.link)
    if choice.model == "negbin":
        return NegbinKind()
    if choice.model in ("ols", "wls"):
        return LinearKind()
    assert choice.family is not None
    return GlmKind(choice.family, choice.link, choice.alpha, choice.var_power)


def estimated(
    passes: Passes, choice: Choice, names: tuple[str, ...], formula: str, cov_type: str
) -> Fitted:
    """Returns the model's estimates and their covariance."""
    if choice.model in ("logit", "probit"):
        start = sample_start(passes, len(names), sample_newton(names, formula))
        estimate = newton(passes, names, formula, start)
        cov = covariance(passes, estimate, cov_type)
        totals = estimate.totals
        return Fitted(estimate.beta, cov, (), totals.loglik, totals.weight, estimate.iterations)
    if choice.model == "negbin":
        return fit_negbin(passes, names, formula, cov_type)
    if choice.model in ("ols", "wls"):
        return fit_linear(passes, names, formula, choice.title, cov_type)
    return fit_glm(passes, names, formula, choice.title, cov_type, choice.estimates_scale)
