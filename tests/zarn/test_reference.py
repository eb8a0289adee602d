"""zarn against statsmodels' own marginal effects on fits of statsmodels' bundled data.

With se_method="sm" the AMEs, standard errors and z statistics agree with
get_margeff(at="overall", method="dydx", dummy=True) to 1e-9 relative; "kova" shares the
AMEs and the binary rows and takes its continuous standard errors from the
per-observation gradient, checked against the NumPy reference to rounding (rounding.py).
"""

import functools

import numpy as np
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import ame_reference as ref
import velmora
from support import assert_matches, parts

RTOL = 1e-9

# Extramarital affairs (Fair, 1978): age, years married, children and education are
# continuous; occupation and religiousness enter as several 0/1 indicators.
FAIR_FORMULA = "affair ~ age + yrs_married + children + educ + C(occupation) + C(religious)"


@functools.cache
def fair_fit(kind, cov_type):
    data = sm.datasets.fair.load_pandas().data
    data = data.assign(affair=(data["affairs"] > 0).astype(float))
    fit = smf.logit if kind == "logit" else smf.probit
    return fit(FAIR_FORMULA, data=data).fit(disp=0, cov_type=cov_type)


@functools.cache
def spector_fit(kind, cov_type):
    data = sm.datasets.spector.load_pandas()
    model = sm.Logit if kind == "logit" else sm.Probit
    return model(data.endog, sm.add_constant(data.exog)).fit(disp=0, cov_type=cov_type)


FITS = {
    (data, kind, cov): (fair_fit if data == "fair" else spector_fit, kind, cov)
    for data in ("fair", "spector")
    for kind in ("logit", "probit")
    for cov in ("nonrobust", "HC1")
}


@pytest.fixture(scope="module", params=list(FITS), ids="-".join)
def result(request):
    make, kind, cov = FITS[request.param]
    return make(kind, cov)


def reported(result):
    return [name for name in result.model.exog_names if not ref.is_intercept(name)]


def binary_names(result):
    names = result.model.exog_names
    return [names[j] for j in ref.binary_columns(result.model.exog, names)]


def test_sm_matches_statsmodels(result):
    expected = result.get_margeff(at="overall", method="dydx", dummy=True)
    out = velmora.zarn(result, se_method="sm")
    assert list(out.index) == reported(result)
    np.testing.assert_allclose(out["dy/dx"], expected.margeff, rtol=RTOL)
    np.testing.assert_allclose(out["Std. Err"], expected.margeff_se, rtol=RTOL)
    np.testing.assert_allclose(out["z"], expected.tvalues, rtol=RTOL)
    np.testing.assert_allclose(out["Pr(>|z|)"], expected.pvalues, rtol=RTOL, atol=1e-14)


def test_fair_model_mixes_several_binary_and_continuous_columns():
    result = fair_fit("logit", "nonrobust")
    binary = binary_names(result)
    assert len(binary) >= 5
    assert len(reported(result)) - len(binary) >= 4
    # statsmodels' discrete changes are taken for exactly these columns.
    expected = result.get_margeff(at="overall", method="dydx", dummy=True)
    assert [result.model.exog_names[i] for i in expected.dummy_idx] == binary


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_robust_covariance_flows_through(kind):
    plain = velmora.zarn(fair_fit(kind, "nonrobust"), se_method="sm")
    robust = velmora.zarn(fair_fit(kind, "HC1"), se_method="sm")
    # Exact: the effects do not read the covariance, so they come out of the same pass.
    np.testing.assert_array_equal(plain["dy/dx"], robust["dy/dx"])
    ratio = robust["Std. Err"] / plain["Std. Err"]
    assert (abs(ratio - 1) > 1e-4).all()


def test_kova_shares_effects_and_binary_rows_with_sm(result):
    kova = velmora.zarn(result)
    sm_out = velmora.zarn(result, se_method="sm")
    # Exact: both methods run the pass with a product X^T W of the same shape, and the
    # effects and the binary rows' gradients are the same sums in it.
    np.testing.assert_array_equal(kova["dy/dx"], sm_out["dy/dx"])
    binary = binary_names(result)
    assert binary
    assert kova.loc[binary].equals(sm_out.loc[binary])


def test_kova_continuous_errors_follow_the_per_observation_gradient(result):
    kova = velmora.zarn(result, se_method="kova")
    sm_out = velmora.zarn(result, se_method="sm")
    continuous = [name for name in reported(result) if name not in binary_names(result)]
    assert continuous
    assert_matches(kova, parts(result), "kova", "kova against the reference")
    # The two gradients differ on the continuous rows, so the check above is not the sm one.
    differs = abs(kova.loc[continuous, "Std. Err"] / sm_out.loc[continuous, "Std. Err"] - 1)
    assert (differs > 1e-6).all()
