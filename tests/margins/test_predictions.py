"""velmora_margins.predictions against the mean of statsmodels' predictions, computed
literally: overall, within groups, weighted, on the linear scale, with the covariance of
the table's estimates across groups."""

import numpy as np
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import quantities_reference as q
import velmora_margins


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1", "cluster"])
def test_mean_prediction_overall_and_within_groups(survey, kind, cov_type):
    result = q.fitted(survey, kind, cov_type)
    fit = q.Fit(result)
    table = velmora_margins.predictions(result)
    assert list(table.columns) == ["Margin", *q.COLUMNS]
    q.check_table(table, fit, [q.prediction(fit.rows())])
    by = velmora_margins.predictions(result, by="occupation")
    assert list(by.columns) == ["occupation", "Margin", *q.COLUMNS]
    groups = q.groups(fit, "occupation")
    assert list(by["occupation"]) == [label for label, _ in groups]
    # The covariance across groups, from the one fit.
    q.check_table(by, fit, [q.prediction(fit.rows(rows=rows)) for _, rows in groups])


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_weights_as_a_column_and_as_values_with_groups(survey, kind):
    result = q.fitted(survey, kind, "HC1")
    fit = q.Fit(result)
    educ = fit.frame["educ"].to_numpy(dtype=float)
    values = educ * np.linspace(0.5, 2.0, len(educ))
    for weights, w in (("educ", educ), (values, values), ("children", fit.frame["children"])):
        table = velmora_margins.predictions(result, weights=weights)
        q.check_table(table, fit, [q.prediction(fit.rows(w))])
    table = velmora_margins.predictions(result, by="religious", weights=values)
    groups = q.groups(fit, "religious")
    q.check_table(table, fit, [q.prediction(fit.rows(values, rows)) for _, rows in groups])


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_linear_scale_is_the_mean_linear_predictor(survey, kind):
    result = q.fitted(survey, kind, "cluster")
    fit = q.Fit(result, scale="linear")
    table = velmora_margins.predictions(result, scale="linear", by="rate_marriage", weights="educ")
    educ = fit.frame["educ"].to_numpy()
    groups = q.groups(fit, "rate_marriage")
    q.check_table(table, fit, [q.prediction(fit.rows(educ, rows)) for _, rows in groups])
    # Linear in the coefficients: the weighted mean design row times them.
    rows = groups[0][1]
    x = np.asarray(result.model.exog)[rows]
    expected = educ[rows] @ x @ fit.params / educ[rows].sum()
    assert table["Margin"].iloc[0] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("model", [smf.logit, smf.probit])
def test_spector_and_the_logit_identity(model):
    data = sm.datasets.spector.load_pandas().data
    result = model("GRADE ~ GPA + TUCE + PSI", data).fit(disp=0)
    fit = q.Fit(result)
    table = velmora_margins.predictions(result, by="PSI")
    q.check_table(
        table, fit, [q.prediction(fit.rows(rows=rows)) for _, rows in q.groups(fit, "PSI")]
    )
    overall = velmora_margins.predictions(result)
    q.check_table(overall, fit, [q.prediction(fit.rows())])
    if model is smf.logit:  # a Logit's mean prediction is the share of ones, 11 of 32
        assert overall["Margin"].iloc[0] == pytest.approx(11 / 32, rel=1e-7)
