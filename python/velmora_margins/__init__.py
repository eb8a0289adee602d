"""Average marginal effects of Logit and Probit models by variable, as users mean them.

``margins(result)`` takes a fitted statsmodels Logit or Probit result and returns one
effect per variable of its formula (or per level of a factor), with delta-method
standard errors: derivatives through every design column a variable enters (powers,
interactions, transforms), changes between a factor's levels with its interactions
made again, optional weights and groups. The per-row work runs in native code.
"""

from velmora_margins.effects.api import margins
from velmora_margins.partitioned.newton import FitError, fit
from velmora_margins.partitioned.result import FitResult

__all__ = ["FitError", "FitResult", "fit", "margins"]
