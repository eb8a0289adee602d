"""Elasticities of margins (slope="eyex", "eydx", "dyex") against their definitions, the
means of the row-level elasticities: each row's slope dF/dx by central differences of
statsmodels' predictions in x, times x and over F as the slope says."""

import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import quantities_reference as q
import velmora_margins

SLOPES = {"eyex": ("ey/ex", "eY/eX"), "eydx": ("ey/dx", "eY/dX"), "dyex": ("dy/ex", "dY/eX")}
NUMERICAL = ["age", "yrs_married", "educ", "rate_marriage"]  # kids is 0/1, religious a factor


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("slope", list(SLOPES))
def test_means_of_row_elasticities_of_every_numerical_variable(survey, kind, slope):
    result = q.fitted(survey, kind, "HC1")
    fit = q.Fit(result)
    table = velmora_margins.margins(result, slope=slope)
    estimate, contrast = SLOPES[slope]
    assert list(table.columns) == ["term", "contrast", estimate, *q.COLUMNS]
    # By default the variables that have a slope: not the factor, not the 0/1 variable.
    assert list(table["term"]) == NUMERICAL
    assert set(table["contrast"]) == {contrast}
    q.check_table(table, fit, [q.effect(fit.rows(), name, slope) for name in NUMERICAL])


@pytest.mark.parametrize("slope", list(SLOPES))
def test_weights_groups_and_a_clustered_covariance(survey, slope):
    result = q.fitted(survey, "probit", "cluster")
    fit = q.Fit(result)
    weights = fit.frame["children"].to_numpy() + 0.25
    table = velmora_margins.margins(
        result, slope=slope, variables=["yrs_married", "age"], by="religious", weights=weights
    )
    quantities = [
        q.effect(fit.rows(weights, rows), name, slope)
        for _, rows in q.groups(fit, "religious")
        for name in ("yrs_married", "age")
    ]
    q.check_table(table, fit, quantities)


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_at_values_at_the_means_and_on_the_linear_scale(survey, kind):
    result = q.fitted(survey, kind)
    fit = q.Fit(result)
    # At an age that at sets, its own elasticity takes that age for x.
    table = velmora_margins.margins(result, slope="eyex", at={"age": [25, 50]}, variables="age")
    quantities = [q.effect(fit.rows(), "age", "eyex", {"age": v}) for v in (25, 50)]
    q.check_table(table, fit, quantities)
    table = velmora_margins.margins(result, slope="dyex", atmeans=True, weights="educ")
    row = fit.mean_row(q.NUMERIC, q.FACTORS, fit.frame["educ"])
    q.check_table(table, fit, [q.effect(row, name, "dyex") for name in NUMERICAL])
    # The linear predictor crosses 0 on these data, where x b in the denominator makes
    # eyex and eydx ill-conditioned; dyex has none.
    linear = q.Fit(result, scale="linear")
    table = velmora_margins.margins(result, slope="dyex", scale="linear", variables=NUMERICAL)
    q.check_table(table, linear, [q.effect(linear.rows(), name, "dyex") for name in NUMERICAL])


@pytest.mark.parametrize("model", [smf.logit, smf.probit])
def test_spector(model):
    data = sm.datasets.spector.load_pandas().data
    result = model("GRADE ~ GPA + TUCE + PSI", data).fit(disp=0)
    fit = q.Fit(result)
    for slope in SLOPES:
        table = velmora_margins.margins(result, slope=slope)
        assert list(table["term"]) == ["GPA", "TUCE"]
        q.check_table(table, fit, [q.effect(fit.rows(), name, slope) for name in ("GPA", "TUCE")])
