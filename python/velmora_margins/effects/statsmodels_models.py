"""What each statsmodels model is to the effects: its link, its offset and its weights.

statsmodels tells its models apart by class (``Poisson``, ``GLM``, ``WLS``), and a GLM its
family and link by the classes of ``model.family`` and ``model.family.link``. Those class
names are read here and nowhere else, each mapped once to the names of ``links``.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from velmora_margins.errors import ArgumentError
from velmora_margins.links import FAMILY_LINKS, LINKS, Link, family_link

# The models whose link is their own, by class name in lower case.
MODEL_LINKS = {
    "logit": "logit",
    "probit": "probit",
    "poisson": "log",
    "negativebinomial": "log",  # NB2, NB1 and the geometric: the mean is exp(x b) for each
    "generalizedpoisson": "log",
    "ols": "identity",
    "wls": "identity",
}
TAKEN = "Logit, Probit, Poisson, NegativeBinomial, GeneralizedPoisson, GLM, OLS or WLS"

# A GLM's families and links by class name, in lower case without underscores.
FAMILIES = {name.replace("_", ""): name for name in FAMILY_LINKS}
GLM_LINKS = {
    "logit": "logit",
    "probit": "probit",
    "cloglog": "cloglog",
    "loglog": "loglog",
    "cauchy": "cauchy",
    "log": "log",
    "identity": "identity",
    "sqrt": "sqrt",
    "inversepower": "inverse_power",
    "inversesquared": "inverse_squared",
}
# The power links by their power, for a link made as Power(power).
POWERS = {1.0: "identity", 0.5: "sqrt", -1.0: "inverse_power", -2.0: "inverse_squared"}


def class_key(value: object) -> str:
    return type(value).__name__.lower().replace("_", "")


def model_link(model: Any) -> Link | None:
    """Returns the link of a statsmodels model, None for a model the effects do not take,
    or fails for a GLM whose family or link they do not take."""
    kind = class_key(model)
    if kind == "glm":
        return glm_link(model)
    name = MODEL_LINKS.get(kind)
    return None if name is None else LINKS[name]


def glm_link(model: Any) -> Link:
    """Returns a GLM's link, after checking that its family takes it."""
    family = getattr(model, "family", None)
    family_name = FAMILIES.get(class_key(family))
    if family_name is None:
        raise ArgumentError(
            "result",
            f"a GLM of the {type(family).__name__} family, which velmora_margins does not "
            f"take; it takes {', '.join(sorted(FAMILIES))} (statsmodels' class names)",
        )
    link = getattr(family, "link", None)
    link_name = GLM_LINKS.get(class_key(link))
    if link_name is None and class_key(link) == "power":
        link_name = POWERS.get(float(getattr(link, "power", np.nan)))
    try:
        return family_link(family_name, link_name or type(link).__name__)
    except ArgumentError as error:
        raise ArgumentError("result", f"a GLM: {error.detail}") from None


def per_row(value: Any, rows: int, what: str) -> np.ndarray:
    """Returns an attribute of the model as one float per row (a scalar repeated)."""
    values = np.asarray(value, dtype=np.float64).reshape(-1)
    if values.size == 1:
        return np.full(rows, values[0])
    if values.shape != (rows,):
        raise ArgumentError(
            "result", f"the model's {what} has {values.size} values for {rows} rows"
        )
    return values


def row_offset(model: Any, rows: int) -> np.ndarray | None:
    """Returns each row's whole offset, the model's offset plus the log of its exposure
    (statsmodels keeps the log in ``model.exposure``), or None for a model without."""
    total: np.ndarray | None = None
    for what in ("offset", "exposure"):
        value = getattr(model, what, None)
        if value is None:
            continue
        values = per_row(value, rows, what)
        total = values if total is None else total + values
    if total is None:
        return None
    bad = np.flatnonzero(~np.isfinite(total))
    if len(bad):
        raise ArgumentError(
            "result",
            f"the model's offset (with the log of its exposure) is not finite on "
            f"{len(bad)} of its {rows} rows, the first row {bad[0]}",
        )
    return np.ascontiguousarray(total)


def fit_weights(model: Any, rows: int) -> np.ndarray | None:
    """Returns the weights of the fit, by which the effects weight their means unless
    told otherwise: a GLM's frequency weights times its variance weights (the weights of
    the means of a weighted fit), a WLS's weights; None for a fit without, or with all
    weights 1."""
    kind = class_key(model)
    if kind == "glm":
        parts = [(model.freq_weights, "freq_weights"), (model.var_weights, "var_weights")]
    elif kind == "wls":
        parts = [(model.weights, "weights")]
    else:
        return None
    weights = np.ones(rows)
    for value, what in parts:
        weights = weights * per_row(value, rows, what)
    return None if np.all(weights == 1.0) else weights
