"""The result of velmora_margins.fit, and its model, whose rows stay in their partitions.

``FitResult`` offers what users read of statsmodels' results. Its ``model`` is the effects'
model interface over the partitions: the effects are sums over the partitions, each
partition's design matrix made again from the design learnt for the fit.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Hashable, Sequence
from functools import partial

import numpy as np
import pandas as pd
from scipy import stats

from velmora_margins import _kernels
from velmora_margins.effects.contrasts import Plan
from velmora_margins.effects.model import GroupSums, RowOptions
from velmora_margins.effects.passes import Rows, group_sums, merged
from velmora_margins.effects.statistics import (
    Partial,
    Statistics,
    StatisticsRequest,
    between,
    finished,
    partial_of,
    ranks_for,
)
from velmora_margins.formula.design import Design
from velmora_margins.links import Link
from velmora_margins.partitioned.fitted import Fitted
from velmora_margins.partitioned.parts import Layout, Part, build_indexed
from velmora_margins.partitioned.passes import KeptRows
from velmora_margins.partitioned.quantiles import order_statistics
from velmora_margins.partitioned.runner import runner_for
from velmora_margins.partitioned.sources import Source


def partition_effects(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    link: Link,
    params: np.ndarray,
    plan: Plan,
    chunk: int,
) -> dict[Hashable, _kernels.ContrastSums]:
    """Returns a partition's sums by group label (a task that pickles for Dask)."""
    part = build_indexed(frame, index, layout, names, reuse=True)
    rows = Rows(part.x, part.data, part.weights, part.by, part.offset)
    return group_sums(rows, link, params, plan, chunk)


def partition_statistics(
    frame: pd.DataFrame,
    index: int,
    layout: Layout,
    names: list[str],
    request: StatisticsRequest,
) -> Partial:
    """Returns a partition's partial sums of the statistics (a task that pickles for Dask)."""
    part = build_indexed(frame, index, layout, names, reuse=True)
    data = part.data if part.data is not None else pd.DataFrame(index=range(len(part.x)))
    return partial_of(request, data, part.weights, part.by, part.offset)


def kept_effects(
    part: Part, link: Link, params: np.ndarray, plan: Plan, chunk: int
) -> dict[Hashable, _kernels.ContrastSums]:
    """Returns a kept partition's sums (the fit's rows, without groups)."""
    rows = Rows(part.x, None, part.weights, None, part.offset)
    return group_sums(rows, link, params, plan, chunk)


def part_in_memory(frame: pd.DataFrame, index: int, layout: Layout, names: list[str]) -> Part:
    return build_indexed(frame, index, layout, names)


class PartitionedModel:
    """A formula model fitted to partitioned data, whose rows stay in their partitions."""

    def __init__(
        self,
        formula: str,
        design: Design,
        source: Source,
        columns: list[str],
        binary: np.ndarray,
        link: Link,
        params: np.ndarray,
        cov: np.ndarray,
        offset: str | None = None,
        exposure: str | None = None,
    ) -> None:
        self.formula = formula
        self.design = design
        self.source = source  # every column of the data
        self.columns = columns  # the columns the formula reads
        self.binary = binary  # whether each design column holds only 0 and 1
        self.link = link
        self.params = params  # the design's coefficients: the effects take no others
        self.cov = cov
        self.offset = offset  # the columns of each row's offset, added to x b
        self.exposure = exposure
        self.default_weights: str | None = None
        # The fit's design matrices, where it kept them in memory: the effects take them
        # again when they need no other column of the data.
        self.kept: KeptRows | None = None
        self.exog_names = list(design.names)
        self.endog_names = design.outcome.code if design.outcome is not None else "y"

    def __getstate__(self) -> dict[str, object]:
        state = dict(vars(self))
        state["kept"] = None  # rows in this process's memory do not travel
        return state

    @property
    def names(self) -> tuple[str, ...]:
        return self.design.names

    def data_columns(self) -> Sequence[str] | None:
        return self.source.columns

    def weights_per_row(self, values: np.ndarray) -> np.ndarray:
        raise TypeError("weights: for a fit on partitioned data, name a column of the data")

    def layout(
        self, weights: str | None = None, by: str | None = None, data: Sequence[str] = ()
    ) -> tuple[Source, Layout]:
        """Returns the source narrowed to the columns that the formula and the given
        options read, and the layout of its partitions' arrays for the effects."""
        formula = [c for c in self.columns if c in self.source.columns]
        options = [c for c in (weights, by, self.offset, self.exposure) if c is not None]
        source = self.source.select(list(dict.fromkeys([*formula, *data, *options])))
        columns = tuple(source.columns)
        layout = Layout(
            self.design,
            columns,
            outcome=False,
            weights=weights,
            by=by,
            data=tuple(data),
            offset=self.offset,
            exposure=self.exposure,
        )
        return source.reading_levels(layout.level_columns), layout

    def effect_sums(self, plan: Plan, options: RowOptions, link: Link) -> GroupSums:
        assert options.weights is None or isinstance(options.weights, str)
        data = [c for c in self.source.columns if c in plan.data_columns]
        kept = self.kept
        if kept is not None and not data and options.by is None and options.weights == kept.weights:
            task = partial(
                kept_effects, link=link, params=self.params, plan=plan, chunk=options.chunk
            )
            return merged(kept.map(task))
        source, layout = self.layout(options.weights, options.by, data)
        runner = runner_for(source)
        task = partial(
            partition_effects,
            layout=layout,
            names=runner.names(),
            link=link,
            params=self.params,
            plan=plan,
            chunk=options.chunk,
        )
        return merged(runner.run(task))

    def statistics(self, request: StatisticsRequest, options: RowOptions) -> Statistics:
        """Adds up the partitions' partial sums in one pass; the quartiles of a spread take
        a few more (see quantiles)."""
        assert options.weights is None or isinstance(options.weights, str)
        source, layout = self.layout(options.weights, options.by, request.columns())
        runner = runner_for(source)
        task = partial(partition_statistics, layout=layout, names=runner.names(), request=request)
        total = functools.reduce(operator.add, runner.run(task))
        found: dict[str, tuple[float, float]] = {}
        for name in request.spreads:
            moments = total.moments[name]
            ranks = [ranks_for(moments.count, q) for q in (25.0, 75.0)]
            wanted = sorted(
                {r for below, _ in ranks for r in (below, below + 1) if r < moments.count}
            )
            values = order_statistics(
                runner, layout, name, wanted, moments.low, moments.high, moments.count
            )
            found[name] = tuple(  # type: ignore[assignment]
                between(values[below], values.get(below + 1, values[below]), fraction)
                for below, fraction in ranks
            )
        return finished(total, found)

    def design_matrix(self, by: str | None = None) -> tuple[np.ndarray, np.ndarray | None]:
        """Returns the design matrix of the model's rows and, given by, the column's labels
        on those rows; for a fit on a pandas DataFrame, whose rows are in memory."""
        if not self.source.local:
            raise TypeError(
                "the design matrix of a fit on Dask or on files is not held in memory; fit a "
                "pandas DataFrame for it"
            )
        source, layout = self.layout(by=by)
        runner = runner_for(source)
        parts = runner.run(partial(part_in_memory, layout=layout, names=runner.names()))
        x = np.ascontiguousarray(np.concatenate([p.x.array() for p in parts]))
        labels = None if by is None else np.concatenate([p.by for p in parts])
        return x, labels


def normal_two_sided(z: np.ndarray) -> np.ndarray:
    """Returns the two-sided p-values of standard normal statistics."""
    return np.asarray(2.0 * _kernels.link_values("probit", -np.abs(z)).cdf)


class FitResult:
    """A fitted model: coefficients (then the model's own parameters, such as the negative
    binomial's alpha), their covariance and the fit's statistics."""

    def __init__(
        self,
        model: PartitionedModel,
        fitted: Fitted,
        *,
        title: str,
        family: str | None,
        cov_type: str,
        cluster: str | None,
    ) -> None:
        names = [*model.exog_names, *fitted.extra]
        self.model = model
        self.params = pd.Series(fitted.params, index=names, name="params")
        self._cov = pd.DataFrame(fitted.cov, index=names, columns=names)
        self.bse = pd.Series(np.sqrt(np.maximum(np.diag(fitted.cov), 0.0)), index=names, name="bse")
        self.llf = fitted.llf
        self.nobs = fitted.nobs
        self.converged = True  # a fit that does not converge is an error
        self.iterations = fitted.iterations
        self.cov_type = cov_type
        self.cluster = cluster
        self.title = title
        self.family = family  # the GLM family's name, or None
        self.link = model.link.name
        self.scale = fitted.scale
        self.deviance = fitted.deviance
        self.pearson_chi2 = fitted.pearson_chi2
        self.df_resid = fitted.df_resid
        self.use_t = fitted.use_t

    def cov_params(self) -> pd.DataFrame:
        """Returns the covariance of the parameters, labelled by name."""
        return self._cov.copy()

    @property
    def tvalues(self) -> pd.Series:
        return self.params / self.bse

    @property
    def pvalues(self) -> pd.Series:
        """The two-sided p-values: of Student's t on df_resid where ``use_t``, else of
        the standard normal."""
        z = np.ascontiguousarray(self.tvalues.to_numpy(), dtype=np.float64)
        if self.use_t:
            return pd.Series(2 * stats.t.sf(np.abs(z), self.df_resid), index=self.params.index)
        return pd.Series(normal_two_sided(z), index=self.params.index)

    def critical_value(self) -> float:
        """Returns the quantile of the 95 % intervals."""
        if self.use_t:
            return float(stats.t.ppf(0.975, self.df_resid))
        return 1.959964

    def summary(self) -> str:
        """Returns a text table of the fit and its coefficients."""
        covariance = self.cov_type + (f" by {self.cluster}" if self.cluster else "")
        head = [
            f"{self.title} fit of {self.model.formula}",
            f"rows: {self.nobs:g}   log-likelihood: {self.llf:.6f}   "
            f"iterations: {self.iterations}   converged: {self.converged}",
            f"covariance: {covariance}",
        ]
        if self.deviance is not None:
            line = f"scale: {self.scale:.6g}   deviance: {self.deviance:.6f}"
            if self.pearson_chi2 is not None:
                line += f"   Pearson chi2: {self.pearson_chi2:.6f}"
            head.append(line)
        letter, critical = ("t" if self.use_t else "z"), self.critical_value()
        table = pd.DataFrame(
            {
                "coef": self.params,
                "std err": self.bse,
                letter: self.tvalues,
                f"P>|{letter}|": self.pvalues,
                "[0.025": self.params - critical * self.bse,
                "0.975]": self.params + critical * self.bse,
            }
        )
        text = table.to_string(float_format=lambda v: f"{v:.6f}")
        return "\n".join([*head, ""]) + text + "\n"

    def __repr__(self) -> str:
        return f"<velmora_margins FitResult: {self.title}, {len(self.params)} parameters>"
