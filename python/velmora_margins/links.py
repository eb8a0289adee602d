"""The links between a model's linear predictor and its prediction.

Each link is named once, here, with the title it is printed under; its formulas (the
inverse link F, its derivative f and the derivative of that, f') are written once, in the
engine, and a ``Link`` evaluates them through the kernels. The kernels take a link by its
name; the engine's list of links and this table must agree (a test checks that they do).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from velmora_margins import _kernels
from velmora_margins.errors import ArgumentError

# The title of each of the engine's links, as tables and messages print it.
TITLES = {
    "logit": "Logit",
    "probit": "Probit",
    "cloglog": "Complementary log-log",
    "identity": "Identity",
    "log": "Log",
    "loglog": "Log-log",
    "cauchy": "Cauchy",
    "sqrt": "Square root",
    "inverse_power": "Inverse power",
    "inverse_squared": "Inverse squared",
}


@dataclass(frozen=True)
class Link:
    """A link: its name (as the kernels and the API take it) and its title."""

    name: str
    title: str

    @property
    def fits(self) -> bool:
        """Whether ``velmora_margins.fit`` fits a binary model with this link."""
        return self.name in _kernels.FIT_LINKS

    def values(self, eta: np.ndarray) -> _kernels.LinkValues:
        """Returns F, f and f' at each linear predictor."""
        return _kernels.link_values(self.name, np.ascontiguousarray(eta, dtype=np.float64))

    def cdf(self, eta: np.ndarray) -> np.ndarray:
        """Returns the prediction F(eta), the inverse link."""
        return self.values(eta).cdf

    def pdf(self, eta: np.ndarray) -> np.ndarray:
        """Returns f(eta), the derivative of F."""
        return self.values(eta).pdf

    def pdf_derivative(self, eta: np.ndarray) -> np.ndarray:
        """Returns f'(eta), the second derivative of F."""
        return self.values(eta).pdf_derivative


LINKS = {name: Link(name, title) for name, title in TITLES.items()}

# The links each family of generalized linear models takes, its usual (canonical or, where
# that is not one of the engine's, customary) link first; families by the names the fit's
# kernels give them.
FAMILY_LINKS = {
    "binomial": ("logit", "probit", "cloglog", "loglog", "cauchy", "log", "identity"),
    "poisson": ("log", "identity", "sqrt"),
    "gaussian": ("identity", "log", "inverse_power"),
    "gamma": ("inverse_power", "log", "identity"),
    "inverse_gaussian": ("inverse_squared", "inverse_power", "log", "identity"),
    "negative_binomial": ("log",),
    "tweedie": ("log",),
}


def fit_link(name: object) -> Link:
    """Returns the link that ``fit``'s model argument names ("logit" or "probit")."""
    names = [n for n, link in LINKS.items() if link.fits]
    text = str(name).lower()
    if text not in names:
        options = ", ".join(repr(n) for n in names[:-1]) + f" or {names[-1]!r}"
        raise ArgumentError("model", f"expected {options}, got {name!r}")
    return LINKS[text]


def listed(names: tuple[str, ...] | list[str]) -> str:
    """Returns names quoted and listed: 'a', 'b' or 'c'."""
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + f" or {quoted[-1]}"


def family_link(family: object, link: object) -> Link:
    """Returns the link of a generalized linear model of the family (by its lower-case
    name), or fails naming the families, or the links the family takes."""
    if not isinstance(family, str) or family not in FAMILY_LINKS:
        raise ArgumentError("family", f"expected {listed(list(FAMILY_LINKS))}, got {family!r}")
    allowed = FAMILY_LINKS[family]
    if not isinstance(link, str) or link not in allowed:
        raise ArgumentError(
            "link",
            f"the {family} family takes the link{'s' if len(allowed) > 1 else ''} "
            f"{listed(allowed)}, got {link!r}",
        )
    return LINKS[link]
