"""margins' options together, against the effects' definitions computed literally: weights
on a 0/1 variable, weights given per row of a data frame whose rows the model partly
dropped, a 0/1 variable inside an interaction, and the groups of by= with their order."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import margins_reference as ref
import velmora_margins
from velmora_margins.partitioned import sources

FIT = {"logit": smf.logit, "probit": smf.probit}
NUMBERS = ["dy/dx", "Std. Err"]


def row(table, term, contrast="dY/dX"):
    found = table[(table["term"] == term) & (table["contrast"] == contrast)]
    assert len(found) == 1, (term, contrast, table[["term", "contrast"]])
    return found.iloc[0][NUMBERS].to_numpy(dtype=float)


def check(table, term, contrast, expected):
    np.testing.assert_allclose(row(table, term, contrast), expected, rtol=1e-9, atol=0)


def same_tables(ours, theirs):
    """A fit's table against a statsmodels result's: labels alike, numbers to the fits'
    agreement."""
    pd.testing.assert_frame_equal(ours.iloc[:, :-7], theirs.iloc[:, :-7])
    np.testing.assert_allclose(ours["dy/dx"], theirs["dy/dx"], rtol=1e-8, atol=0)
    np.testing.assert_allclose(ours["Std. Err"], theirs["Std. Err"], rtol=1e-7, atol=0)


@pytest.fixture(scope="module")
def survey(fair):
    """The survey with a 0/1 variable (any children), a few missing ages, and row labels
    that are not the rows' positions."""
    data = fair.assign(kids=(fair["children"] > 0).astype(int))
    data.loc[data.index % 29 == 3, "age"] = np.nan
    rng = np.random.default_rng(11)
    return data.set_index(pd.Index(rng.permutation(len(data)) * 3 + 7))


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_weights_on_a_zero_one_variable(survey, kind):
    result = FIT[kind]("affair ~ kids + age + C(religious)", survey).fit(disp=0)
    used = ref.used_frame(result)
    for weights in ("educ", "children"):  # the second with zeros
        table = velmora_margins.margins(result, weights=weights)
        w = used[weights].to_numpy()
        check(table, "kids", "1 - 0", ref.level_effect(result, "kids", 1, 0, weights=w))
        check(
            table,
            "religious",
            "3.0 - 1.0",
            ref.level_effect(result, "religious", 3.0, 1.0, weights=w),
        )
        check(table, "age", "dY/dX", ref.derivative_effect(result, {"age": 1.0}, weights=w))
        per_column = velmora_margins.margins(result, weights=weights, per_column=True)
        check(per_column, "kids", "1 - 0", ref.level_effect(result, "kids", 1, 0, weights=w))
    fitted = velmora_margins.fit("affair ~ kids + age + C(religious)", survey, model=kind)
    same_tables(
        velmora_margins.margins(fitted, weights="educ"),
        velmora_margins.margins(result, weights="educ"),
    )


def test_weights_per_row_of_the_data_frame(survey):
    formula = "affair ~ age + I(age**2) + kids + C(religious)"
    weights = survey["educ"].to_numpy() * np.linspace(0.5, 2.0, len(survey))
    # The model keeps the rows with an age, in the frame's order; a column of the weights
    # is missing on the others.
    kept = survey["age"].notna().to_numpy()
    on_model_rows = weights[kept]
    data = survey.assign(w=np.where(kept, weights, np.nan))
    result = smf.logit(formula, data).fit(disp=0)
    assert result.nobs == kept.sum() < len(data)
    age = ref.used_frame(result)["age"].to_numpy()
    slopes = {"age": 1.0, "I(age ** 2)": 2 * age}
    expected = {
        ("age", "dY/dX"): ref.derivative_effect(result, slopes, weights=on_model_rows),
        ("kids", "1 - 0"): ref.level_effect(result, "kids", 1, 0, weights=on_model_rows),
        ("religious", "4.0 - 1.0"): ref.level_effect(
            result, "religious", 4.0, 1.0, weights=on_model_rows
        ),
    }
    for given in (weights, on_model_rows, list(on_model_rows), "w"):
        table = velmora_margins.margins(result, weights=given)
        for (term, contrast), numbers in expected.items():
            check(table, term, contrast, numbers)
    fitted = velmora_margins.fit(formula, data)
    same_tables(velmora_margins.margins(fitted, weights="w"), table)
    with pytest.raises(TypeError) as caught:
        velmora_margins.margins(fitted, weights=weights)
    assert str(caught.value) == "weights: for a fit on partitioned data, name a column of the data"


@pytest.mark.parametrize(
    ("formula", "slopes"),
    [
        ("affair ~ kids * age", lambda d: {"kids": 1.0, "kids:age": d["age"]}),
        (
            "affair ~ age + kids:C(religious)",
            lambda d: {
                f"kids:C(religious)[{level}]": (d["religious"] == level).astype(float)
                for level in (1.0, 2.0, 3.0, 4.0)
            },
        ),
        (
            "affair ~ age + I(kids * yrs_married)",
            lambda d: {"I(kids * yrs_married)": d["yrs_married"]},
        ),
    ],
)
def test_zero_one_variable_inside_an_interaction_is_a_derivative(survey, formula, slopes):
    result = smf.logit(formula, survey).fit(disp=0)
    used = ref.used_frame(result)
    table = velmora_margins.margins(result, variables="kids")
    assert list(table["contrast"]) == ["dY/dX"]
    check(table, "kids", "dY/dX", ref.derivative_effect(result, slopes(used)))
    fitted = velmora_margins.fit(formula, survey)
    same_tables(velmora_margins.margins(fitted, variables="kids"), table)


# Groups. The labels of a group column and the order the table gives them: sorted where
# they sort, else in order of first appearance among the model's rows.

MIXED = {1.0: "b", 2.0: 2, 3.0: "a", 4.0: 1, 5.0: "b", 6.0: 2}


def group_columns(survey):
    data = survey.assign(
        job=survey["occupation"].map(
            {1.0: "student", 2.0: "farm", 3.0: "clerk", 4.0: "teacher", 5.0: "manager", 6.0: "pro"}
        ),
        mixed=survey["occupation"].map(MIXED).astype(object),
    )
    # Numbers whose first appearance is out of order, missing on the rows the models drop.
    return data.assign(rank=(data["rate_marriage"] * -1.5).where(data["age"].notna()))


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("by", ["rank", "job", "mixed"])
def test_groups_in_order_with_their_own_rows(survey, kind, by):
    data = group_columns(survey)
    formula = "affair ~ age + I(age**2) + kids + C(religious)"
    result = FIT[kind](formula, data).fit(disp=0)
    used = ref.used_frame(result)
    labels = used[by].to_numpy()
    appearance = list(dict.fromkeys(labels))
    order = appearance if by == "mixed" else sorted(appearance)
    assert order != appearance or by == "mixed"  # the order is the table's doing
    weights = used["educ"].to_numpy()
    table = velmora_margins.margins(result, by=by, weights="educ")
    assert list(table.columns[:3]) == [by, "term", "contrast"]
    assert list(dict.fromkeys(table[by])) == order
    assert len(table) == len(order) * 5
    age = used["age"].to_numpy()
    for label in order:
        rows = np.flatnonzero(labels == label)
        part = table[table[by] == label]
        w = weights[rows]
        slopes = {"age": 1.0, "I(age ** 2)": 2 * age}
        check(part, "age", "dY/dX", ref.derivative_effect(result, slopes, rows=rows, weights=w))
        check(part, "kids", "1 - 0", ref.level_effect(result, "kids", 1, 0, rows=rows, weights=w))
        expected = ref.level_effect(result, "religious", 2.0, 1.0, rows=rows, weights=w)
        check(part, "religious", "2.0 - 1.0", expected)


@pytest.mark.parametrize(
    ("by", "on"),
    [
        ("rank", "threads"),
        ("job", "threads"),
        ("mixed", "threads"),
        pytest.param("rank", "dask", marks=pytest.mark.dask_scheduler),
        # Dask reads a column of mixed objects as text, so mixed labels stay in pandas.
        pytest.param("job", "dask", marks=pytest.mark.dask_scheduler),
    ],
)
def test_groups_of_a_fit_on_partitions(survey, monkeypatch, by, on):
    data = group_columns(survey).reset_index(drop=True)
    formula = "affair ~ age + kids + C(religious)"
    result = smf.logit(formula, data).fit(disp=0)
    theirs = velmora_margins.margins(result, by=by, weights="educ")
    if on == "dask":
        dd = pytest.importorskip("dask.dataframe")
        source = dd.from_pandas(data, npartitions=3)
    else:
        monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 1000)
        source = data
    ours = velmora_margins.margins(velmora_margins.fit(formula, source), by=by, weights="educ")
    same_tables(ours, theirs)
