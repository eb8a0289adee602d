"""Predictions, slopes, elasticities and comparisons of a fitted statsmodels result computed
literally from their definitions, independent of velmora_margins.

Each quantity is a function q(p) of the coefficients p (None for the fit's own): a mean
over the model's rows (weighted, within a group) of statsmodels' predictions on the data
frame changed as the definition says, or the same at one row of the means. Derivatives by
a variable and gradients by the coefficients are central differences; the standard errors
and the covariance of a table's estimates follow by the delta method with the result's
``cov_params()``.
"""

import itertools

import numpy as np
import pandas as pd
import patsy
import statsmodels.formula.api as smf
from scipy import stats

from margins_reference import design_info, used_frame

# Seven-point central differences, f'(t) ≈ Σ c_o f(t + o h) / h: the truncation error is
# O((h/s)⁶) relative, s the scale on which f bends; the rounding error O(eps / h), and
# O(eps / (h h')) where a slope by a variable (step h') is differenced again by the
# coefficients (step h). For a coefficient β_j, s is the change that moves the linear
# predictor by 1, 1 / max |x_ij| over the design (a column of age² needs a step 3000 times
# shorter than the intercept's), and h = eps^(1/8) s ≈ 1e-2 s. For a variable x, s is
# taken as max(1, |x|), which overstates it where x enters through powers, products or
# logs, so h' = eps^(1/6) max(1, |x|) ≈ 2.5e-3 max(1, |x|). Both errors then stay below
# about 1e-10 on these data (checked against exact gradients where they are simple), far
# below the 1e-8 asked of the code. Steps are rounded so that t + o h is exact.
STEP = np.finfo(float).eps ** (1 / 8)
VARIABLE_STEP = np.finfo(float).eps ** (1 / 6)
STENCIL = ((-3, -1 / 60), (-2, 3 / 20), (-1, -3 / 4), (1, 3 / 4), (2, -3 / 20), (3, 1 / 60))

# A formula with a factor, a factor × numeric and a numeric × numeric interaction, a
# polynomial, a log and a 0/1 variable; its numerical variables and its factor's levels.
FORMULA = (
    "affair ~ age + I(age**2) + np.log(yrs_married) + C(religious) * age + educ * rate_marriage"
    " + kids"
)
NUMERIC = ("age", "yrs_married", "educ", "rate_marriage", "kids")
FACTORS = {"religious": (1.0, 2.0, 3.0, 4.0)}
COLUMNS = ["Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance"]


def survey(fair):
    """The affairs survey with a 0/1 variable: any children."""
    return fair.assign(kids=(fair["children"] > 0).astype(int))


def fitted(data, kind="logit", cov_type="nonrobust", formula=FORMULA):
    """A statsmodels Logit or Probit fit, its covariance nonrobust, HC1 or clustered by
    occupation."""
    options = {"cov_type": cov_type}
    if cov_type == "cluster":
        options["cov_kwds"] = {"groups": data["occupation"].to_numpy()}
    return {"logit": smf.logit, "probit": smf.probit}[kind](formula, data).fit(disp=0, **options)


def groups(fit, by):
    """The labels of a column on the model's rows, sorted, and the rows of each."""
    labels = fit.frame[by].to_numpy()
    return [(label, np.flatnonzero(labels == label)) for label in sorted(set(labels))]


COMPARE = {
    "difference": lambda hi, lo: hi - lo,
    "ratio": lambda hi, lo: hi / lo,
    "lnratio": lambda hi, lo: np.log(hi / lo),
    "lnor": lambda hi, lo: np.log(hi / (1 - hi)) - np.log(lo / (1 - lo)),
    "lift": lambda hi, lo: hi / lo - 1,
}


def step(t, scale=None):
    t = np.asarray(t, dtype=float)
    h = VARIABLE_STEP * np.maximum(1.0, np.abs(t)) if scale is None else STEP * scale
    return (t + h) - t


def changed(frame, changes):
    """The frame with each named column set to a value, or to a function of its values."""
    if not changes:
        return frame
    return frame.assign(
        **{n: c(frame[n].to_numpy()) if callable(c) else c for n, c in changes.items()}
    )


# The column that carries each row's whole offset (offset + log(exposure)) in a Fit's
# frame, so that it follows the rows through changes and picks.
OFFSET = "_offset_"
# The models whose predictions are their linear predictors, with no "which" to ask for.
LINEAR_MODELS = ("OLS", "WLS")


class Fit:
    """A statsmodels result, its rows (with each row's offset, for a model with one), and
    the scale of its predictions."""

    def __init__(self, result, scale="response", offset=None, bend=1.0):
        self.result = result
        self.frame = used_frame(result).reset_index(drop=True)
        if offset is not None:
            self.frame[OFFSET] = np.asarray(offset, dtype=float)
        self.info = design_info(result)
        # Every parameter, a model's extra ones (alpha) last: the predictions do not
        # depend on those, so their gradients come out zero.
        self.params = np.asarray(result.params, dtype=float)
        self.cov = np.asarray(result.cov_params(), dtype=float)
        self.which = {"response": "mean", "linear": "linear"}[scale]
        self.linear_model = type(result.model).__name__ in LINEAR_MODELS
        # The steps by the coefficients: predictions bend on a scale of 1 in the linear
        # predictor (of bend, for a link that bends on a shorter one: 1/eta on the scale of
        # the smallest |eta|); linear predictors do not bend, but ratios of their means do,
        # on the scale of the lower side's mean (0.4 or more in these tests): ten times
        # shorter.
        scales = bend / np.abs(np.asarray(result.model.exog)).max(axis=0)
        self.scales = np.concatenate([scales, np.ones(len(self.params) - len(scales))])
        if scale == "linear":
            self.scales /= 10.0

    def design(self, frame):
        return np.asarray(patsy.build_design_matrices([self.info], frame)[0])

    def options(self, offset):
        """statsmodels' predict arguments: the scale, and the rows' offsets if any."""
        options = {} if self.linear_model else {"which": self.which}
        if offset is not None:
            options["offset"] = np.asarray(offset, dtype=float)
        return options

    def predictor(self, frame=None, exog=None, offset=None):
        """p -> the predictions of the rows of a data frame (statsmodels' predict on the
        frame at the fit's coefficients, the model's predict on its design at others), or
        of the rows of a design matrix; each row's offset from the frame or as given."""
        cache = {}
        if frame is not None and OFFSET in frame:
            offset = frame[OFFSET].to_numpy()
        options = self.options(offset)

        def predict(p):
            key = None if p is None else p.tobytes()
            if key not in cache:
                if p is None and frame is not None:
                    cache[key] = np.asarray(self.result.predict(frame, **options))
                else:
                    if "x" not in cache:
                        cache["x"] = exog if exog is not None else self.design(frame)
                    x = cache["x"]
                    b = self.params if p is None else p
                    cache[key] = np.asarray(self.result.model.predict(b, x, **options))
            return cache[key]

        return predict

    def rows(self, weights=None, rows=None):
        return ModelRows(self, weights, rows)

    def mean_row(self, numeric, factors, weights=None, rows=None):
        return MeanRow(self, numeric, factors, weights, rows)


class ModelRows:
    """The model's rows (those given), each changed as asked, and means over them."""

    def __init__(self, fit, weights, rows):
        self.fit = fit
        self.frame = fit.frame if rows is None else fit.frame.iloc[rows]
        w = np.ones(len(fit.frame)) if weights is None else np.asarray(weights, dtype=float)
        self.weights = w if rows is None else w[rows]

    def value(self, name, changes=None):
        return changed(self.frame, changes)[name].to_numpy(dtype=float)

    def predicted(self, changes=None):
        return self.fit.predictor(changed(self.frame, changes))

    def mean(self, per_row):
        return lambda p: float(np.dot(self.weights, per_row(p)) / self.weights.sum())


class MeanRow:
    """One row of the means of the model's rows (weighted, those given): the numerical
    variables at their means, each factor at the shares of its levels, i.e. the design
    rows of every combination of the factors' levels averaged with the products of the
    shares (each coding column at its mean, a product of columns at the product of their
    means); changes set variables, factors among them, in place of their means."""

    def __init__(self, fit, numeric, factors, weights, rows):
        self.fit = fit
        frame = fit.frame if rows is None else fit.frame.iloc[rows]
        w = np.ones(len(fit.frame)) if weights is None else np.asarray(weights, dtype=float)
        w = w if rows is None else w[rows]
        self.means = {
            v: float(np.dot(w, frame[v].to_numpy(dtype=float)) / w.sum()) for v in numeric
        }
        self.offset = None
        if OFFSET in frame:
            self.offset = np.array([np.dot(w, frame[OFFSET].to_numpy()) / w.sum()])
        self.shares = {
            f: {level: float(w[(frame[f] == level).to_numpy()].sum() / w.sum()) for level in levels}
            for f, levels in factors.items()
        }

    def value(self, name, changes=None):
        return self.settings(changes)[0][name]

    def settings(self, changes):
        values = dict(self.means)
        for name, c in (changes or {}).items():
            values[name] = c(values[name]) if callable(c) else c
        shares = {f: s for f, s in self.shares.items() if f not in values}
        return values, shares

    def predicted(self, changes=None):
        values, shares = self.settings(changes)
        row = 0.0
        for combination in itertools.product(*(s.items() for s in shares.values())):
            one = dict(values)
            weight = 1.0
            for factor, (level, share) in zip(shares, combination, strict=True):
                one[factor] = level
                weight *= share
            row = row + weight * self.fit.design(pd.DataFrame({k: [v] for k, v in one.items()}))
        return self.fit.predictor(exog=row, offset=self.offset)

    def mean(self, per_row):
        return lambda p: float(per_row(p)[0])


# Quantities: functions of the coefficients.


def prediction(rows, changes=None):
    """Mean prediction with the changes made."""
    return rows.mean(rows.predicted(changes))


def slope(rows, name, changes=None):
    """p -> per row, the derivative of the prediction by a numerical variable."""
    x = rows.value(name, changes)
    h = step(x)
    sides = [(c, rows.predicted({**(changes or {}), name: x + o * h})) for o, c in STENCIL]
    return lambda p: sum(c * predict(p) for c, predict in sides) / h


def effect(rows, name, kind="dydx", changes=None):
    """Mean slope of a numerical variable: dF/dx, or an elasticity, (dF/dx) x / F
    ("eyex"), (dF/dx) / F ("eydx") or (dF/dx) x ("dyex"), row by row."""
    d = slope(rows, name, changes)
    f = rows.predicted(changes)
    x = rows.value(name, changes)
    per_row = {
        "dydx": d,
        "eyex": lambda p: d(p) * x / f(p),
        "eydx": lambda p: d(p) / f(p),
        "dyex": lambda p: d(p) * x,
    }[kind]
    return rows.mean(per_row)


def comparison(kind, hi, lo):
    """A comparison of two quantities, the higher side first."""
    return lambda p: float(COMPARE[kind](hi(p), lo(p)))


def change(kind, rows, high, low, changes=None):
    """A comparison of the mean predictions with the variables set as high and as low say."""
    base = changes or {}
    return comparison(kind, prediction(rows, {**base, **high}), prediction(rows, {**base, **low}))


def difference(first, second):
    return lambda p: first(p) - second(p)


# The delta method.


def delta(fit, quantities):
    """The quantities' values and their gradients by the coefficients (rows x k)."""
    b = fit.params
    values = np.array([q(None) for q in quantities])
    jacobian = np.zeros((len(quantities), len(b)))
    for j in range(len(b)):
        h = float(step(b[j], fit.scales[j]))
        for o, c in STENCIL:
            p = b.copy()
            p[j] += o * h
            jacobian[:, j] += c * np.array([q(p) for q in quantities])
        jacobian[:, j] /= h
    return values, jacobian


def estimate_column(table):
    columns = list(table.columns)
    return columns[columns.index("Std. Err") - 1]


def check_table(table, fit, quantities, rtol=1e-8):
    """The table's estimates, standard errors and attrs["vcov"] against the quantities'
    values, √(g Σ gᵀ) and G Σ Gᵀ, row by row."""
    assert len(table) == len(quantities)
    values, jacobian = delta(fit, quantities)
    vcov = jacobian @ fit.cov @ jacobian.T
    errors = np.sqrt(np.diag(vcov))
    np.testing.assert_allclose(table[estimate_column(table)], values, rtol=rtol, atol=0)
    np.testing.assert_allclose(table["Std. Err"], errors, rtol=rtol, atol=0)
    got = np.asarray(table.attrs["vcov"])
    assert got.shape == vcov.shape
    assert np.all(np.abs(got - vcov) <= rtol * np.outer(errors, errors)), (got, vcov)


def wald_statistic(estimates, vcov, matrix, constants=None):
    """(R θ − c)ᵀ (R V Rᵀ)⁻¹ (R θ − c) for R of full row rank, and its p-value."""
    values = matrix @ estimates - (0.0 if constants is None else constants)
    statistic = float(values @ np.linalg.solve(matrix @ vcov @ matrix.T, values))
    return statistic, float(stats.chi2.sf(statistic, len(matrix)))
