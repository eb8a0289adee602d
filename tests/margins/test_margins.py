"""Effects by variable against their definitions, computed literally on real fits."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import margins_reference as ref
import velmora
import velmora_margins
from rounding import assert_close_effects
from support import parts, same_table

FIT = {"logit": smf.logit, "probit": smf.probit}


def fit(kind, formula, data, **options):
    return FIT[kind](formula, data).fit(disp=0, **options)


def row(table, term, contrast="dY/dX"):
    found = table[(table["term"] == term) & (table["contrast"] == contrast)]
    assert len(found) == 1, (term, contrast, table[["term", "contrast"]])
    return found.iloc[0]


def check(table, term, contrast, expected, rtol=1e-9):
    got = row(table, term, contrast)
    np.testing.assert_allclose([got["dy/dx"], got["Std. Err"]], expected, rtol=rtol, atol=0)


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_factor_levels_and_plain_derivatives(fair, kind):
    result = fit(kind, "affair ~ age + yrs_married + C(religious)", fair)
    table = velmora_margins.margins(result)
    assert list(table.columns) == ["term", "contrast", *velmora.zarn(result).columns]
    assert list(zip(table["term"], table["contrast"], strict=True)) == [
        ("age", "dY/dX"),
        ("yrs_married", "dY/dX"),
        ("religious", "2.0 - 1.0"),
        ("religious", "3.0 - 1.0"),
        ("religious", "4.0 - 1.0"),
    ]
    for level in (2.0, 3.0, 4.0):
        expected = ref.level_effect(result, "religious", level, 1.0)
        check(table, "religious", f"{level} - 1.0", expected)
    check(table, "age", "dY/dX", ref.derivative_effect(result, {"age": 1.0}))
    if kind == "logit":  # the figures users compare with
        np.testing.assert_allclose(table["dy/dx"].iloc[2:], [-0.0594, -0.1376, -0.2619], atol=5e-5)


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_polynomial_derivative_goes_through_every_power(fair, kind):
    result = fit(kind, "affair ~ age + I(age**2) + yrs_married", fair)
    table = velmora_margins.margins(result)
    age = fair["age"].to_numpy()
    expected = ref.derivative_effect(result, {"age": 1.0, "I(age ** 2)": 2 * age})
    check(table, "age", "dY/dX", expected)
    if kind == "logit":
        assert row(table, "age")["dy/dx"] == pytest.approx(-0.0107, abs=5e-5)
    assert list(table["term"]) == ["age", "yrs_married"]


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_interactions_and_transforms(fair, kind):
    formula = (
        "affair ~ age * yrs_married + C(religious) * age + np.log(yrs_married)"
        " + np.sqrt(educ) + np.exp(rate_marriage / 5) + C(occupation)"
    )
    result = fit(kind, formula, fair)
    table = velmora_margins.margins(result)
    age, yrs = fair["age"].to_numpy(), fair["yrs_married"].to_numpy()
    religious = fair["religious"].to_numpy()
    age_slopes = {"age": 1.0, "age:yrs_married": yrs}
    for level in (2.0, 3.0, 4.0):
        age_slopes[f"C(religious)[T.{level}]:age"] = (religious == level).astype(float)
    check(table, "age", "dY/dX", ref.derivative_effect(result, age_slopes))
    yrs_slopes = {"yrs_married": 1.0, "age:yrs_married": age, "np.log(yrs_married)": 1 / yrs}
    check(table, "yrs_married", "dY/dX", ref.derivative_effect(result, yrs_slopes))
    educ = fair["educ"].to_numpy()
    check(
        table,
        "educ",
        "dY/dX",
        ref.derivative_effect(result, {"np.sqrt(educ)": 0.5 / np.sqrt(educ)}),
    )
    rate = fair["rate_marriage"].to_numpy()
    expected = ref.derivative_effect(result, {"np.exp(rate_marriage / 5)": np.exp(rate / 5) / 5})
    check(table, "rate_marriage", "dY/dX", expected)
    for level in (2.0, 3.0, 4.0):  # the factor's interaction with age is made again too
        check(
            table, "religious", f"{level} - 1.0", ref.level_effect(result, "religious", level, 1.0)
        )
    for level in (2.0, 5.0, 6.0):
        check(
            table,
            "occupation",
            f"{level} - 1.0",
            ref.level_effect(result, "occupation", level, 1.0),
        )


def test_text_bool_factors_and_stateful_transforms(fair):
    names = {
        1.0: "student",
        2.0: "farm",
        3.0: "clerical",
        4.0: "teacher",
        5.0: "manager",
        6.0: "professional",
    }
    data = fair.assign(job=fair["occupation"].map(names), young=fair["age"] < 30)
    formula = (
        "affair ~ center(age) + standardize(yrs_married) + job + young + C(religious, Treatment(3))"
    )
    result = fit("logit", formula, data)
    table = velmora_margins.margins(result)
    spread = data["yrs_married"].std(ddof=0)
    check(table, "age", "dY/dX", ref.derivative_effect(result, {"center(age)": 1.0}))
    check(
        table,
        "yrs_married",
        "dY/dX",
        ref.derivative_effect(result, {"standardize(yrs_married)": 1 / spread}),
    )
    check(table, "young", "True - False", ref.level_effect(result, "young", True, False))
    check(
        table, "job", "student - clerical", ref.level_effect(result, "job", "student", "clerical")
    )
    check(table, "religious", "1.0 - 3.0", ref.level_effect(result, "religious", 1.0, 3.0))
    assert set(table.loc[table["term"] == "job", "contrast"]) == {
        f"{level} - clerical" for level in ("farm", "manager", "professional", "student", "teacher")
    }


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1"])
def test_linear_formula_equals_zarn(kind, cov_type):
    data = sm.datasets.spector.load_pandas().data
    result = fit(kind, "GRADE ~ GPA + TUCE + PSI", data, cov_type=cov_type)
    ours = velmora_margins.margins(result).set_index("term")
    theirs = velmora.zarn(result, se_method="sm")
    assert list(ours["contrast"]) == ["dY/dX", "dY/dX", "1 - 0"]
    # The two kernels add the same terms in orders of their own: equal to rounding.
    same_table(ours[theirs.columns], theirs, parts(result), "sm")
    per_column = velmora_margins.margins(result, per_column=True).set_index("term")
    same_table(per_column[theirs.columns], theirs, parts(result), "sm")


def test_per_column_matches_zarn_on_a_factor_design(fair):
    result = fit("probit", "affair ~ age + I(age**2) + C(religious) + C(religious):age", fair)
    ours = velmora_margins.margins(result, per_column=True, chunk_size=1000)
    theirs = velmora.zarn(result, se_method="sm")
    assert list(ours["term"]) == list(theirs.index)
    same_table(ours.set_index("term")[theirs.columns], theirs, parts(result), "sm")


def test_without_formula_each_column_is_a_variable(fair):
    exog = sm.add_constant(fair[["age", "yrs_married", "religious"]])
    result = sm.Logit(fair["affair"], exog).fit(disp=0)
    with pytest.warns(UserWarning, match="fitted without a formula"):
        table = velmora_margins.margins(result)
    theirs = velmora.zarn(result, se_method="sm")
    same_table(table.set_index("term")[theirs.columns], theirs, parts(result), "sm")


def test_weights_and_groups(fair):
    result = fit(
        "logit",
        "affair ~ age + I(age**2) + C(religious)",
        fair,
        cov_type="cluster",
        cov_kwds={"groups": fair["occupation"]},
    )
    age = fair["age"].to_numpy()
    age_slopes = {"age": 1.0, "I(age ** 2)": 2 * age}
    weights = fair["children"].to_numpy() + 0.5
    table = velmora_margins.margins(result, weights=weights, by="occupation")
    assert list(table.columns[:3]) == ["occupation", "term", "contrast"]
    assert len(table) == 6 * 4
    for group in (1.0, 4.0):
        rows = np.flatnonzero(fair["occupation"].to_numpy() == group)
        part = table[table["occupation"] == group]
        expected = ref.derivative_effect(result, age_slopes, rows=rows, weights=weights[rows])
        check(part, "age", "dY/dX", expected)
        expected = ref.level_effect(result, "religious", 4.0, 1.0, rows=rows, weights=weights[rows])
        check(part, "religious", "4.0 - 1.0", expected)
    # A column of the data as weights, zeros among them.
    by_column = velmora_margins.margins(result, weights="children")
    kids = fair["children"].to_numpy()
    check(by_column, "age", "dY/dX", ref.derivative_effect(result, age_slopes, weights=kids))
    expected = ref.level_effect(result, "religious", 2.0, 1.0, weights=kids)
    check(by_column, "religious", "2.0 - 1.0", expected)


def test_chunk_size_and_variables_select(fair):
    result = fit("logit", "affair ~ age + I(age**2) + C(religious) + yrs_married", fair)
    whole = velmora_margins.margins(result, variables=["religious", "age"])
    assert list(whole["term"]) == ["religious"] * 3 + ["age"]
    pieces = velmora_margins.margins(result, variables=["religious", "age"], chunk_size=7)
    # Chunks of 7 rows add the sums in another order: equal to rounding.
    age = fair["age"].to_numpy()
    bounds = [ref.level_effect_errors(result, "religious", level, 1.0) for level in (2.0, 3.0, 4.0)]
    bounds.append(ref.derivative_effect_errors(result, {"age": 1.0, "I(age ** 2)": 2 * age}))
    ame_error, var_error = (np.array(b) for b in zip(*bounds, strict=True))
    assert_close_effects(
        pieces["dy/dx"],
        pieces["Std. Err"],
        whole["dy/dx"],
        whole["Std. Err"],
        ame_error,
        var_error,
        "chunk_size=7",
    )


def test_caller_objects_unchanged(fair):
    data = fair.copy()
    result = fit("logit", "affair ~ age * C(religious)", data)
    params, exog = result.params.copy(), result.model.exog.copy()
    velmora_margins.margins(result, weights="children", by="occupation")
    pd.testing.assert_frame_equal(data, fair)
    pd.testing.assert_series_equal(result.params, params)
    np.testing.assert_array_equal(result.model.exog, exog)
