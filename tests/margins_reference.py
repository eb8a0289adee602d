"""Average marginal effects by variable, computed literally from their definitions.

Independent of velmora_margins: a level effect rebuilds the whole design with patsy on
data where the factor is set to the level; a derivative takes the derivative columns of
the design that each test writes out by hand; link functions come from SciPy.
"""

import numpy as np
import patsy
from scipy import special, stats

import rounding


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


def level_designs(result, variable, level, base, rows=None):
    """The design matrices of the rows with the variable set to the level and to the base."""
    frame = used_frame(result)
    if rows is not None:
        frame = frame.iloc[rows]

    def design(value):
        return np.asarray(
            patsy.build_design_matrices([design_info(result)], frame.assign(**{variable: value}))[0]
        )

    return design(level), design(base)


def level_effect(result, variable, level, base, rows=None, weights=None):
    """Mean of F(x(L) b) - F(x(B) b), x(L) the design row with the variable set to L."""
    cdf, pdf, _ = links(kind_of(result))
    b = np.asarray(result.params)
    xl, xb = level_designs(result, variable, level, base, rows)
    effect = weighted_mean(cdf(xl @ b) - cdf(xb @ b), weights)
    gradient = weighted_mean(pdf(xl @ b)[:, None] * xl - pdf(xb @ b)[:, None] * xb, weights)
    return float(effect), standard_error(gradient, result)


def slope_columns(result, slopes, rows=None):
    """The design X and dx/dv, given dx/dv as {column name: values per row}."""
    x = np.asarray(result.model.exog)
    names = list(result.model.exog_names)
    dx = np.zeros_like(x)
    for name, values in slopes.items():
        dx[:, names.index(name)] = values
    if rows is not None:
        x, dx = x[rows], dx[rows]
    return x, dx


def derivative_effect(result, slopes, rows=None, weights=None):
    """Mean of f(x b) (dx/dv) b, given dx/dv as {column name: values per row}."""
    _, pdf, slope = links(kind_of(result))
    x, dx = slope_columns(result, slopes, rows)
    b = np.asarray(result.params)
    xb, d = x @ b, dx @ b
    effect = weighted_mean(pdf(xb) * d, weights)
    gradient = weighted_mean((slope(xb) * d)[:, None] * x + pdf(xb)[:, None] * dx, weights)
    return float(effect), standard_error(gradient, result)


# Rounding bounds of the two effects, unweighted, as rounding.py derives them: how far one
# correct evaluation of the effect and of its variance may lie from the exact values.


def level_effect_errors(result, variable, level, base):
    """(effect_error, variance_error) of the level effect."""
    kind = kind_of(result)
    cdf, pdf, _ = links(kind)
    b = np.asarray(result.params)
    xl, xb = level_designs(result, variable, level, base)
    x = np.asarray(result.model.exog)
    # Either predictor may be formed from the row's own one and the changed columns.
    dv = rounding.predictor_error(np.hstack([x, xl, xb]), np.concatenate([b, b, b]))
    vl, vb = xl @ b, xb @ b
    ml, mb = rounding.link_move(kind, vl, dv), rounding.link_move(kind, vb, dv)
    effect_error = rounding.row_sums_error(cdf(vl) + cdf(vb), ml + mb) / len(x)
    magnitudes = pdf(vl)[:, None] * np.abs(xl) + pdf(vb)[:, None] * np.abs(xb)
    moves = ml[:, None] * np.abs(xl) + mb[:, None] * np.abs(xb)
    gradient = np.mean(pdf(vl)[:, None] * xl - pdf(vb)[:, None] * xb, axis=0)
    gradient_error = rounding.row_sums_error(magnitudes, moves) / len(x)
    return effect_error, errors_of(gradient, gradient_error, result)


def derivative_effect_errors(result, slopes):
    """(effect_error, variance_error) of the derivative effect."""
    kind = kind_of(result)
    _, pdf, slope = links(kind)
    x, dx = slope_columns(result, slopes)
    n, k = x.shape
    b = np.asarray(result.params)
    v, d, scale = x @ b, dx @ b, np.abs(dx) @ np.abs(b)
    f, move = pdf(v), rounding.link_move(kind, v, rounding.predictor_error(x, b))
    # d = dx·b takes k roundings more.
    roundings = rounding.TERM_ROUNDINGS + k
    effect_error = rounding.row_sums_error(f * scale, move * scale, roundings) / n
    magnitudes = (np.abs(slope(v)) * scale)[:, None] * np.abs(x) + f[:, None] * np.abs(dx)
    moves = move[:, None] * (scale[:, None] * np.abs(x) + np.abs(dx))
    gradient = np.mean((slope(v) * d)[:, None] * x + f[:, None] * dx, axis=0)
    gradient_error = rounding.row_sums_error(magnitudes, moves, roundings) / n
    return effect_error, errors_of(gradient, gradient_error, result)


def errors_of(gradient, gradient_error, result):
    cov = np.asarray(result.cov_params())
    return float(rounding.variance_error(gradient[None], gradient_error[None], cov)[0])
