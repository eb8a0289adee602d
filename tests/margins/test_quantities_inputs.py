"""Bad input to predictions, margins, comparisons, hypotheses and wald: a clear ValueError or
TypeError that names the argument, the caller's objects unchanged; and Ctrl-C."""

import copy
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import quantities_reference as q
from velmora_margins import comparisons, hypotheses, margins, predictions, wald


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


@pytest.fixture(scope="module")
def result(survey):
    return q.fitted(survey)


@pytest.fixture(scope="module")
def plain(survey):
    """A fit of two numerical variables, one of whose coefficients is positive."""
    return smf.logit("affair ~ yrs_married + educ", survey).fit(disp=0)


BAD_CALLS = [
    # at
    (predictions, {"at": {"nope": 1}}, ValueError, "at: 'nope' is not a variable of the formula"),
    (margins, {"at": {"age": "old"}}, TypeError, "at: 'age' takes numbers, got 'old'"),
    (predictions, {"at": {"age": [30, None]}}, TypeError, "at: 'age' takes numbers, got None"),
    (comparisons, {"at": {"age": True}}, TypeError, "at: 'age' takes numbers, got True"),
    (predictions, {"at": {"religious": 9.0}}, ValueError, "at: 9.0 is not a level of 'religious'"),
    (margins, {"at": {"religious": "x"}}, ValueError, "at: 'x' is not a level of 'religious'"),
    (predictions, {"at": {"age": []}}, ValueError, "at: the list of values of 'age' is empty"),
    (predictions, {"at": {}}, ValueError, "at: the dict is empty"),
    (predictions, {"at": [("age", 3)]}, TypeError, "at: expected a dict"),
    (predictions, {"at": {3: 1}}, TypeError, "at: expected variable names as str"),
    # atmeans
    (predictions, {"atmeans": "yes"}, TypeError, "atmeans: expected True or False"),
    # elasticities
    (margins, {"slope": "eyex", "variables": ["religious"]}, ValueError, "slope: 'religious' is"),
    (margins, {"slope": "dyex", "variables": "kids"}, ValueError, "slope: 'kids' is a 0/1"),
    # unknown names
    (margins, {"slope": "elasticity"}, ValueError, "slope: expected one of"),
    (comparisons, {"comparison": "odds"}, ValueError, "comparison: expected one of"),
    (predictions, {"scale": "probability"}, ValueError, "scale: expected 'response' or 'linear'"),
    (margins, {"scale": "log"}, ValueError, "scale: expected 'response' or 'linear'"),
    (comparisons, {"scale": None}, ValueError, "scale: expected 'response' or 'linear'"),
    # changes
    (comparisons, {"variables": {"religious": "sd"}}, ValueError, "variables: factor 'religious'"),
    (comparisons, {"variables": {"age": "1"}}, ValueError, "variables: 'age' changes by a number"),
    (comparisons, {"variables": {"age": (1, 2, 3)}}, TypeError, "variables: 'age' changes by"),
    (comparisons, {"variables": {"nope": 1}}, ValueError, "variables: 'nope' is not a variable"),
    (comparisons, {"variables": {}}, ValueError, "variables: the dict is empty"),
]  # fmt: skip


@pytest.mark.parametrize(("call", "options", "error", "message"), BAD_CALLS)
def test_bad_arguments_name_the_argument(survey, result, call, options, error, message):
    before, given = survey.copy(), copy.deepcopy(options)
    params, exog = result.params.copy(), result.model.exog.copy()
    with pytest.raises(error, match=re.escape(message)):
        call(result, **options)
    pd.testing.assert_frame_equal(survey, before)
    pd.testing.assert_series_equal(result.params, params)
    np.testing.assert_array_equal(result.model.exog, exog)
    assert options == given


def test_atmeans_with_nothing_to_average(plain):
    with pytest.raises(ValueError, match="atmeans: at= sets every variable of the formula"):
        predictions(plain, atmeans=True, at={"yrs_married": 10, "educ": 12})


@pytest.mark.parametrize(
    ("change", "comparison", "scale", "message"),
    [
        # Every row at yrs_married -1e5 predicts exactly 0, at 1e5 exactly 1.
        ((-1e5, 10), "ratio", "response", r"the mean prediction of the lower side .* is 0"),
        ((-1e5, 10), "lift", "response", r"the mean prediction of the lower side .* is 0"),
        ((-1e5, 10), "lnratio", "response", r"the mean predictions .* must be positive"),
        ((-1e5, 10), "lnor", "response", r".* must lie strictly between 0 and 1"),
        ((10, 1e5), "lnor", "response", r".* must lie strictly between 0 and 1"),
        # Mean linear predictors below 0.
        (1, "lnor", "linear", r".* must lie strictly between 0 and 1"),
    ],
)
def test_comparisons_whose_means_do_not_allow_them(plain, change, comparison, scale, message):
    assert plain.params["yrs_married"] > 0
    with pytest.raises(ValueError, match="comparison: " + message):
        comparisons(plain, variables={"yrs_married": change}, comparison=comparison, scale=scale)
    # A difference is defined all the same.
    comparisons(plain, variables={"yrs_married": change}, scale=scale)


@pytest.fixture(scope="module")
def table(result):
    return predictions(result, by="religious")


BAD_HYPOTHESES = [
    ("b5 - b1", ValueError, "hypothesis: b5 is not a row of the table, which has rows b1 to b4"),
    ("b0 = 0", ValueError, "hypothesis: b0 is not a row of the table"),
    ("c2 - b1", ValueError, "hypothesis: cannot read 'c2 - b1'"),
    ("b1 * b2 = 0", ValueError, "hypothesis: cannot read 'b1 * b2 = 0'"),
    ("b1 = b2 = b3", ValueError, "hypothesis: cannot read"),
    (np.ones((2, 3)), ValueError, "hypothesis: a matrix needs one column per row of the table (4)"),
    (np.ones(5), ValueError, "hypothesis: a matrix needs one column per row"),
    ([[1.0, np.nan, 0.0, 0.0]], ValueError, "hypothesis: the matrix holds values that are not"),
    ({"b1": 1}, TypeError, "hypothesis: expected 'pairwise', 'reference', equations"),
]  # fmt: skip


@pytest.mark.parametrize("test", [hypotheses, wald])
@pytest.mark.parametrize(("hypothesis", "error", "message"), BAD_HYPOTHESES)
def test_bad_hypotheses_name_the_argument(table, test, hypothesis, error, message):
    before, vcov, given = table.copy(), table.attrs["vcov"].copy(), copy.deepcopy(hypothesis)
    with pytest.raises(error, match=re.escape(message)):
        test(table, hypothesis)
    pd.testing.assert_frame_equal(table, before)
    np.testing.assert_array_equal(table.attrs["vcov"], vcov)
    assert repr(hypothesis) == repr(given)


def test_tables_without_their_covariance(result, table):
    bare = table.copy()
    bare.attrs = {}
    one = predictions(result)
    for test in (hypotheses, wald):
        with pytest.raises(ValueError, match=r"table: it has no covariance of its estimates"):
            test(bare, "pairwise")
        # pandas keeps attrs on a selection of rows: the covariance no longer fits.
        with pytest.raises(ValueError, match="table: its covariance is 4 x 4 for 2 rows"):
            test(table.iloc[:2], "pairwise")
        with pytest.raises(TypeError, match="table: expected a table of velmora_margins"):
            test(table.to_numpy(), "pairwise")
        with pytest.raises(ValueError, match="hypothesis: 'pairwise' needs at least two rows"):
            test(one, "pairwise")


CHILD = textwrap.dedent(
    """
    import signal
    import warnings
    import numpy as np
    import velmora_margins

    warnings.simplefilter("ignore")
    # Ctrl-C raises KeyboardInterrupt even where the parent ignores SIGINT.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    row = np.array([1.0, 0.3, -1.2, 1.0, 0.0, 1.0, 0.0, 1.0])
    x = np.broadcast_to(row, (400_000_000, len(row)))

    class Logit:
        exog, exog_names = x, ["const"] + [f"x{i}" for i in range(1, len(row))]

    class Results:
        model, params = Logit(), np.linspace(-0.5, 0.5, len(row))

        def cov_params(self):
            return np.eye(len(row)) * 0.01

    print("calling", flush=True)
    try:
        velmora_margins.predictions(Results(), chunk_size=100_000)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    """
)


def test_ctrl_c_stops_a_long_prediction():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "calling"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    assert out.strip() == "interrupted"
