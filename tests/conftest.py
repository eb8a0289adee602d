"""Shared fixtures: real statsmodels fits on statsmodels' bundled spector data, and the
bundled affairs survey."""

import pytest
import statsmodels.api as sm


@pytest.fixture(scope="session")
def spector():
    """Spector and Mazzeo's data: GRADE on GPA, TUCE (continuous) and PSI (0/1), plus a constant."""
    data = sm.datasets.spector.load_pandas()
    return sm.add_constant(data.exog), data.endog


@pytest.fixture(scope="session", params=["logit", "probit"])
def spector_result(request, spector):
    """A fitted Logit or Probit result on the spector data."""
    exog, endog = spector
    model = sm.Logit if request.param == "logit" else sm.Probit
    return model(endog, exog).fit(disp=0)


@pytest.fixture(scope="session")
def fair():
    """statsmodels' affairs survey, with a 0/1 outcome: any time spent in affairs. Tests
    that change it work on a copy."""
    data = sm.datasets.fair.load_pandas().data
    return data.assign(affair=(data["affairs"] > 0).astype(int))
