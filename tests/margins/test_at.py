"""at grids and atmeans for predictions, margins and comparisons, against their definitions
computed literally: every row's variables set to the at values and its design row made
again; or one row of the (weighted, within-group) means, factors at their level shares."""

import itertools

import pytest

import quantities_reference as q
import velmora_margins

AT = {"age": [22, 37.5], "religious": [1.0, 4.0]}


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


@pytest.fixture(scope="module", params=["logit", "probit"])
def result(request, survey):
    return q.fitted(survey, request.param, "HC1")


def grid(at):
    return [dict(zip(at, values, strict=True)) for values in itertools.product(*at.values())]


def test_predictions_on_a_grid_within_groups(result):
    fit = q.Fit(result)
    weights = fit.frame["educ"]
    table = velmora_margins.predictions(result, at=AT, by="occupation", weights="educ")
    assert list(table.columns[:3]) == ["occupation", "age", "religious"]
    assert list(table.columns[3:]) == ["Margin", *q.COLUMNS]
    groups = q.groups(fit, "occupation")
    rows = [(label, setting) for label, _ in groups for setting in grid(AT)]
    assert list(zip(table["occupation"], table["age"], table["religious"], strict=True)) == [
        (label, s["age"], s["religious"]) for label, s in rows
    ]
    quantities = [
        q.prediction(fit.rows(weights, members), setting)
        for _, members in groups
        for setting in grid(AT)
    ]
    q.check_table(table, fit, quantities)


def test_a_factor_named_with_its_levels(result):
    fit = q.Fit(result)
    levels = list(q.FACTORS["religious"])
    table = velmora_margins.predictions(result, at={"religious": levels})
    assert list(table["religious"]) == levels
    q.check_table(table, fit, [q.prediction(fit.rows(), {"religious": v}) for v in levels])


def test_margins_at_values_of_the_variable_itself_and_of_others(result):
    fit = q.Fit(result)
    at = {"age": [25, 50], "rate_marriage": 2}
    table = velmora_margins.margins(result, at=at, variables=["age", "educ", "religious", "kids"])
    rows = fit.rows()
    quantities, labels = [], []
    for setting in grid({"age": [25, 50], "rate_marriage": [2]}):
        # age's slope at the value at sets, through its square and its interactions.
        quantities += [
            q.effect(rows, "age", changes=setting),
            q.effect(rows, "educ", changes=setting),
        ]
        labels += [("age", "dY/dX"), ("educ", "dY/dX")]
        for level in (2.0, 3.0, 4.0):
            high, low = {"religious": level}, {"religious": 1.0}
            quantities.append(q.change("difference", rows, high, low, setting))
            labels.append(("religious", f"{level} - 1.0"))
        quantities.append(q.change("difference", rows, {"kids": 1}, {"kids": 0}, setting))
        labels.append(("kids", "1 - 0"))
    assert list(zip(table["term"], table["contrast"], strict=True)) == labels
    assert list(table["age"]) == [25.0] * 6 + [50.0] * 6
    assert list(table["rate_marriage"]) == [2.0] * 12
    q.check_table(table, fit, quantities)


def test_comparisons_at_values(result):
    fit = q.Fit(result)
    table = velmora_margins.comparisons(
        result,
        variables={"educ": 2, "religious": "sequential"},
        at={"rate_marriage": [2, 5]},
        comparison="ratio",
        by="kids",
    )
    quantities = []
    for _, members in q.groups(fit, "kids"):
        rows = fit.rows(rows=members)
        for value in (2, 5):
            setting = {"rate_marriage": value}
            move = {"educ": lambda x: x + 2}
            quantities.append(q.change("ratio", rows, move, {}, setting))
            for level, before in ((2.0, 1.0), (3.0, 2.0), (4.0, 3.0)):
                quantities.append(
                    q.change("ratio", rows, {"religious": level}, {"religious": before}, setting)
                )
    assert list(table["contrast"][:4]) == ["+2", "2.0 - 1.0", "3.0 - 2.0", "4.0 - 3.0"]
    q.check_table(table, fit, quantities)


# atmeans: one row of the means within each group, weighted.


def test_predictions_and_margins_at_the_means_within_weighted_groups(result):
    fit = q.Fit(result)
    weights = fit.frame["educ"]
    groups = q.groups(fit, "occupation")
    means = [fit.mean_row(q.NUMERIC, q.FACTORS, weights, members) for _, members in groups]
    table = velmora_margins.predictions(result, atmeans=True, by="occupation", weights="educ")
    q.check_table(table, fit, [q.prediction(m) for m in means])
    # The effects at the means of each group (two groups, to keep the test short).
    table = velmora_margins.margins(result, atmeans=True, by="kids", weights="educ")
    quantities = []
    for _, members in q.groups(fit, "kids"):
        m = fit.mean_row(q.NUMERIC, q.FACTORS, weights, members)
        quantities += [q.effect(m, "age"), q.effect(m, "yrs_married")]
        quantities += [
            q.change("difference", m, {"religious": v}, {"religious": 1.0}) for v in (2.0, 3.0, 4.0)
        ]
        quantities += [q.effect(m, "educ"), q.effect(m, "rate_marriage")]
        quantities.append(q.change("difference", m, {"kids": 1}, {"kids": 0}))
    q.check_table(table, fit, quantities)


def test_a_0_1_variable_at_its_share(result):
    """At the means a 0/1 variable holds its share of ones, so its change is taken from
    the row of means set to 0 and to 1, not from each row's own side."""
    fit = q.Fit(result)
    weights = fit.frame["educ"]
    table = velmora_margins.margins(
        result, atmeans=True, by="occupation", weights="educ", variables=["kids", "age"]
    )
    quantities = []
    for _, members in q.groups(fit, "occupation"):
        m = fit.mean_row(q.NUMERIC, q.FACTORS, weights, members)
        assert 0 < m.means["kids"] < 1
        quantities += [q.change("difference", m, {"kids": 1}, {"kids": 0}), q.effect(m, "age")]
    q.check_table(table, fit, quantities)


def test_at_values_with_the_other_variables_at_their_means(result):
    fit = q.Fit(result)
    plain = fit.mean_row(q.NUMERIC, q.FACTORS)
    table = velmora_margins.predictions(result, atmeans=True, at={"age": [30, 45]})
    q.check_table(table, fit, [q.prediction(plain, {"age": v}) for v in (30, 45)])
    # A factor set by at is at its level, not at its shares.
    table = velmora_margins.margins(
        result, atmeans=True, at={"religious": 3.0}, variables=["age", "kids"]
    )
    setting = {"religious": 3.0}
    quantities = [
        q.effect(plain, "age", changes=setting),
        q.change("difference", plain, {"kids": 1}, {"kids": 0}, setting),
    ]
    q.check_table(table, fit, quantities)
    table = velmora_margins.comparisons(result, atmeans=True, at={"age": 30}, variables={"educ": 2})
    move = {"educ": lambda x: x + 2}
    q.check_table(table, fit, [q.change("difference", plain, move, {}, {"age": 30})])


def test_comparisons_at_the_means(result):
    fit = q.Fit(result)
    weights = fit.frame["children"] + 0.5
    row = fit.mean_row(q.NUMERIC, q.FACTORS, weights.to_numpy())
    sd = fit.frame["yrs_married"].std(ddof=1)  # over the model's rows, unweighted
    table = velmora_margins.comparisons(
        result,
        variables={"age": 10, "yrs_married": "sd", "religious": "reference"},
        atmeans=True,
        weights=weights.to_numpy(),
        comparison="lnor",
    )
    quantities = [
        q.change("lnor", row, {"age": lambda x: x + 10}, {}),
        q.change(
            "lnor",
            row,
            {"yrs_married": lambda x: x + sd / 2},
            {"yrs_married": lambda x: x - sd / 2},
        ),
        *[q.change("lnor", row, {"religious": v}, {"religious": 1.0}) for v in (2.0, 3.0, 4.0)],
    ]
    q.check_table(table, fit, quantities)
