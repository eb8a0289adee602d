"""The models ``fit`` takes, read from its model, family and link arguments.

A model is one of MODELS. ``"glm"`` takes a family by name (FAMILY_LINKS' names) or as a
statsmodels family object, which carries its link and the family's own parameter (the
negative binomial's alpha, Tweedie's var_power); ``link`` names the link, or takes the
family's default. Each model says what its outcome must hold, so that every partition's
outcome is checked before the sums are taken.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from velmora_margins.errors import ArgumentError, PartitionError
from velmora_margins.links import FAMILY_LINKS, LINKS, Link, family_link

MODELS = ("logit", "probit", "poisson", "negbin", "ols", "wls", "glm")

# The class names of statsmodels' families and links, and the names used here.
FAMILY_CLASSES = {
    "Binomial": "binomial",
    "Poisson": "poisson",
    "Gaussian": "gaussian",
    "Gamma": "gamma",
    "InverseGaussian": "inverse_gaussian",
    "NegativeBinomial": "negative_binomial",
    "Tweedie": "tweedie",
}
LINK_CLASSES = {
    "Logit": "logit",
    "Probit": "probit",
    "CLogLog": "cloglog",
    "LogLog": "loglog",
    "Cauchy": "cauchy",
    "Log": "log",
    "Identity": "identity",
    "Sqrt": "sqrt",
    "InversePower": "inverse_power",
    "InverseSquared": "inverse_squared",
}

# What each family's outcome must hold.
OUTCOMES = {
    "binomial": "unit",
    "poisson": "count",
    "gaussian": "real",
    "gamma": "positive",
    "inverse_gaussian": "positive",
    "negative_binomial": "count",
    "tweedie": "count",
}


@dataclass(frozen=True)
class Choice:
    """A model as ``fit`` fits it: its kind of fit, family and link."""

    model: str  # one of MODELS
    link: Link
    family: str | None = None  # the GLM family, for "poisson" and "glm"
    alpha: float = 1.0  # the GLM negative binomial's
    var_power: float = 1.0  # Tweedie's
    outcome: str = "binary"  # binary, unit, count, positive or real

    @property
    def title(self) -> str:
        """What the model is called in messages and summaries."""
        if self.model == "glm":
            assert self.family is not None
            return f"GLM {self.family} ({self.link.name} link)"
        return {
            "poisson": "Poisson",
            "negbin": "negative binomial",
            "ols": "OLS",
            "wls": "WLS",
        }.get(self.model, self.link.title)

    @property
    def estimates_scale(self) -> bool:
        """Whether the scale is estimated (Pearson's chi-squared over the residual degrees
        of freedom), not fixed at 1."""
        return self.model in ("ols", "wls") or (
            self.model == "glm" and self.family not in ("binomial", "poisson", "negative_binomial")
        )


def choose(model: object, family: object = None, link: object = None) -> Choice:
    """Returns the model that the arguments name, or fails naming the argument at fault."""
    name = str(model).lower()
    if name not in MODELS:
        options = ", ".join(repr(n) for n in MODELS[:-1]) + f" or {MODELS[-1]!r}"
        raise ArgumentError("model", f"expected {options}, got {model!r}")
    if name != "glm":
        if family is not None:
            raise ArgumentError("family", f"goes with model='glm', not {name!r}")
        if link is not None:
            raise ArgumentError("link", f"goes with model='glm'; model={name!r} has its own link")
    if name in ("logit", "probit"):
        return Choice(name, LINKS[name])
    if name == "poisson":
        return Choice(name, LINKS["log"], "poisson", outcome="count")
    if name == "negbin":
        return Choice(name, LINKS["log"], outcome="count")
    if name in ("ols", "wls"):
        return Choice(name, LINKS["identity"], outcome="real")
    if family is None:
        raise ArgumentError("family", "model='glm' needs a family, such as family='gamma'")
    family_name, alpha, var_power, own_link = family_of(family)
    default = own_link or FAMILY_LINKS[family_name][0]
    link_name = default if link is None else str(link).lower()
    return Choice(
        "glm",
        family_link(family_name, link_name),
        family_name,
        alpha,
        var_power,
        OUTCOMES[family_name],
    )


def family_of(family: object) -> tuple[str, float, float, str | None]:
    """Returns a family's name, alpha, var_power and link (None when given by name)."""
    if isinstance(family, str):
        name = family.lower()
        if name not in FAMILY_LINKS:
            family_link(name, "")  # fails naming the families
        return name, 1.0, 1.0, None
    kind = type(family).__name__
    if kind not in FAMILY_CLASSES or not hasattr(family, "link"):
        raise ArgumentError(
            "family", f"expected a family's name or a statsmodels family, got {kind}"
        )
    name = FAMILY_CLASSES[kind]
    link_kind = type(family.link).__name__
    link_name = LINK_CLASSES.get(link_kind)
    if link_name is None:
        raise ArgumentError(
            "family", f"the family's link {link_kind} is none of {', '.join(LINK_CLASSES)}"
        )
    alpha = float(getattr(family, "alpha", 1.0)) if name == "negative_binomial" else 1.0
    if not (np.isfinite(alpha) and alpha > 0):
        raise ArgumentError("family", f"the negative binomial's alpha must be above 0, got {alpha}")
    var_power = float(getattr(family, "var_power", 1.0)) if name == "tweedie" else 1.0
    if name == "tweedie" and not (1.0 <= var_power <= 2.0):
        raise ArgumentError(
            "family", f"Tweedie's var_power must lie in [1, 2] for counts, got {var_power}"
        )
    return name, alpha, var_power, link_name


# For each kind of outcome: the test of a value it may hold, and what it must hold.
OUTCOME_RULES: dict[str, tuple[Any, str]] = {
    "unit": (lambda y: (y >= 0) & (y <= 1), "lie in [0, 1]"),
    "count": (lambda y: np.isfinite(y) & (y >= 0), "be finite and at least 0"),
    "positive": (lambda y: np.isfinite(y) & (y > 0), "be finite and above 0"),
    "real": (np.isfinite, "be finite"),
}


def check_outcome_values(y: np.ndarray, outcome: str, name: str, where: str, title: str) -> None:
    """Fails, naming the partition, when the outcome holds values the model cannot take."""
    allowed, rule = OUTCOME_RULES[outcome]
    bad = ~allowed(y)
    if bad.any():
        raise PartitionError(
            f"{where}: the outcome {name!r} must {rule} for the {title} model; "
            f"{int(bad.sum())} values are not, such as {y[bad][0]:g}"
        )
