"""predictions, margins and comparisons of velmora_margins.fit results for counts and
weighted models, against those of the statsmodels results of the same rows: each row's
offset and exposure in every prediction and counterfactual (and at the means with
atmeans), the fit's weights by default, and the negative binomial's alpha left out."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from test_models_fit import COUNT_FORMULA, counts

import velmora_margins
from velmora_margins import comparisons, margins, predictions
from velmora_margins.partitioned import sources

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")

CALLS = [
    (predictions, {}),
    (predictions, {"by": "region"}),
    (predictions, {"at": {"age": [30, 60], "female": [0, 1]}}),
    (predictions, {"atmeans": True, "by": "female"}),
    (predictions, {"scale": "linear", "by": "region"}),
    (margins, {}),
    (margins, {"slope": "eyex", "by": "female"}),
    (margins, {"atmeans": True}),
    (comparisons, {"variables": {"age": "sd", "region": "pairwise"}, "comparison": "ratio"}),
    (comparisons, {"variables": {"female": [0, 1]}, "atmeans": True, "by": "region"}),
]


def same_tables(ours, theirs):
    """The same labels, and estimates and standard errors within 1e-10."""
    columns = list(theirs.columns)
    assert list(ours.columns) == columns
    estimate = columns.index("Std. Err") - 1
    labels = columns[:estimate]
    pd.testing.assert_frame_equal(ours[labels], theirs[labels])
    numbers = columns[estimate : estimate + 2]
    np.testing.assert_allclose(ours[numbers], theirs[numbers], rtol=1e-10, atol=0)


def copied(fit, result, k=None):
    """The fit with the statsmodels result's coefficients and covariance (which its own
    match to about 1e-8), so that the tables differ only in how the rows are passed over."""
    k = len(fit.model.params) if k is None else k
    np.testing.assert_allclose(fit.params, result.params, rtol=1e-7)
    fit.model.params = np.asarray(result.params)[:k].copy()
    fit.model.cov = np.asarray(result.cov_params())[:k, :k].copy()
    return fit


@pytest.fixture(scope="module")
def visits():
    return counts(1200, seed=21)


@pytest.fixture(params=["pandas", pytest.param("dask", marks=pytest.mark.dask_scheduler)])
def source(request, visits, monkeypatch):
    """The rows as pandas partitions of 500 rows, or a Dask DataFrame of 3 partitions on
    the threaded scheduler."""
    if request.param == "pandas":
        monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 500)
        yield visits
    else:
        with dask.config.set(scheduler="threads"):
            yield dd.from_pandas(visits, npartitions=3)


def test_poisson_with_an_offset_and_an_exposure(source, visits):
    result = smf.poisson(
        COUNT_FORMULA, visits, offset=visits["shift"], exposure=visits["years"]
    ).fit(disp=0, method="newton", tol=1e-12)
    fit = velmora_margins.fit(
        COUNT_FORMULA, source, model="poisson", offset="shift", exposure="years"
    )
    fit = copied(fit, result)
    for call, options in CALLS:
        same_tables(call(fit, **options), call(result, **options))


def test_the_exposure_scales_every_prediction(visits):
    """Against the definition: the mean of exp(x b + offset + log(exposure))."""
    fit = velmora_margins.fit(
        COUNT_FORMULA, visits, model="poisson", offset="shift", exposure="years"
    )
    beta = fit.params
    x = pd.get_dummies(visits["region"], dtype=float)
    eta = (
        beta["Intercept"]
        + beta["age"] * visits["age"]
        + beta["female"] * visits["female"]
        + beta["C(region)[T.south]"] * x["south"]
        + beta["C(region)[T.north]"] * x["north"]
    )
    means = np.exp(eta + visits["shift"] + np.log(visits["years"]))
    table = predictions(fit)
    assert table["Margin"].iloc[0] == pytest.approx(means.mean(), rel=1e-12)
    at_ten = predictions(fit, at={"age": [10.0]})
    shifted = np.exp(eta + beta["age"] * (10.0 - visits["age"]) + visits["shift"])
    expected = (shifted * visits["years"]).mean()
    assert at_ten["Margin"].iloc[0] == pytest.approx(expected, rel=1e-12)


def test_negative_binomial_effects_leave_alpha_out(visits):
    result = smf.negativebinomial(
        COUNT_FORMULA, visits, exposure=visits["years"], loglike_method="nb2"
    ).fit(disp=0, method="newton", tol=1e-12, maxiter=200)
    fit = velmora_margins.fit(COUNT_FORMULA, visits, model="negbin", exposure="years")
    fit = copied(fit, result, k=len(result.params) - 1)
    for call, options in CALLS[:3] + CALLS[5:7]:
        same_tables(call(fit, **options), call(result, **options))


def test_a_weighted_fit_weights_its_effects_by_default(visits):
    frame = visits.assign(spend=np.log1p(visits["visits"]) + 0.01 * visits["age"], one=1.0)
    formula = "spend ~ age + female + C(region)"
    result = smf.glm(formula, frame, family=sm.families.Gaussian(), freq_weights=frame["w"]).fit(
        tol=1e-14
    )
    fit = velmora_margins.fit(formula, frame, model="glm", family="gaussian", weights="w")
    fit = copied(fit, result)
    assert fit.model.default_weights == "w"
    for call, options in CALLS[:2] + CALLS[5:7]:
        ours = call(fit, **options)
        same_tables(ours, call(result, **options))
        same_tables(ours, call(fit, weights="w", **options))
    # Against the definition: the prediction's weighted mean.
    table = predictions(fit)
    expected = np.average(np.asarray(result.fittedvalues), weights=frame["w"])
    assert table["Margin"].iloc[0] == pytest.approx(expected, rel=1e-12)
    # And weights of one's own still take their place.
    ones = predictions(fit, weights="one")
    assert ones["Margin"].iloc[0] == pytest.approx(result.fittedvalues.mean(), rel=1e-12)
