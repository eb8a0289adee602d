"""velmora_margins.fit for counts, least squares and generalized linear models against
statsmodels' own fits of the same rows: Poisson with an offset and an exposure, NB2,
OLS and WLS under every covariance, GLM families and links with frequency weights, on
pandas partitions and on Dask."""

import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import velmora_margins
from velmora_margins.partitioned import sources

L = sm.families.links
COVARIANCES = ["nonrobust", "HC0", "HC1", "HC2", "HC3", "cluster"]


def counts(n=1500, seed=11):
    """Seeded visits over an exposure of 0.5 to 3 years, with an offset and groups."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "age": rng.uniform(20, 70, n),
            "female": rng.integers(0, 2, n),
            "region": rng.choice(["north", "south", "east"], n),
            "years": rng.uniform(0.5, 3.0, n),
            "shift": 0.2 * rng.normal(size=n),
            "w": rng.integers(1, 4, n).astype(float),
        }
    )
    eta = -1.0 + 0.02 * frame["age"] - 0.3 * frame["female"] + frame["shift"]
    eta += np.log(frame["years"]) + frame["region"].map({"north": 0.0, "south": 0.4, "east": -0.2})
    # Gamma-mixed Poisson counts: a negative binomial with alpha 0.5.
    mu = np.exp(eta) * rng.gamma(2.0, 0.5, n)
    frame["visits"] = rng.poisson(mu)
    frame["clinic"] = rng.integers(0, 25, n)
    return frame


COUNT_FORMULA = "visits ~ age + female + C(region)"


def assert_same(ours, theirs, *, params=1e-8, cov=1e-7, llf=1e-10, names=None):
    assert list(ours.params.index) == (names or list(theirs.params.index))
    np.testing.assert_allclose(ours.params, np.asarray(theirs.params), rtol=params, atol=0)
    np.testing.assert_allclose(ours.cov_params(), np.asarray(theirs.cov_params()), rtol=cov)
    assert ours.llf == pytest.approx(theirs.llf, rel=llf)


def groups_of(frame, column):
    return {"groups": pd.factorize(frame[column])[0]}


def statsmodels_options(cov_type, frame, cluster="clinic"):
    if cov_type == "cluster":
        return {"cov_type": "cluster", "cov_kwds": groups_of(frame, cluster)}
    return {"cov_type": cov_type}


@pytest.fixture(params=["whole", "partitions"])
def partitioned(request, monkeypatch):
    """The data in one partition, or in partitions of 400 rows."""
    if request.param == "partitions":
        monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 400)
    return request.param


class TestCounts:
    @pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC3", "cluster"])
    def test_poisson_with_offset_and_exposure(self, partitioned, cov_type):
        data = counts()
        ours = velmora_margins.fit(
            COUNT_FORMULA,
            data,
            model="poisson",
            offset="shift",
            exposure="years",
            cov_type=cov_type,
            cluster="clinic" if cov_type == "cluster" else None,
        )
        model = smf.poisson(COUNT_FORMULA, data, offset=data["shift"], exposure=data["years"])
        theirs = model.fit(
            disp=0, method="newton", tol=1e-12, **statsmodels_options(cov_type, data)
        )
        assert_same(ours, theirs)
        assert ours.scale == 1.0
        assert ours.nobs == len(data)
        assert ours.model.link.name == "log"
        glm = smf.glm(
            COUNT_FORMULA,
            data,
            family=sm.families.Poisson(),
            offset=data["shift"],
            exposure=data["years"],
        ).fit(tol=1e-12)
        assert ours.deviance == pytest.approx(glm.deviance, rel=1e-10)
        assert ours.pearson_chi2 == pytest.approx(glm.pearson_chi2, rel=1e-10)

    @pytest.mark.parametrize("cov_type", ["nonrobust", "HC1", "cluster"])
    def test_negative_binomial_estimates_alpha_last(self, partitioned, cov_type):
        data = counts()
        ours = velmora_margins.fit(
            COUNT_FORMULA,
            data,
            model="negbin",
            exposure="years",
            cov_type=cov_type,
            cluster="clinic" if cov_type == "cluster" else None,
        )
        model = smf.negativebinomial(
            COUNT_FORMULA, data, exposure=data["years"], loglike_method="nb2"
        )
        theirs = model.fit(
            disp=0, method="newton", tol=1e-12, maxiter=200, **statsmodels_options(cov_type, data)
        )
        assert_same(ours, theirs)
        assert ours.params.index[-1] == "alpha"
        assert 0.3 < ours.params["alpha"] < 0.8  # the simulated 0.5
        # The effects see the coefficients of the design's columns alone.
        assert len(ours.model.params) == len(ours.params) - 1
        assert ours.model.cov.shape == (len(ours.params) - 1,) * 2

    def test_frequency_weights_count_rows(self):
        data = counts(600, seed=4)
        data["w"] = data["w"].astype(int)
        replicated = data.loc[data.index.repeat(data["w"])]
        for model in ("poisson", "negbin"):
            weighted = velmora_margins.fit(COUNT_FORMULA, data, model=model, weights="w")
            repeated = velmora_margins.fit(COUNT_FORMULA, replicated, model=model)
            np.testing.assert_allclose(weighted.params, repeated.params, rtol=1e-9)
            np.testing.assert_allclose(weighted.cov_params(), repeated.cov_params(), rtol=1e-8)
            assert weighted.llf == pytest.approx(repeated.llf, rel=1e-10)
            assert weighted.nobs == len(replicated)


def test_logit_takes_an_offset(fair, partitioned):
    data = fair.assign(shift=0.3 * np.cos(np.arange(len(fair))))
    formula = "affair ~ age + yrs_married + C(religious)"
    ours = velmora_margins.fit(formula, data, model="logit", offset="shift", cov_type="HC0")
    theirs = smf.logit(formula, data, offset=data["shift"]).fit(disp=0, cov_type="HC0")
    assert_same(ours, theirs)
    table = velmora_margins.predictions(ours)
    mean = np.mean(theirs.predict(data, offset=data["shift"]))
    assert table["Margin"].iloc[0] == pytest.approx(mean, rel=1e-8)


class TestLeastSquares:
    FORMULA = "rate_marriage ~ age + yrs_married + children + C(religious) + educ"

    @pytest.mark.parametrize("cov_type", COVARIANCES)
    @pytest.mark.parametrize("model", ["ols", "wls"])
    def test_every_covariance(self, fair, partitioned, model, cov_type):
        data = fair.assign(v=1.0 + (np.arange(len(fair)) % 7) / 3)
        ours = velmora_margins.fit(
            self.FORMULA,
            data,
            model=model,
            weights="v" if model == "wls" else None,
            cov_type=cov_type,
            cluster="occupation" if cov_type == "cluster" else None,
        )
        options = statsmodels_options(cov_type, data, "occupation")
        if model == "ols":
            theirs = smf.ols(self.FORMULA, data).fit(**options)
        else:
            theirs = smf.wls(self.FORMULA, data, weights=data["v"]).fit(**options)
        assert_same(ours, theirs, cov=1e-9)
        assert ours.scale == pytest.approx(theirs.scale, rel=1e-10)
        assert ours.df_resid == theirs.df_resid
        assert ours.use_t == theirs.use_t
        np.testing.assert_allclose(ours.pvalues, theirs.pvalues, rtol=1e-6, atol=1e-300)
        assert ours.nobs == theirs.nobs
        assert ours.model.link.name == "identity"


# (family, link, statsmodels family, data set, formula)
def scotland():
    return sm.datasets.scotland.load_pandas().data


def star98():
    data = sm.datasets.star98.load_pandas().data
    trials = data["NABOVE"] + data["NBELOW"]
    return data.assign(share=data["NABOVE"] / trials).iloc[:120]


def cpunish():
    return sm.datasets.cpunish.load_pandas().data


def affairs():
    return sm.datasets.fair.load_pandas().data.iloc[:1500]


DEFAULT_LINKS = {
    "gaussian": "identity",
    "gamma": "inverse_power",
    "inverse_gaussian": "inverse_squared",
}
LINK_CLASSES = {
    "logit": L.Logit,
    "cloglog": L.CLogLog,
    "probit": L.Probit,
    "sqrt": L.Sqrt,
    "identity": L.Identity,
    "log": L.Log,
    "inverse_power": L.InversePower,
    "inverse_squared": L.InverseSquared,
}
FAMILY_CLASSES = {
    "binomial": sm.families.Binomial,
    "poisson": sm.families.Poisson,
    "gaussian": sm.families.Gaussian,
    "gamma": sm.families.Gamma,
    "inverse_gaussian": sm.families.InverseGaussian,
}
SCOTLAND = "YES ~ COUTAX + UNEMPF + np.log(AGE)"
STAR98 = "share ~ LOWINC + PERASIAN + PERMINTE"
# family-link (no link: the family's default) -> (data, formula)
GLM_CASES = {
    "binomial-logit": (star98, STAR98),
    "binomial-cloglog": (star98, STAR98),
    "binomial-probit": (star98, "share ~ LOWINC + PERMINTE"),
    "poisson-sqrt": (cpunish, "EXECUTIONS ~ INCOME + SOUTH"),
    "poisson-identity": (cpunish, "EXECUTIONS ~ PERPOVERTY + SOUTH"),
    "gaussian": (scotland, SCOTLAND),
    "gaussian-log": (scotland, SCOTLAND),
    "gamma": (scotland, SCOTLAND),
    "gamma-log": (scotland, SCOTLAND),
    "inverse_gaussian": (scotland, SCOTLAND),
    "inverse_gaussian-log": (scotland, SCOTLAND),
}


@pytest.fixture(params=list(GLM_CASES))
def glm_case(request):
    family, _, link = request.param.partition("-")
    data, formula = GLM_CASES[request.param]
    link = link or None
    sm_family = FAMILY_CLASSES[family](LINK_CLASSES[link or DEFAULT_LINKS[family]]())
    frame = data()
    frame = frame.assign(fw=(1 + np.arange(len(frame)) % 3).astype(float))
    return family, link, sm_family, frame, formula


def statsmodels_glm(formula, frame, sm_family, **options):
    with warnings.catch_warnings():  # links outside a family's safe ones are asked for
        warnings.simplefilter("ignore", sm.tools.sm_exceptions.DomainWarning)
        model = smf.glm(formula, frame, family=sm_family, freq_weights=frame["fw"])
        # statsmodels warns that its cluster covariance with frequency weights takes each
        # row's score once, weighted: the covariance this fit gives as well.
        warnings.simplefilter("ignore", sm.tools.sm_exceptions.SpecificationWarning)
        # Its iterations stop on a small change of the deviance, which leaves the
        # coefficients a few 1e-10 from the maximum (seen in Pearson's chi-squared, which
        # is not stationary there); from that start, one more fit reaches it.
        first = model.fit(tol=1e-14, maxiter=500)
        return model.fit(start_params=first.params, tol=1e-14, maxiter=500, **options)


class TestGlm:
    @pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "cluster"])
    def test_families_and_links_with_frequency_weights(self, glm_case, cov_type):
        family, link, sm_family, frame, formula = glm_case
        clusters = frame.assign(g=np.arange(len(frame)) % 6)
        ours = velmora_margins.fit(
            formula,
            clusters,
            model="glm",
            family=family,
            link=link,
            weights="fw",
            cov_type=cov_type,
            cluster="g" if cov_type == "cluster" else None,
        )
        theirs = statsmodels_glm(
            formula, clusters, sm_family, **statsmodels_options(cov_type, clusters, "g")
        )
        assert_same(ours, theirs)
        assert ours.scale == pytest.approx(theirs.scale, rel=1e-10)
        assert ours.deviance == pytest.approx(theirs.deviance, rel=1e-10)
        assert ours.pearson_chi2 == pytest.approx(theirs.pearson_chi2, rel=1e-10)
        assert ours.nobs == frame["fw"].sum()
        # Without link=, the family's default, as statsmodels' family has it.
        assert ours.link == (link or DEFAULT_LINKS[family])
        assert isinstance(sm_family.link, LINK_CLASSES[ours.link])

    @pytest.mark.parametrize(
        ("sm_family", "family"),
        [
            (sm.families.Tweedie(L.Log(), var_power=1.5), "tweedie"),
            (sm.families.NegativeBinomial(alpha=0.7), "negative_binomial"),
        ],
        ids=["tweedie", "negative_binomial"],
    )
    def test_family_objects_carry_their_parameter(self, sm_family, family):
        frame = affairs().assign(fw=lambda d: (1 + np.arange(len(d)) % 2).astype(float))
        formula = "affairs ~ rate_marriage + age + religious"
        ours = velmora_margins.fit(formula, frame, model="glm", family=sm_family, weights="fw")
        theirs = statsmodels_glm(formula, frame, sm_family)
        assert_same(ours, theirs)
        assert ours.scale == pytest.approx(theirs.scale, rel=1e-10)
        assert (ours.family, ours.link) == (family, "log")


@pytest.mark.dask_scheduler
def test_on_dask_partitions():
    dd = pytest.importorskip("dask.dataframe")
    data = counts(900, seed=5)
    positive = data.assign(visits=data["visits"] + 0.5)
    ours = velmora_margins.fit(
        COUNT_FORMULA,
        dd.from_pandas(positive, npartitions=3),
        model="glm",
        family="gamma",
        link="log",
        offset="shift",
        cov_type="cluster",
        cluster="clinic",
    )
    theirs = smf.glm(
        COUNT_FORMULA, positive, family=sm.families.Gamma(L.Log()), offset=positive["shift"]
    ).fit(tol=1e-14, **statsmodels_options("cluster", positive))
    assert_same(ours, theirs)
    assert ours.scale == pytest.approx(theirs.scale, rel=1e-10)


@pytest.mark.dask_scheduler
def test_negative_binomial_on_a_cluster_of_processes():
    """Every task of the counts' fits pickles: NB2 starts from Poisson's scoring."""
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    from support import local_cluster

    data = counts(600, seed=8)
    with local_cluster(distributed) as cluster, distributed.Client(cluster):
        ours = velmora_margins.fit(
            COUNT_FORMULA,
            dd.from_pandas(data, npartitions=2),
            model="negbin",
            exposure="years",
            cov_type="cluster",
            cluster="clinic",
        )
        table = velmora_margins.margins(ours)
    model = smf.negativebinomial(COUNT_FORMULA, data, exposure=data["years"])
    theirs = model.fit(
        disp=0, method="newton", tol=1e-12, maxiter=200, **statsmodels_options("cluster", data)
    )
    assert_same(ours, theirs)
    assert list(table["term"]) == ["age", "female", "region", "region"]
