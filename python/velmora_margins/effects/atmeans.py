"""Quantities at the means: each group's rows stand for one row of its means.

With ``atmeans``, every numerical variable not set by ``at`` takes its (weighted) mean over
the group's rows before the design row is made (so ``I(age**2)`` becomes mean(age)²), and
every categorical factor the shares of its levels (each of its coding columns at its
mean, and a product with it in an interaction at the product of means); a model's offset
takes its (weighted) mean too. The quantities are then those of that one row, whose
weight is 1.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from velmora_margins.effects.contrasts import Chunk, Plan, Scenario
from velmora_margins.effects.model import GroupSums, Model
from velmora_margins.effects.passes import chunk_sums, ordered
from velmora_margins.effects.statistics import Statistics, StatisticsRequest, request_for
from velmora_margins.errors import ArgumentError
from velmora_margins.links import Link


def means_request(model: Model, scenarios: Sequence[Scenario]) -> StatisticsRequest:
    """Returns the means and level shares that atmeans needs: of every variable and factor
    of the formula (those that the scenarios set make the row of means whole; the
    scenarios' values take their place in every quantity)."""
    design = model.design
    if design is None:
        raise ArgumentError("atmeans", "the means of the variables need the formula of the fit")
    numerical = [f for f in design.factors if f.numerical]
    means = [v for f in numerical for v in sorted(f.variables)]
    shares = [f for f in design.factors if not f.numerical]
    fixed = frozenset().union(*(s.variables for s in scenarios))
    if not any(v not in fixed for v in means) and not any(not f.variables <= fixed for f in shares):
        raise ArgumentError(
            "atmeans",
            "at= sets every variable of the formula, so there is nothing to average; leave "
            "out atmeans=True",
        )
    return request_for(means, shares, ())


def mean_row(model: Model, statistics: Statistics, label: object) -> tuple[np.ndarray, Chunk]:
    """Returns a group's row of means: its design row and its data (one row)."""
    design = model.design
    assert design is not None
    means = statistics.means[label]
    shares = statistics.shares[label]
    data = pd.DataFrame({name: [value] for name, value in means.items()})
    chunk = Chunk(data, {f: share.reshape(1, -1) for f, share in shares.items()})
    x = np.empty((1, len(design.columns)))
    for column in design.columns:
        column.make_into({f: chunk.values(f) for f in column.factors}, x[:, column.index])
    return x, chunk


def sums_at_means(model: Model, plan: Plan, statistics: Statistics, link: Link) -> GroupSums:
    """Returns the kernel's sums of the plan at each group's row of means."""
    out = []
    for label in ordered(list(statistics.means)):
        x, chunk = mean_row(model, statistics, label)
        offset = statistics.offsets.get(label)
        at = None if offset is None else np.array([offset])
        out.append((label, chunk_sums(link, model.params, plan, x, chunk, None, at)))
    return out
