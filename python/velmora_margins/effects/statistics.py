"""The statistics of the model's rows that some quantities need.

``atmeans`` sets every variable to its (weighted) mean within each group, every
categorical factor to the shares of its levels and a model's offset to its mean; the
comparisons "sd", "iqr" and "minmax" move a numerical variable by its standard deviation
(ddof = 1), between its quartiles (as NumPy's ``percentile`` takes them by default) or
between its smallest and largest value, over all the model's rows. A model held in memory
computes them at once; a partitioned one adds up partial sums over its partitions
(``Partial``) and finds the quartiles exactly in a few more passes.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from velmora_margins.formula.factor import Factor
from velmora_margins.totals import weighted_total


@dataclass(frozen=True)
class StatisticsRequest:
    """What a call needs: means (within groups, weighted) of numerical variables, shares of
    the levels of categorical factors, and the spread of numerical variables over all rows."""

    means: tuple[str, ...] = ()
    shares: tuple[Factor, ...] = ()
    spreads: tuple[str, ...] = ()

    def columns(self) -> list[str]:
        """Returns the data columns the statistics read."""
        names = [*self.means, *self.spreads]
        names += [v for f in self.shares for v in sorted(f.variables)]
        return list(dict.fromkeys(names))

    def __bool__(self) -> bool:
        return bool(self.means or self.shares or self.spreads)


@dataclass(frozen=True)
class Spread:
    """How a numerical variable spreads over the model's rows."""

    sd: float  # ddof = 1
    q25: float
    q75: float
    low: float
    high: float


@dataclass
class Statistics:
    """The statistics of a request: means and shares by group label, spreads by variable;
    for a model with an offset, its mean by group label."""

    means: dict[Hashable, dict[str, float]] = field(default_factory=dict)
    shares: dict[Hashable, dict[Factor, np.ndarray]] = field(default_factory=dict)
    spreads: dict[str, Spread] = field(default_factory=dict)
    offsets: dict[Hashable, float] = field(default_factory=dict)


@dataclass
class Moments:
    """Count, mean, sum of squared deviations, smallest and largest value of some values,
    which combine over parts of the values (Chan, Golub and LeVeque's update)."""

    count: int = 0
    mean: float = 0.0
    m2: float = 0.0
    low: float = np.inf
    high: float = -np.inf

    @classmethod
    def of(cls, values: np.ndarray) -> Moments:
        if not len(values):
            return cls()
        mean = float(np.mean(values))
        return cls(
            len(values),
            mean,
            float(np.sum((values - mean) ** 2)),
            float(np.min(values)),
            float(np.max(values)),
        )

    def __add__(self, other: Moments) -> Moments:
        if not other.count:
            return self
        if not self.count:
            return other
        count = self.count + other.count
        delta = other.mean - self.mean
        mean = self.mean + delta * other.count / count
        m2 = self.m2 + other.m2 + delta * delta * self.count * other.count / count
        return Moments(count, mean, m2, min(self.low, other.low), max(self.high, other.high))

    @property
    def sd(self) -> float:
        return float(np.sqrt(self.m2 / (self.count - 1))) if self.count > 1 else float("nan")


@dataclass
class Partial:
    """A part of the rows' sums behind the statistics: by group label the weight, the
    weighted sums of the variables, of each factor's level indicators and of the offset
    (for a model with one), and the moments of the spread variables over all rows."""

    weight: dict[Hashable, float] = field(default_factory=dict)
    sums: dict[Hashable, dict[str, float]] = field(default_factory=dict)
    counts: dict[Hashable, dict[Factor, np.ndarray]] = field(default_factory=dict)
    moments: dict[str, Moments] = field(default_factory=dict)
    offsets: dict[Hashable, float] = field(default_factory=dict)

    def __add__(self, other: Partial) -> Partial:
        out = Partial(dict(self.weight), {}, {}, dict(self.moments), dict(self.offsets))
        out.sums = {k: dict(v) for k, v in self.sums.items()}
        out.counts = {k: dict(v) for k, v in self.counts.items()}
        for label, weight in other.weight.items():
            out.weight[label] = out.weight.get(label, 0.0) + weight
            sums = out.sums.setdefault(label, {})
            for name, value in other.sums[label].items():
                sums[name] = sums.get(name, 0.0) + value
            counts = out.counts.setdefault(label, {})
            for factor, level_counts in other.counts[label].items():
                counts[factor] = counts[factor] + level_counts if factor in counts else level_counts
        for name, moments in other.moments.items():
            out.moments[name] = out.moments[name] + moments if name in out.moments else moments
        for label, total in other.offsets.items():
            out.offsets[label] = out.offsets.get(label, 0.0) + total
        return out


def partial_of(
    request: StatisticsRequest,
    data: pd.DataFrame,
    weights: np.ndarray | None,
    labels: np.ndarray | None,
    offset: np.ndarray | None = None,
) -> Partial:
    """Returns the partial sums of some rows: their data, weights, group labels and, for a
    model with one, each row's offset."""
    out = Partial()
    rows = len(data)
    w = np.ones(rows) if weights is None else np.asarray(weights, dtype=np.float64)
    if labels is None:
        groups: list[tuple[Hashable, np.ndarray]] = [(None, np.arange(rows))]
    else:
        codes, uniques = pd.factorize(labels)
        order = np.argsort(codes, kind="stable")
        bounds = np.cumsum(np.bincount(codes, minlength=len(uniques)))
        groups = [
            (label, order[(bounds[g - 1] if g else 0) : bounds[g]])
            for g, label in enumerate(uniques)
        ]
    codes_of = {f: f.codes(data) for f in request.shares}
    for label, members in groups:
        wg = w[members]
        out.weight[label] = float(np.sum(wg))
        out.sums[label] = {
            name: weighted_total(np.asarray(data[name], dtype=np.float64)[members], wg)
            for name in request.means
        }
        out.counts[label] = {
            f: np.bincount(codes_of[f][members], weights=wg, minlength=len(f.categories))
            for f in request.shares
        }
        if offset is not None:
            out.offsets[label] = weighted_total(offset[members], wg)
    for name in request.spreads:
        out.moments[name] = Moments.of(np.asarray(data[name], dtype=np.float64))
    return out


def finished(partial: Partial, quartiles: dict[str, tuple[float, float]]) -> Statistics:
    """Returns the statistics from the sums over all the rows and the variables' quartiles."""
    out = Statistics()
    for label, weight in partial.weight.items():
        out.means[label] = {name: s / weight for name, s in partial.sums[label].items()}
        out.shares[label] = {f: c / weight for f, c in partial.counts[label].items()}
        if label in partial.offsets:
            out.offsets[label] = partial.offsets[label] / weight
    for name, moments in partial.moments.items():
        q25, q75 = quartiles[name]
        out.spreads[name] = Spread(moments.sd, q25, q75, moments.low, moments.high)
    return out


def quartiles(values: np.ndarray) -> tuple[float, float]:
    """Returns the 25th and 75th percentiles, as NumPy's percentile takes them."""
    q25, q75 = np.percentile(values, [25.0, 75.0])
    return float(q25), float(q75)


def ranks_for(count: int, q: float) -> tuple[int, float]:
    """Returns the order statistic below percentile q of count values and the fraction
    toward the next one, as NumPy's default (linear) percentile takes them."""
    position = q / 100.0 * (count - 1)
    below = int(np.floor(position))
    return below, position - below


def between(low: float, high: float, fraction: float) -> float:
    """Returns NumPy's linear interpolation between two neighbouring order statistics, as
    its percentile forms it: from the nearer of the two."""
    difference = high - low
    if fraction >= 0.5:
        return float(high - difference * (1.0 - fraction))
    return float(low + difference * fraction)


def request_for(
    means: Sequence[str], shares: Sequence[Factor], spreads: Sequence[str]
) -> StatisticsRequest:
    return StatisticsRequest(
        tuple(dict.fromkeys(means)), tuple(dict.fromkeys(shares)), tuple(dict.fromkeys(spreads))
    )
