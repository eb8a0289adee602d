"""Bad input to velmora_margins.margins: clear errors, nothing changed, and Ctrl-C."""

import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import velmora_margins


@pytest.fixture(scope="module")
def fair(fair):
    """The affairs survey with a column that holds one value."""
    return fair.assign(one="same")


@pytest.fixture(scope="module")
def result(fair):
    return smf.logit("affair ~ age + I(age**2) + C(religious) + yrs_married", fair).fit(disp=0)


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"variables": ["nope"]}, ValueError, "variables: 'nope' is not a variable of the formula"),
        ({"variables": []}, ValueError, "variables: the list is empty"),
        ({"variables": [3]}, TypeError, "variables: expected names as str"),
        ({"by": "nope"}, ValueError, "by: no column 'nope' in the data"),
        ({"weights": "nope"}, ValueError, "weights: no column 'nope' in the data"),
        ({"weights": np.ones(5)}, ValueError, "weights: 5 values for 6366 rows of the model"),
        ({"weights": -np.ones(6366)}, ValueError, "weights: 6366 values are negative"),
        ({"weights": np.full(6366, np.nan)}, ValueError, "weights: 6366 values are NaN"),
        ({"weights": np.zeros(6366)}, ValueError, "weights: all are zero"),
        ({"weights": np.ones((6366, 2))}, ValueError, "weights: expected one value per row"),
        ({"chunk_size": 0}, ValueError, "chunk_size: must be at least 1 row"),
        ({"chunk_size": 2.5}, TypeError, "chunk_size: expected a whole number"),
    ],
)
def test_bad_arguments_name_the_argument(result, fair, options, error, message):
    before = fair.copy()
    with pytest.raises(error, match=message):
        velmora_margins.margins(result, **options)
    pd.testing.assert_frame_equal(fair, before)


@pytest.mark.parametrize(
    ("formula", "variables", "message"),
    [
        ("affair ~ age + C(one)", ["one"], "factor 'one' has only its base level \\(same\\)"),
        ("affair ~ bs(age, df=4) + educ", ["age"], "bs\\(age, df=4\\), a term of 4 columns"),
        ("affair ~ np.floor(age) + educ", ["age"], "'np.floor' is not one of the functions"),
        ("affair ~ C(age) + age:educ", ["age"], "enters the formula both as a factor"),
        ("affair ~ C(np.round(age))", ["age"], "a factor made by transforming it"),
    ],
)
def test_terms_it_cannot_take(fair, formula, variables, message):
    fitted = smf.logit(formula, fair).fit(disp=0)
    with pytest.raises(ValueError, match=message):
        velmora_margins.margins(fitted, variables=variables)


def test_a_term_that_reads_other_rows_is_refused(fair):
    fitted = smf.logit("affair ~ C(religious) * I(educ - educ.mean())", fair).fit(disp=0)
    with pytest.raises(
        ValueError, match=r"I\(educ - educ.mean\(\)\) does not come out of the data"
    ):
        velmora_margins.margins(fitted, variables=["religious"])


def test_models_it_does_not_take(fair):
    gls = smf.gls("affair ~ age", fair).fit()
    with pytest.raises(
        TypeError,
        match=r"result: expected a fitted Logit, Probit, Poisson, NegativeBinomial, "
        r"GeneralizedPoisson, GLM, OLS or WLS result of statsmodels .* got a result of GLS",
    ):
        velmora_margins.margins(gls)
    with pytest.raises(TypeError, match="result: expected"):
        velmora_margins.margins(object())
    fitted = smf.logit("affair ~ age + C(religious)", fair).fit(disp=0)
    fitted.remove_data()
    with pytest.raises(ValueError, match=r"result: .*(remove_data|cannot be recovered)"):
        velmora_margins.margins(fitted)


def test_group_without_weight(fair):
    fitted = smf.logit("affair ~ age", fair).fit(disp=0)
    weights = np.where(fair["occupation"] == 1.0, 0.0, 1.0)
    with pytest.raises(ValueError, match=r"weights: all weights are zero within occupation = 1\.0"):
        velmora_margins.margins(fitted, weights=weights, by="occupation")


CHILD = textwrap.dedent(
    """
    import signal
    import warnings
    import numpy as np
    import velmora_margins

    warnings.simplefilter("ignore")
    # Ctrl-C raises KeyboardInterrupt even where the parent ignores SIGINT (a job started
    # in the background by a shell without job control), which the child would inherit.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    row = np.array([1.0, 0.3, -1.2, 1.0, 0.0, 1.0, 0.0, 1.0])
    x = np.broadcast_to(row, (20_000_000, len(row)))

    class Logit:
        exog, exog_names = x, ["const"] + [f"x{i}" for i in range(1, len(row))]

    class Results:
        model, params = Logit(), np.linspace(-0.5, 0.5, len(row))

        def cov_params(self):
            return np.eye(len(row)) * 0.01

    print("calling", flush=True)
    try:
        velmora_margins.margins(Results(), chunk_size=20_000)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def test_ctrl_c_stops_a_long_call():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "calling"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    assert out.strip() == "interrupted"
