"""velmora_margins.comparisons against its definitions: two mean predictions of statsmodels
on the data with a variable set or moved (x + h, x ± sd/2 with ddof = 1, NumPy's quartiles,
the smallest and largest value, a pair, a factor's levels), compared as a difference,
ratio, log ratio, log odds ratio or lift."""

import numpy as np
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import quantities_reference as q
import velmora_margins

CHANGES = {"age": 5, "yrs_married": "minmax", "educ": "iqr", "rate_marriage": "sd"}
LEVELS = q.FACTORS["religious"]


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


def moved(fit, name, how):
    """The label and the (high, low) settings of a numerical variable's change; the
    statistics over all the model's rows, unweighted."""
    x = fit.frame[name].to_numpy(dtype=float)
    if how == "sd":
        sd = np.std(x, ddof=1)
        return "+1 sd", {name: lambda v: v + sd / 2}, {name: lambda v: v - sd / 2}
    if isinstance(how, int | float):
        return f"+{how:g}", {name: lambda v: v + how}, {}
    low, high = {"iqr": np.percentile(x, [25, 75]), "minmax": (x.min(), x.max())}.get(how, how)
    return f"{high:g} - {low:g}", {name: high}, {name: low}


def level_pairs(how):
    """The (high, low) levels of a factor's change, in the table's order."""
    if how == "reference":
        return [(level, LEVELS[0]) for level in LEVELS[1:]]
    if how == "sequential":
        return list(zip(LEVELS[1:], LEVELS[:-1], strict=True))
    return [(LEVELS[j], LEVELS[i]) for i in range(len(LEVELS)) for j in range(i + 1, len(LEVELS))]


def expected(fit, rows, comparison, changes):
    """The labels (term, contrast) and quantities of the rows of a group."""
    labels, quantities = [], []
    for name, how in changes.items():
        if name == "religious":
            for high, low in level_pairs(how):
                labels.append((name, f"{high} - {low}"))
                quantities.append(q.change(comparison, rows, {name: high}, {name: low}))
        else:
            label, high, low = moved(fit, name, how)
            labels.append((name, label))
            quantities.append(q.change(comparison, rows, high, low))
    return labels, quantities


def check(table, fit, comparison, changes, groups=None, weights=None):
    members = [None] if groups is None else [rows for _, rows in groups]
    labels, quantities = [], []
    for rows in members:
        more = expected(fit, fit.rows(weights, rows), comparison, changes)
        labels += more[0]
        quantities += more[1]
    assert list(zip(table["term"], table["contrast"], strict=True)) == labels
    q.check_table(table, fit, quantities)


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("comparison", list(q.COMPARE))
def test_every_comparison_of_every_numerical_change(survey, kind, comparison):
    result = q.fitted(survey, kind, "HC1")
    fit = q.Fit(result)
    changes = {**CHANGES, "religious": "reference"}
    table = velmora_margins.comparisons(result, variables=changes, comparison=comparison)
    assert list(table.columns[:2]) == ["term", "contrast"]
    assert list(table.columns[3:]) == q.COLUMNS
    if comparison in ("difference", "ratio"):
        assert table.columns[2] == comparison.capitalize()
    check(table, fit, comparison, changes)


@pytest.mark.parametrize("how", ["reference", "sequential", "pairwise"])
def test_factor_changes_within_weighted_groups(survey, how):
    result = q.fitted(survey, "probit", "cluster")
    fit = q.Fit(result)
    weights = fit.frame["educ"].to_numpy()
    table = velmora_margins.comparisons(
        result, variables={"religious": how}, comparison="lift", by="kids", weights="educ"
    )
    assert list(table["kids"]) == [0] * len(level_pairs(how)) + [1] * len(level_pairs(how))
    check(table, fit, "lift", {"religious": how}, q.groups(fit, "kids"), weights)


def test_default_changes_pairs_and_statistics_over_all_rows(survey):
    result = q.fitted(survey, "logit", "cluster")
    fit = q.Fit(result)
    table = velmora_margins.comparisons(result)
    assert list(zip(table["term"], table["contrast"], strict=True)) == [
        ("age", "+1"),
        ("yrs_married", "+1"),
        *[("religious", f"{level} - 1.0") for level in LEVELS[1:]],
        ("educ", "+1"),
        ("rate_marriage", "+1"),
        ("kids", "1 - 0"),  # a 0/1 variable from 0 to 1
    ]
    rows = fit.rows()
    quantities = [
        q.change("difference", rows, {"age": lambda x: x + 1}, {}),
        q.change("difference", rows, {"yrs_married": lambda x: x + 1}, {}),
        *[q.change("difference", rows, {"religious": v}, {"religious": 1.0}) for v in LEVELS[1:]],
        q.change("difference", rows, {"educ": lambda x: x + 1}, {}),
        q.change("difference", rows, {"rate_marriage": lambda x: x + 1}, {}),
        q.change("difference", rows, {"kids": 1}, {"kids": 0}),
    ]
    q.check_table(table, fit, quantities)
    # A pair, a number, and the spreads within groups: sd and quartiles over all the rows.
    changes = {"age": (20, 40), "yrs_married": 10, "educ": "iqr", "rate_marriage": "sd"}
    table = velmora_margins.comparisons(result, variables=changes, by="occupation", weights="educ")
    educ = fit.frame["educ"].to_numpy()
    q25, q75 = np.percentile(educ, [25, 75])
    assert list(table["contrast"][:4]) == ["40 - 20", "+10", f"{q75:g} - {q25:g}", "+1 sd"]
    check(table, fit, "difference", changes, q.groups(fit, "occupation"), educ)


@pytest.mark.parametrize("comparison", ["difference", "ratio"])
def test_linear_scale(survey, comparison):
    result = q.fitted(survey, "logit")
    fit = q.Fit(result, scale="linear")
    # Sides whose mean linear predictors lie well away from 0, for the ratio.
    changes = {"age": (20, 50), "religious": "pairwise"}
    table = velmora_margins.comparisons(
        result, variables=changes, comparison=comparison, scale="linear"
    )
    check(table, fit, comparison, changes)


@pytest.mark.parametrize("model", [smf.logit, smf.probit])
def test_spector(model):
    data = sm.datasets.spector.load_pandas().data
    result = model("GRADE ~ GPA + TUCE + PSI", data).fit(disp=0)
    fit = q.Fit(result)
    # GPA's quartiles fall between two students' values: 32 rows, at ranks 7.75 and 23.25.
    changes = {"PSI": (0, 1), "GPA": "iqr", "TUCE": "sd"}
    for comparison in q.COMPARE:
        table = velmora_margins.comparisons(result, variables=changes, comparison=comparison)
        check(table, fit, comparison, changes)


def test_a_negative_change_is_labelled_with_its_sign(survey):
    result = q.fitted(survey, "logit")
    table = velmora_margins.comparisons(result, variables={"age": -3.5, "educ": 2})
    assert list(table["contrast"]) == ["-3.5", "+2"]
