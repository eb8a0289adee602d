"""Average marginal effects by variable, computed literally from their definitions.

Independent of velmora_margins: a level effect rebuilds the whole design with patsy on
data where the factor is set to the level; a derivative takes the derivative columns of
the design that each test writes out by hand; link functions come from SciPy.
"""

import numpy as np
import patsy
from scipy import special, stats


def links(kind):
    """Returns F, f and f' of the model kind."""
    if kind == "logit":
        cdf = special.expit

        def pdf(v):
            return special.expit(v) * special.expit(-v)

        def slope(v):
            return pdf(v) * (1.0 - 2.0 * cdf(v))

        return cdf, pdf, slope
    return stats.norm.cdf, stats.norm.pdf, lambda v: -v * stats.norm.pdf(v)


def kind_of(result):
    return type(result.model).__name__.lower()


def design_info(result):
    data = result.model.data
    return getattr(data, "model_spec", None) or data.design_info


def used_frame(result):
    """The rows of the fitted data that the model kept."""
    return result.model.data.frame.loc[result.model.data.row_labels]


def standard_error(gradient, result):
    return float(np.sqrt(gradient @ np.asarray(result.cov_params()) @ gradient))


def weighted_mean(values, weights):
    weights = np.ones(len(values)) if weights is None else np.asarray(weights, dtype=float)
    return np.tensordot(weights, values, axes=1) / weights.sum()


def level_effect(result, variable, level, base, rows=None, weights=None):
    """Mean of F(x(L) b) - F(x(B) b), x(L) the design row with the variable set to L."""
    cdf, pdf, _ = links(kind_of(result))
    frame = used_frame(result)
    if rows is not None:
        frame = frame.iloc[rows]
    b = np.asarray(result.params)
    xl = np.asarray(
        patsy.build_design_matrices([design_info(result)], frame.assign(**{variable: level}))[0]
    )
    xb = np.asarray(
        patsy.build_design_matrices([design_info(result)], frame.assign(**{variable: base}))[0]
    )
    effect = weighted_mean(cdf(xl @ b) - cdf(xb @ b), weights)
    gradient = weighted_mean(pdf(xl @ b)[:, None] * xl - pdf(xb @ b)[:, None] * xb, weights)
    return float(effect), standard_error(gradient, result)


def derivative_effect(result, slopes, rows=None, weights=None):
    """Mean of f(x b) (dx/dv) b, given dx/dv as {column name: values per row}."""
    _, pdf, slope = links(kind_of(result))
    x = np.asarray(result.model.exog)
    names = list(result.model.exog_names)
    dx = np.zeros_like(x)
    for name, values in slopes.items():
        dx[:, names.index(name)] = values
    if rows is not None:
        x, dx = x[rows], dx[rows]
    b = np.asarray(result.params)
    xb, d = x @ b, dx @ b
    effect = weighted_mean(pdf(xb) * d, weights)
    gradient = weighted_mean((slope(xb) * d)[:, None] * x + pdf(xb)[:, None] * dx, weights)
    return float(effect), standard_error(gradient, result)
