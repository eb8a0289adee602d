"""The link table: one entry per link of the engine, its formulas evaluated by the engine,
and the links that name a model, for the fit and for statsmodels' results."""

import mpmath
import numpy as np
import pytest
import statsmodels.formula.api as smf
from scipy import special, stats

import velmora_margins
from velmora_margins import _kernels
from velmora_margins.effects.statsmodels_result import adapt
from velmora_margins.links import LINKS, TITLES, fit_link


def test_the_table_names_every_link_of_the_engine_once():
    assert sorted(TITLES) == sorted(_kernels.LINKS)
    assert len(set(TITLES.values())) == len(TITLES)
    assert [name for name, link in LINKS.items() if link.fits] == ["logit", "probit"]
    assert sorted(_kernels.FIT_LINKS) == ["logit", "probit"]


ETA = np.concatenate([np.linspace(-30.0, 30.0, 121), [-1e-9, 0.0, 1e-9]])


def cloglog(eta):
    """F, f and f' of the complementary log-log link at 60 digits."""
    mpmath.mp.dps = 60
    out = []
    for v in eta:
        e = mpmath.exp(mpmath.mpf(float(v)))
        f = mpmath.exp(mpmath.mpf(float(v)) - e)
        out.append((float(-mpmath.expm1(-e)), float(f), float(f * (1 - e))))
    return np.array(out).T


REFERENCES = {
    "logit": lambda v: (
        special.expit(v),
        special.expit(v) * special.expit(-v),
        special.expit(v) * special.expit(-v) * np.tanh(-v / 2),
    ),
    "probit": lambda v: (stats.norm.cdf(v), stats.norm.pdf(v), -v * stats.norm.pdf(v)),
    "cloglog": cloglog,
    "identity": lambda v: (v, np.ones_like(v), np.zeros_like(v)),
}


@pytest.mark.parametrize("name", sorted(REFERENCES))
def test_a_links_values_are_its_formulas(name):
    link = LINKS[name]
    want = REFERENCES[name](ETA)
    got = (link.cdf(ETA), link.pdf(ETA), link.pdf_derivative(ETA))
    # A function of v rounds v's last bit times its condition number: at most 1 + v^2
    # (exp(-v^2 / 2)) or 1 + exp(v) (exp(v - exp(v))), so 8 units in the last place times
    # that; f' is a difference (Logit's 1 - 2F, cloglog's 1 - exp(v)) with an absolute
    # error of a few units of f itself.
    eps = np.finfo(float).eps
    condition = 1.0 + ETA**2 + np.exp(np.minimum(ETA, 700.0))
    for g, w, absolute in zip(got, want, (0.0, 0.0, 1.0), strict=True):
        bound = 8 * eps * (condition * np.abs(w) + absolute * 4 * np.abs(want[1]))
        assert np.all(np.abs(g - w) <= bound), np.max(np.abs(g - w) / np.maximum(bound, 1e-300))
    assert link.values(ETA[:3]).cdf.shape == (3,)


def spread(low, high, count=60):
    """Values from low to high (both above 0), spaced evenly in their logarithm."""
    return np.geomspace(low, high, count)


def loglog_functions(v):
    t = mpmath.exp(-v)
    f = mpmath.exp(-t) * t
    return mpmath.exp(-t), f, f * (t - 1), f * ((t - 1) ** 2 - t)


def cauchy_functions(v):
    s = 1 + v**2
    return (
        mpmath.mpf(1) / 2 + mpmath.atan(v) / mpmath.pi,
        1 / (mpmath.pi * s),
        -2 * v / (mpmath.pi * s**2),
        (6 * v**2 - 2) / (mpmath.pi * s**3),
    )


# The newer links' F, f, f' and f'' from their definitions, and the linear predictors they
# are checked at: far into both tails, up to where F overflows or underflows.
WIDE = {
    "log": (
        lambda v: (mpmath.exp(v),) * 4,
        np.concatenate([-spread(1e-8, 700), [0.0], spread(1e-8, 709)]),
    ),
    "loglog": (loglog_functions, np.concatenate([-spread(1e-8, 6.5), [0.0], spread(1e-8, 700)])),
    "cauchy": (
        cauchy_functions,
        np.concatenate([-spread(1e-8, 1e150), [0.0], spread(1e-8, 1e150)]),
    ),
    "sqrt": (lambda v: (v**2, 2 * v, 2, 0), np.concatenate([[0.0], spread(1e-150, 1e150)])),
    "inverse_power": (
        lambda v: (1 / v, -1 / v**2, 2 / v**3, -6 / v**4),
        np.concatenate([-spread(1e-100, 1e100), spread(1e-100, 1e100)]),
    ),
    "inverse_squared": (
        lambda v: tuple(
            c * v ** (-(2 * j + 1) / mpmath.mpf(2)) for j, c in enumerate((1, -0.5, 0.75, -1.875))
        ),
        spread(1e-100, 1e300),
    ),
}


def reference(name, v):
    """F, f and f' at v, and the condition number |v g'(v) / g(v)| of each, at 400 digits
    (Cauchy's F keeps 1e-151 of its 1/2 + atan(v) / pi at v = -1e150)."""
    mpmath.mp.dps = 400
    x = mpmath.mpf(float(v))
    values = [mpmath.mpf(g) for g in WIDE[name][0](x)]
    conditions = []
    for order in range(3):
        g, slope = values[order], values[order + 1]
        conditions.append(1.0 if g == 0 else float(abs(x * slope / g)))
    return [float(g) for g in values[:3]], conditions


@pytest.mark.parametrize("name", sorted(WIDE))
def test_the_newer_links_against_fifty_digits(name):
    """Each of F, f and f' within 8 units in the last place times its condition number,
    where it is a normal double."""
    eta = WIDE[name][1]
    got = LINKS[name].values(eta)
    eps = np.finfo(float).eps
    for i, v in enumerate(eta):
        want, conditions = reference(name, v)
        for which, g, w, c in zip(("F", "f", "f'"), got, want, conditions, strict=True):
            if abs(w) < np.finfo(float).tiny:
                assert abs(g[i]) < 1e-290, (name, which, v)
                continue
            bound = 8 * eps * max(1.0, c) * abs(w)
            assert abs(g[i] - w) <= bound, (name, which, v, g[i], w, (g[i] - w) / (eps * abs(w)))


def test_the_fit_takes_the_links_it_can_fit():
    assert fit_link("LOGIT") is LINKS["logit"]
    assert fit_link("Probit") is LINKS["probit"]
    for name in ("cloglog", "tobit", 3):
        with pytest.raises(velmora_margins.ArgumentError) as caught:
            fit_link(name)
        assert str(caught.value) == f"model: expected 'logit' or 'probit', got {name!r}"


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_a_statsmodels_result_is_read_with_its_models_link(fair, kind):
    result = getattr(smf, kind)("affair ~ age + C(religious)", fair).fit(disp=0)
    model = adapt(result)
    assert model.link is LINKS[kind]
    np.testing.assert_array_equal(model.params, result.params.to_numpy())
    ours = velmora_margins.fit("affair ~ age + C(religious)", fair, model=kind)
    assert adapt(ours) is ours.model
    assert ours.model.link is LINKS[kind]
