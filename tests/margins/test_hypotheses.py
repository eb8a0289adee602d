"""hypotheses and wald: linear combinations R θ − c of a table's rows, with R V Rᵀ from the
table's covariance, and the joint Wald test; differences between groups of one fit against
their definitions."""

import itertools

import numpy as np
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from scipy import stats

import quantities_reference as q
import velmora_margins


@pytest.fixture(scope="module")
def result(fair):
    return q.fitted(q.survey(fair), "logit", "HC1")


@pytest.fixture(scope="module")
def table(result):
    """Four mean predictions, one per level of religious."""
    return velmora_margins.predictions(result, by="religious")


def matrix_of(pairs, rows):
    out = np.zeros((len(pairs), rows))
    for r, (high, low) in enumerate(pairs):
        out[r, high], out[r, low] = 1.0, -1.0
    return out


def check_combinations(out, table, matrix, constants=0.0):
    """Estimates R θ − c, standard errors, z, p-values and attrs["vcov"] R V Rᵀ."""
    theta = table[q.estimate_column(table)].to_numpy()
    vcov = matrix @ table.attrs["vcov"] @ matrix.T
    errors = np.sqrt(np.diag(vcov))
    assert list(out.columns) == ["term", "Estimate", *q.COLUMNS]
    np.testing.assert_allclose(out["Estimate"], matrix @ theta - constants, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(out["Std. Err"], errors, rtol=1e-10, atol=0)
    np.testing.assert_allclose(out.attrs["vcov"], vcov, rtol=1e-10, atol=1e-18)
    np.testing.assert_allclose(out["z"], out["Estimate"] / errors, rtol=1e-10)
    p = 2 * stats.norm.sf(np.abs(out["Estimate"] / errors))
    np.testing.assert_allclose(out["Pr(>|z|)"], p, rtol=1e-6, atol=1e-12)


def test_pairwise_and_reference(table):
    pairs = [(j, i) for i, j in itertools.combinations(range(4), 2)]
    out = velmora_margins.hypotheses(table, "pairwise")
    assert list(out["term"]) == [f"b{j + 1} - b{i + 1}" for j, i in pairs]
    check_combinations(out, table, matrix_of(pairs, 4))
    out = velmora_margins.hypotheses(table, "reference")
    assert list(out["term"]) == ["b2 - b1", "b3 - b1", "b4 - b1"]
    check_combinations(out, table, matrix_of([(1, 0), (2, 0), (3, 0)], 4))


def test_a_matrix_and_equations_with_constants(table):
    matrix = np.array([[0.5, 0.5, -1.0, 0.0], [1.0, 0.0, 0.0, 0.0], [0.0, -2.0, 0.0, 3.0]])
    check_combinations(velmora_margins.hypotheses(table, matrix), table, matrix)
    one = velmora_margins.hypotheses(table, [1.0, -1.0, 0.0, 0.0])
    check_combinations(one, table, np.array([[1.0, -1.0, 0.0, 0.0]]))
    text = "b2 - b1 = 0.05, 2*b3 = b1 + 1, b4/2 - 0.1 = -b2"
    out = velmora_margins.hypotheses(table, text)
    assert list(out["term"]) == [part.strip() for part in text.split(",")]
    matrix = np.array([[-1.0, 1.0, 0.0, 0.0], [-1.0, 0.0, 2.0, 0.0], [0.0, 1.0, 0.0, 0.5]])
    check_combinations(out, table, matrix, np.array([0.05, 1.0, 0.1]))
    # Combinations of combinations: (b2 - b1) - (b3 - b1) is b2 - b3.
    again = velmora_margins.hypotheses(velmora_margins.hypotheses(table, "reference"), "b1 - b2")
    direct = velmora_margins.hypotheses(table, "b2 - b3")
    np.testing.assert_allclose(again[["Estimate", "Std. Err"]], direct[["Estimate", "Std. Err"]])


def test_differences_between_groups_of_one_fit(result):
    """The covariance across groups makes a difference between groups right: against the
    definition, the difference of the two groups' means differenced by the coefficients."""
    fit = q.Fit(result)
    (_, first), _, _, (_, last) = q.groups(fit, "religious")
    table = velmora_margins.predictions(result, by="religious")
    out = velmora_margins.hypotheses(table, "b4 - b1")
    expected = q.difference(q.prediction(fit.rows(rows=last)), q.prediction(fit.rows(rows=first)))
    q.check_table(out, fit, [expected])
    # The effect of a 0/1 variable in two groups, weighted.
    weights = fit.frame["educ"]
    table = velmora_margins.comparisons(result, variables=["kids"], by="religious", weights="educ")
    out = velmora_margins.hypotheses(table, "b4 - b1")
    effects = [
        q.change("difference", fit.rows(weights, rows), {"kids": 1}, {"kids": 0})
        for rows in (last, first)
    ]
    q.check_table(out, fit, [q.difference(*effects)])


def test_wald_by_hand(table):
    theta, vcov = table["Margin"].to_numpy(), table.attrs["vcov"]
    out = velmora_margins.wald(table)
    assert list(out.columns) == ["chi2", "df", "Pr(>chi2)"]
    assert len(out) == 1
    statistic, p = q.wald_statistic(theta, vcov, np.eye(4))
    assert out["chi2"].iloc[0] == pytest.approx(statistic, rel=1e-9)
    assert out["df"].iloc[0] == 4
    assert out["Pr(>chi2)"].iloc[0] == pytest.approx(p, rel=1e-8, abs=1e-300)
    reference = matrix_of([(1, 0), (2, 0), (3, 0)], 4)
    statistic, p = q.wald_statistic(theta, vcov, reference)
    out = velmora_margins.wald(table, "reference")
    assert (out["chi2"].iloc[0], out["df"].iloc[0]) == (pytest.approx(statistic, rel=1e-9), 3)
    assert out["Pr(>chi2)"].iloc[0] == pytest.approx(p, rel=1e-8)
    text = "b2 - b1 = 0.05, b3 = b1 - 0.1"
    matrix = np.array([[-1.0, 1.0, 0.0, 0.0], [-1.0, 0.0, 1.0, 0.0]])
    statistic, p = q.wald_statistic(theta, vcov, matrix, np.array([0.05, -0.1]))
    out = velmora_margins.wald(table, text)
    assert (out["chi2"].iloc[0], out["df"].iloc[0]) == (pytest.approx(statistic, rel=1e-9), 2)


def test_wald_of_dependent_combinations_has_the_rank_as_degrees_of_freedom(table):
    theta, vcov = table["Margin"].to_numpy(), table.attrs["vcov"]
    # The six pairwise differences of four rows span three dimensions: the same test as
    # the three differences from the first row.
    statistic, p = q.wald_statistic(theta, vcov, matrix_of([(1, 0), (2, 0), (3, 0)], 4))
    with pytest.warns(UserWarning, match="rank 3"):
        out = velmora_margins.wald(table, "pairwise")
    assert out["df"].iloc[0] == 3
    assert out["chi2"].iloc[0] == pytest.approx(statistic, rel=1e-8)
    assert out["Pr(>chi2)"].iloc[0] == pytest.approx(p, rel=1e-7, abs=1e-300)
    twice = np.array([[1.0, -1.0, 0.0, 0.0], [2.0, -2.0, 0.0, 0.0]])
    with pytest.warns(UserWarning, match="rank 1"):
        out = velmora_margins.wald(table, twice)
    statistic, _ = q.wald_statistic(theta, vcov, twice[:1])
    assert (out["chi2"].iloc[0], out["df"].iloc[0]) == (pytest.approx(statistic, rel=1e-8), 1)


@pytest.mark.parametrize("model", [smf.logit, smf.probit])
def test_spector(model):
    data = sm.datasets.spector.load_pandas().data
    result = model("GRADE ~ GPA + TUCE + PSI", data).fit(disp=0)
    fit = q.Fit(result)
    rows = fit.rows()
    # The difference of the predictive margins of PSI is its effect, from 0 to 1.
    table = velmora_margins.predictions(result, at={"PSI": [0, 1]})
    out = velmora_margins.hypotheses(table, "b2 - b1")
    q.check_table(out, fit, [q.change("difference", rows, {"PSI": 1}, {"PSI": 0})])
    effects = velmora_margins.margins(result)
    theta, vcov = effects["dy/dx"].to_numpy(), effects.attrs["vcov"]
    statistic, p = q.wald_statistic(theta, vcov, np.eye(3)[:2])
    out = velmora_margins.wald(effects, "b1 = 0, b2 = 0")
    assert (out["chi2"].iloc[0], out["df"].iloc[0]) == (pytest.approx(statistic, rel=1e-9), 2)
    assert out["Pr(>chi2)"].iloc[0] == pytest.approx(p, rel=1e-8)
