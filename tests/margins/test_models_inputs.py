"""The links each GLM family takes; the models, families and links refused, by message."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import velmora_margins
from velmora_margins import _kernels
from velmora_margins.links import FAMILY_LINKS, LINKS, family_link

F, L = sm.families, sm.families.links


def test_family_links():
    assert set(FAMILY_LINKS) == set(_kernels.FAMILIES)
    assert {n for links in FAMILY_LINKS.values() for n in links} <= set(LINKS)
    assert family_link("inverse_gaussian", "inverse_squared") is LINKS["inverse_squared"]
    for family, link, message in [
        ("poisson", "logit", "link: the poisson family takes the links 'log', 'identity' or "),
        ("tweedie", "sqrt", "link: the tweedie family takes the link 'log', got 'sqrt'"),
        ("Poisson", "log", "family: expected 'binomial', 'poisson', 'gaussian', 'gamma', "),
    ]:
        with pytest.raises(ValueError, match="^" + re.escape(message)):
            family_link(family, link)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"x": rng.uniform(-1.0, 1.0, 200)})
    mu = np.exp(0.2 + 0.5 * frame.x)
    return frame.assign(y=rng.poisson(mu) + 1.0, b=(rng.random(200) < mu / 4).astype(float))


def glm(data, family, link, outcome="y"):
    """A GLM fit, its link unchecked by statsmodels (which knows only its own classes)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # statsmodels on a link outside the family's usual
        return smf.glm(f"{outcome} ~ x", data, family=family(link, check_link=False)).fit()


def relinked(data, family, link):
    """A GLM fit with the family's usual link, given another after the fit (some of these
    would not converge)."""
    result = glm(data, family, family().link, "b" if family is F.Binomial else "y")
    result.model.family.link = link
    return result


def with_offset(data, value):
    """A Poisson fit whose model's offset is then changed on its first row."""
    result = smf.poisson("y ~ x", data, offset=np.zeros(len(data))).fit(disp=0)
    result.model.offset[0] = value
    return result


REFUSED = {
    "offset NaN": (
        lambda d: with_offset(d, np.nan),
        ValueError,
        "result: the model's offset (with the log of its exposure) is not finite on 1 of "
        "its 200 rows, the first row 0",
    ),
    "QuantReg": (lambda d: smf.quantreg("y ~ x", d).fit(), TypeError, "a result of QuantReg"),
    "LogC": (
        lambda d: relinked(d, F.Binomial, L.LogC()),
        ValueError,
        "result: a GLM: the binomial family takes the links 'logit', 'probit', 'cloglog', "
        "'loglog', 'cauchy', 'log' or 'identity', got 'LogC'",
    ),
    "gamma sqrt": (
        lambda d: relinked(d, F.Gamma, L.Sqrt()),
        ValueError,
        "result: a GLM: the gamma family takes the links 'inverse_power', 'log' or "
        "'identity', got 'sqrt'",
    ),
    "power 2": (
        lambda d: relinked(d, F.Poisson, L.Power(2.0)),
        ValueError,
        "the poisson family takes the links 'log', 'identity' or 'sqrt', got 'Power'",
    ),
}


@pytest.mark.parametrize("refused", REFUSED.values(), ids=REFUSED.keys())
def test_models_refused(data, refused):
    fitted, kind, message = refused
    with pytest.raises(kind, match=re.escape(message)):
        velmora_margins.predictions(fitted(data))


def test_power_links_by_their_power(data):
    """A link made as Power(p) is the link of its power."""
    for family, power, link in ((F.Gamma, -1.0, L.InversePower), (F.Poisson, 0.5, L.Sqrt)):
        made = velmora_margins.margins(glm(data, family, L.Power(power)))
        named = velmora_margins.margins(glm(data, family, link()))
        np.testing.assert_allclose(made["dy/dx"], named["dy/dx"], rtol=1e-10)
        np.testing.assert_allclose(made["Std. Err"], named["Std. Err"], rtol=1e-10)


def test_a_mean_that_overflows(data):
    result = smf.poisson("y ~ x", data).fit(disp=0)
    with pytest.raises(ValueError, match=r"^the predicted mean exp\(x b\) overflows at row 0"):
        velmora_margins.predictions(result, at={"x": 1e4})
