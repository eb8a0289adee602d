"""Every model the effects take, on data simulated with a fixed seed: count models with
offsets and exposures, GLMs of every family with each link it takes (some with frequency
and variance weights), least squares. Quantities against statsmodels' predict on the
changed data with each row's offset, averaged; standard errors against the delta method
with a numerical gradient and the whole cov_params(), alpha's row and column included (its
gradient comes out zero); per design column against get_margeff."""

import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import quantities_reference as q
import velmora_margins

FORMULA = "{} ~ x1 + x2 + C(g) + d + x1:x2"
MEANS = (["x1", "x2", "d"], {"g": (0, 1, 2)})


@pytest.fixture(scope="module")
def data():
    """Outcomes of each kind around the mean exp(x b) (0.4 to 3; inverse Gaussian ones
    around (x b)^(-1/2)), with an exposure, an offset and two kinds of weights."""
    rng = np.random.default_rng(20261209)
    n = 300
    f = pd.DataFrame({"x1": rng.uniform(-1, 1, n), "x2": rng.uniform(0, 1, n)})
    f = f.assign(g=rng.integers(0, 3, n), d=(rng.random(n) < 0.4).astype(int))
    f = f.assign(expo=rng.uniform(0.5, 3, n), off=rng.normal(0, 0.05, n))
    f = f.assign(fw=rng.integers(1, 4, n).astype(float), vw=rng.uniform(0.5, 2, n))
    mu = np.exp(0.3 + 0.4 * f.x1 - 0.3 * f.x2 + 0.2 * (f.g == 1) - 0.1 * (f.g == 2) + 0.25 * f.d)
    return f.assign(
        log_expo=np.log(f.expo),
        count=rng.poisson(mu * f.expo),
        small=rng.poisson(mu),
        binary=(rng.random(n) < mu / 5).astype(float),
        positive=rng.gamma(4.0, mu / 4),
        wald=rng.wald((0.5 + 0.2 * f.x1 + 0.3 * f.x2 + 0.1 * f.d) ** -0.5, 20.0),
        normal=rng.normal(mu, 0.3),
        # Overdispersed counts for the negative binomials: on equidispersed ones their
        # dispersion goes to its bound and the information matrix is singular.
        over=rng.poisson(mu * f.expo * rng.gamma(2.0, 0.5, n)),
    )


F, L = sm.families, sm.families.links
DISCRETE = {
    "logit": smf.logit,
    "poisson": smf.poisson,
    "nb2": lambda *a, **k: smf.negativebinomial(*a, loglike_method="nb2", **k),
    "nb1": lambda *a, **k: smf.negativebinomial(*a, loglike_method="nb1", **k),
    "geometric": lambda *a, **k: smf.negativebinomial(*a, loglike_method="geometric", **k),
    # Its offset as log(exposure): its predict adds the fit's exposure to any design.
    "genpoisson": sm.GeneralizedPoisson.from_formula,
}


def tweedie(link):
    return F.Tweedie(link=link, var_power=1.5)


# model or GLM family, link, outcome, offset= and exposure= columns, weights columns.
CASES = [
    ("logit", None, "binary", "off", None, ()),
    ("poisson", None, "count", None, "expo", ()),
    ("poisson", None, "count", "off", "expo", ()),
    ("nb2", None, "over", None, "expo", ()),
    ("nb1", None, "over", "off", None, ()),
    ("geometric", None, "count", None, "expo", ()),
    ("genpoisson", None, "count", "log_expo", None, ()),
    ("ols", None, "normal", None, None, ()),
    ("wls", None, "normal", None, None, ("vw",)),
    *[(F.Binomial, link, "binary", None, None, ()) for link in (L.Probit, L.CLogLog, L.LogLog)],
    *[(F.Binomial, link, "binary", None, None, ()) for link in (L.Cauchy, L.Log)],
    (F.Binomial, L.Logit, "binary", None, None, ("fw",)),
    (F.Binomial, L.Identity, "binary", None, None, ("vw",)),
    (F.Poisson, L.Log, "count", None, "expo", ("fw", "vw")),
    (F.Poisson, L.Identity, "small", None, None, ()),
    (F.Poisson, L.Sqrt, "small", "off", None, ()),
    (F.Gaussian, L.Identity, "normal", "off", None, ("vw",)),
    *[(F.Gaussian, link, "normal", None, None, ()) for link in (L.Log, L.InversePower)],
    (F.Gamma, L.InversePower, "positive", None, None, ()),
    (F.Gamma, L.Log, "positive", "off", None, ()),
    (F.Gamma, L.Identity, "positive", None, None, ("fw",)),
    *[
        (F.InverseGaussian, link, "wald", None, None, ())
        for link in (L.InverseSquared, L.InversePower, L.Log, L.Identity)
    ],
    (F.NegativeBinomial, L.Log, "count", None, "expo", ()),
    (tweedie, L.Log, "small", None, None, ()),
]


def fitted(data, kind, link, outcome, offset, exposure, weights):
    formula = FORMULA.format(outcome)
    given = {k: data[v] for k, v in (("offset", offset), ("exposure", exposure)) if v}
    if kind in DISCRETE:
        return DISCRETE[kind](formula, data, **given).fit(disp=0, maxiter=200)
    if kind in ("ols", "wls"):
        return (
            smf.wls(formula, data, weights=data["vw"]).fit()
            if weights
            else smf.ols(formula, data).fit()
        )
    given |= {("freq_weights" if w == "fw" else "var_weights"): data[w] for w in weights}
    return smf.glm(formula, data, family=kind(link=link()), **given).fit()


def name(case):
    kind, link, _, offset, exposure, weights = case
    parts = [getattr(kind, "__name__", kind), getattr(link, "__name__", None), offset, exposure]
    return "-".join(p for p in [*parts, *weights] if p)


@pytest.fixture(scope="module", params=CASES, ids=[name(c) for c in CASES])
def case(request, data):
    """A fit, each row's whole offset and the fit's weights, as worked out here."""
    kind, link, outcome, offset, exposure, weights = request.param
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # statsmodels on links outside a family's usual
        result = fitted(data, kind, link, outcome, offset, exposure, weights)
    frame = q.used_frame(result)
    total = [frame[offset]] if offset else []
    total += [np.log(frame[exposure])] if exposure else []
    w = np.prod([frame[c] for c in weights], axis=0) if weights else None
    return result, np.sum(total, axis=0) if total else None, w


def reference_fit(result, offset, scale="response"):
    """The reference of a fit; for an identity or inverse power link, whose predictions
    (or ratios of them) bend on the scale of the linear predictor's smallest size, with
    steps that much shorter."""
    bend = 1.0
    if type(getattr(getattr(result.model, "family", None), "link", None)).__name__ in (
        "Identity",
        "InversePower",
        "InverseSquared",
    ):
        eta = result.model.exog @ np.asarray(result.params) + (0.0 if offset is None else offset)
        bend = min(1.0, float(np.min(np.abs(eta))))
    return q.Fit(result, scale=scale, offset=offset, bend=bend)


def reference(table, rows):
    """The quantity of each row of a margins table, by its term and contrast."""
    out = []
    for term, contrast in zip(table["term"], table["contrast"], strict=True):
        if contrast == "dY/dX":
            out.append(q.effect(rows, term))
        else:
            high, low = (int(v) for v in contrast.split(" - "))
            out.append(q.change("difference", rows, {term: high}, {term: low}))
    return out


def test_predictions_and_effects_by_variable(case):
    """With the fit's weights by default, or those given in their place."""
    result, offset, weights = case
    params = result.params.copy()
    fit = reference_fit(result, offset)
    # statsmodels' predictions on the frame with the offsets given are its fitted means.
    np.testing.assert_allclose(fit.predictor(fit.frame)(None), result.predict(), rtol=1e-12)
    q.check_table(velmora_margins.predictions(result), fit, [q.prediction(fit.rows(weights))])
    table = velmora_margins.predictions(result, by="g", chunk_size=64)
    groups = [q.prediction(fit.rows(weights, rows)) for _, rows in q.groups(fit, "g")]
    q.check_table(table, fit, groups)
    table = velmora_margins.margins(result)
    assert list(table["term"]) == ["x1", "x2", "g", "g", "d"]
    q.check_table(table, fit, reference(table, fit.rows(weights)))
    x2 = fit.frame["x2"].to_numpy()
    for given, w in (("x2", x2), (np.ones(len(x2)), None)):
        table = velmora_margins.margins(result, weights=given, variables=["x1", "g"])
        q.check_table(table, fit, reference(table, fit.rows(w)))
    pd.testing.assert_series_equal(result.params, params)


def test_counterfactuals_and_means_keep_each_rows_offset(case):
    """at= sets a variable on every row, each row keeping its offset, as do elasticities
    and comparisons; atmeans takes the offset at its mean with the variables; on both
    scales, and within groups."""
    result, offset, weights = case
    for scale in ("response", "linear"):
        fit = reference_fit(result, offset, scale)
        table = velmora_margins.predictions(result, at={"x1": [-0.5, 0.5]}, scale=scale)
        expected = [q.prediction(fit.rows(weights), {"x1": v}) for v in (-0.5, 0.5)]
        q.check_table(table, fit, expected)
        table = velmora_margins.predictions(result, atmeans=True, scale=scale)
        q.check_table(table, fit, [q.prediction(fit.mean_row(*MEANS, weights))])
    fit = reference_fit(result, offset)
    rows = fit.rows(weights)
    table = velmora_margins.margins(result, slope="eyex", variables=["x2"])
    q.check_table(table, fit, [q.effect(rows, "x2", "eyex")])
    table = velmora_margins.comparisons(result, variables={"g": "sequential"}, comparison="ratio")
    expected = [q.change("ratio", rows, {"g": h}, {"g": h - 1}) for h in (1, 2)]
    q.check_table(table, fit, expected)
    table = velmora_margins.margins(result, atmeans=True, by="d", variables=["x1", "x2", "g"])
    expected = []
    for label, picked in q.groups(fit, "d"):
        means = fit.mean_row(*MEANS, weights, picked)
        expected += reference(table[table["d"] == label], means)
    q.check_table(table, fit, expected)


@pytest.mark.parametrize("kind", ["poisson", "nb2", "nb1", "nb2 arrays", "nb1 arrays"])
def test_per_column_against_get_margeff(data, kind):
    """Formula fits, and fits on arrays whose parameters come without names, alpha last."""
    if kind.endswith("arrays"):
        exog = sm.add_constant(data[["x1", "x2", "d"]].to_numpy())
        method = kind.split()[0]
        result = sm.NegativeBinomial(data["over"].to_numpy(), exog, loglike_method=method).fit(
            disp=0
        )
    else:
        outcome = "count" if kind == "poisson" else "over"
        result = DISCRETE[kind](FORMULA.format(outcome), data).fit(disp=0)
    expected = result.get_margeff(dummy=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # each column a variable, without a formula
        table = velmora_margins.margins(result, per_column=True)
    np.testing.assert_allclose(table["dy/dx"], expected.margeff, rtol=1e-9)
    np.testing.assert_allclose(table["Std. Err"], expected.margeff_se, rtol=1e-6)


def test_per_column_with_an_exposure(data):
    """The exposure in each row's mean, which get_margeff leaves out: a column's change
    from 0 to 1, or exp(x b + log exposure)'s derivative b_j times it, averaged."""
    result = smf.poisson(FORMULA.format("count"), data, exposure=data["expo"]).fit(disp=0)
    fit = q.Fit(result, offset=data["log_expo"])
    table = velmora_margins.margins(result, per_column=True)
    x = np.asarray(result.model.exog)

    def coefficient(p, j):
        return (fit.params if p is None else p)[j]

    expected = []
    for j, term in enumerate(result.model.exog_names[1:], start=1):
        assert table["term"].iloc[j - 1] == term
        sides = [x.copy(), x.copy()]
        sides[0][:, j], sides[1][:, j] = 1.0, 0.0
        high, low, mean = (fit.predictor(exog=e, offset=data["log_expo"]) for e in (*sides, x))
        if term in ("C(g)[T.1]", "C(g)[T.2]", "d"):
            expected.append(lambda p, h=high, lo=low: float(np.mean(h(p) - lo(p))))
        else:
            expected.append(lambda p, j=j, m=mean: float(np.mean(coefficient(p, j) * m(p))))
    q.check_table(table, fit, expected)
