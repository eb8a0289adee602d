"""velmora_margins.fit against statsmodels' own fit, locally, on Dask and from files."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import velmora_margins
from support import in_parquet_files, local_cluster

dd = pytest.importorskip("dask.dataframe")

FORMULA = "affair ~ age + I(age**2) + yrs_married + C(religious) + C(religious):age + np.log(educ)"
FIT = {"logit": smf.logit, "probit": smf.probit}
NUMBERS = ["dy/dx", "Std. Err"]


def statsmodels_fit(kind, data, cov_type="nonrobust", cluster=None):
    options = {"cov_type": cov_type}
    if cov_type == "cluster":
        options["cov_kwds"] = {"groups": pd.factorize(data[cluster])[0]}
    return FIT[kind](FORMULA, data).fit(disp=0, **options)


def assert_same_fit(ours, theirs):
    assert list(ours.params.index) == list(theirs.params.index)
    np.testing.assert_allclose(ours.params, theirs.params, rtol=1e-8, atol=0)
    np.testing.assert_allclose(ours.cov_params(), theirs.cov_params(), rtol=1e-7, atol=0)
    np.testing.assert_allclose(ours.bse, theirs.bse, rtol=1e-7, atol=0)
    assert ours.llf == pytest.approx(theirs.llf, rel=1e-10)
    assert ours.nobs == theirs.nobs
    assert ours.converged


def assert_same_effects(ours, theirs, **options):
    for per_column in (False, True):
        a = velmora_margins.margins(ours, per_column=per_column, **options)
        b = velmora_margins.margins(theirs, per_column=per_column, **options)
        assert list(a["term"]) == list(b["term"])
        assert list(a["contrast"]) == list(b["contrast"])
        np.testing.assert_allclose(a[NUMBERS], b[NUMBERS], rtol=1e-7, atol=0)


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC3", "cluster"])
def test_pandas_fit_equals_statsmodels(fair, kind, cov_type):
    cluster = "occupation" if cov_type == "cluster" else None
    ours = velmora_margins.fit(FORMULA, fair, model=kind, cov_type=cov_type, cluster=cluster)
    assert_same_fit(ours, statsmodels_fit(kind, fair, cov_type, cluster))
    assert ours.model.link.name == kind
    assert "log-likelihood" in ours.summary()


@pytest.mark.parametrize("partitions", [1, 2, 7])
@pytest.mark.dask_scheduler
def test_dask_partitions_equal_statsmodels(fair, partitions):
    data = dd.from_pandas(fair, npartitions=partitions)
    ours = velmora_margins.fit(
        FORMULA, data, model="probit", cov_type="cluster", cluster="occupation"
    )
    theirs = statsmodels_fit("probit", fair, "cluster", "occupation")
    assert_same_fit(ours, theirs)
    assert_same_effects(ours, theirs)


@pytest.mark.dask_scheduler
def test_parquet_files_by_glob_and_directory(fair, tmp_path):
    in_parquet_files(fair, tmp_path)
    theirs = statsmodels_fit("logit", fair)
    seen = []
    for data in (str(tmp_path / "part*.parquet"), tmp_path):
        ours = velmora_margins.fit(
            FORMULA, data, progress=lambda done, total: seen.append((done, total))
        )
        assert_same_fit(ours, theirs)
    assert_same_effects(ours, theirs, by="occupation", weights="children")
    assert (3, 3) in seen


def test_weights_count_rows(fair):
    data = fair.sample(900, random_state=3).assign(w=np.arange(900) % 3)
    replicated = data.loc[data.index.repeat(data["w"])]
    ours = velmora_margins.fit(FORMULA, data, weights="w")
    assert_same_fit(ours, statsmodels_fit("logit", replicated))


@pytest.mark.dask_scheduler
def test_local_cluster_of_processes(fair, tmp_path):
    """A Dask DataFrame, read again for every pass, and files, whose design matrices the
    workers keep, a sample's cut into pieces."""
    distributed = pytest.importorskip("distributed")
    files = in_parquet_files(fair, tmp_path, files=8)
    theirs = statsmodels_fit("logit", fair, "HC1")
    with local_cluster(distributed) as cluster, distributed.Client(cluster):
        for data in (dd.from_pandas(fair, npartitions=4), files):
            ours = velmora_margins.fit(FORMULA, data, cov_type="HC1")
            assert_same_fit(ours, theirs)
            assert_same_effects(ours, theirs, by="occupation")
