"""Newton's method of the partitioned fit, pass by pass: every trial point is the literal
Newton step from statsmodels' score and Hessian, halved while the log-likelihood falls, and
the estimate the last point's step, below the tolerance, with no pass of its own; and the
fits that do not converge."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import velmora_margins
from velmora_margins.partitioned import newton
from velmora_margins.partitioned.newton import Passes

FIT = {"logit": smf.logit, "probit": smf.probit}

# 29 rows on which the full Newton step of the fifth iteration lowers the log-likelihood of
# a cubic in x (Logit and Probit alike), so that the step is halved once.
CUBIC_X = [
    1.82, -0.21, -0.2, -0.54, -0.36, -1.17, 1.8, -1.76, 0.15, 0.83, -0.2, 1.23, -3.09, -0.41,
    -0.61, -0.43, -0.04, -0.09, -0.16, 1.27, -1.0, -0.9, 0.69, -0.24, -0.36, 0.74, 0.65, -0.48,
    0.38,
]  # fmt: skip
CUBIC_Y = "10011111100111010101111001101"


def cubic():
    return pd.DataFrame({"y": [int(c) for c in CUBIC_Y], "x": CUBIC_X})


def spector():
    return sm.datasets.spector.load_pandas().data


CASES = {
    "spector": (spector, "GRADE ~ GPA + TUCE + PSI", 0),
    "cubic": (cubic, "y ~ x + I(x**2) + I(x**3)", 1),
}


@pytest.fixture
def passes_seen(monkeypatch):
    """The coefficients of every pass of sums that Newton's method asks for, in order."""
    seen = []
    totals = Passes.totals

    def recording(self, beta, meat=False):
        if not meat:
            seen.append(np.array(beta, copy=True))
        return totals(self, beta, meat)

    monkeypatch.setattr(Passes, "totals", recording)
    return seen


def walk(model, points):
    """Checks that the points are Newton's method with step halving, as statsmodels' model
    scores them: from each accepted point, the full step -H⁻¹g first, then half of it while
    the log-likelihood is below the accepted point's; returns the halvings and iterations."""
    np.testing.assert_array_equal(points[0], 0.0)
    at, halvings, iterations, i = points[0], 0, 0, 1
    while i < len(points):
        step = -np.linalg.solve(model.hessian(at), model.score(at))
        floor = model.loglike(at) * (1 + 1e-12)  # the log-likelihood is negative
        iterations += 1
        while True:
            trial = points[i]
            i += 1
            # The steps' rounding is about cond(H) eps |beta|; 1e-9 leaves room to spare.
            scale = max(1.0, float(np.max(np.abs(at))))
            np.testing.assert_allclose(trial, at + step, rtol=0, atol=1e-9 * scale)
            if model.loglike(trial) >= floor:
                break
            step = step / 2
            halvings += 1
        at = trial
    return halvings, iterations


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("case", list(CASES))
def test_every_pass_is_a_newton_step_or_a_halving(passes_seen, case, kind):
    data, formula, halvings = CASES[case]
    frame = data()
    ours = velmora_margins.fit(formula, frame, model=kind)
    theirs = FIT[kind](formula, frame).fit(disp=0, method="newton", tol=1e-12, maxiter=100)
    # The iterations count the last step too.
    assert walk(theirs.model, passes_seen) == (halvings, ours.iterations - 1)
    # A pass per trial point, the first at zero: the halvings really ran.
    assert len(passes_seen) == ours.iterations + halvings
    last = passes_seen[-1]
    step = -np.linalg.solve(theirs.model.hessian(last), theirs.model.score(last))
    assert np.max(np.abs(step)) <= 1e-9 * max(1.0, float(np.max(np.abs(last + step))))
    np.testing.assert_allclose(ours.params, last + step, rtol=0, atol=1e-12)
    np.testing.assert_allclose(ours.params, theirs.params, rtol=1e-8, atol=0)
    np.testing.assert_allclose(ours.cov_params(), theirs.cov_params(), rtol=1e-7, atol=0)
    assert ours.llf == pytest.approx(theirs.llf, rel=1e-12)


def quasi_separated():
    """Every row with d = 1 has y = 1, the rows with d = 0 have both: the coefficient of d
    grows without end, by about the same amount every iteration."""
    rng = np.random.default_rng(1)
    d = (rng.random(200) < 0.3).astype(int)
    y = np.where(d == 1, 1, (rng.random(200) < 0.4).astype(int))
    return pd.DataFrame({"y": y, "d": d, "x": rng.normal(size=200)})


@pytest.mark.parametrize(("kind", "title"), [("logit", "Logit"), ("probit", "Probit")])
def test_iterations_that_run_out(monkeypatch, passes_seen, kind, title):
    # Where no row is predicted exactly yet, the fit did not converge.
    monkeypatch.setattr(newton, "MAX_ITERATIONS", 3)
    with pytest.raises(velmora_margins.FitError) as caught:
        velmora_margins.fit("y ~ d + x", quasi_separated(), model=kind)
    assert str(caught.value) == (
        f"the {title} fit did not converge in 3 iterations; rescale the regressors or simplify "
        "the model"
    )
    assert len(passes_seen) >= 4
    # Where rows are predicted exactly once they run out, the outcome is separated.
    monkeypatch.setattr(newton, "MAX_ITERATIONS", 100)
    passes_seen.clear()
    with pytest.raises(velmora_margins.FitError) as caught:
        velmora_margins.fit("y ~ d + x", quasi_separated(), model=kind)
    assert str(caught.value) == (
        f"the outcome is perfectly separated: some regressors predict it exactly, so the {title} "
        "coefficients do not exist; drop or merge those regressors or categories"
    )
    assert len(passes_seen) >= 101


def test_no_rows_left(fair):
    data = fair.assign(age=np.nan)
    with pytest.raises(velmora_margins.FitError) as caught:
        velmora_margins.fit("affair ~ age + educ", data)
    assert str(caught.value) == (
        "no rows left for 'affair ~ age + educ' once rows with missing values are dropped"
    )
