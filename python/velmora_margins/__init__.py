"""Average marginal effects by variable, as users mean them, of binary, count, linear and
generalized linear models.

``margins(result)`` takes a fitted statsmodels result (Logit, Probit, Poisson,
NegativeBinomial, GeneralizedPoisson, GLM, OLS or WLS) or one of ``fit``
and returns one effect per variable of its formula (or per level of a factor), with
delta-method standard errors: derivatives through every design column a variable enters
(powers, interactions, transforms), changes between a factor's levels with its
interactions made again, optional weights and groups. ``fit(formula, data)`` fits the
model itself as sums over partitions of rows, in this process or on Dask. The per-row work
runs in native code.

Every failure that the input causes is a ``MarginsError`` (a ``ValueError``); the kinds
below it say where the fault lies.
"""

from velmora_margins.effects.api import comparisons, margins, predictions
from velmora_margins.effects.hypotheses import hypotheses, wald
from velmora_margins.errors import (
    ArgumentError,
    DesignError,
    FitError,
    FormulaError,
    MarginsError,
    PartitionError,
    SourceError,
)
from velmora_margins.partitioned.api import fit
from velmora_margins.partitioned.result import FitResult

__all__ = [
    "ArgumentError",
    "DesignError",
    "FitError",
    "FitResult",
    "FormulaError",
    "MarginsError",
    "PartitionError",
    "SourceError",
    "comparisons",
    "fit",
    "hypotheses",
    "margins",
    "predictions",
    "wald",
]
