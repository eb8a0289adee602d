"""predictions, margins and comparisons of a velmora_margins.fit result, on partitions of a
pandas DataFrame and on a Dask DataFrame, against those of the statsmodels result of the
same data; the statistics they learn over the partitions (exact quartiles, weighted means
and level shares within groups) against NumPy's."""

import numpy as np
import pandas as pd
import pytest

import quantities_reference as q
import velmora_margins
from velmora_margins import comparisons, margins, predictions
from velmora_margins.effects.model import RowOptions
from velmora_margins.effects.statistics import request_for
from velmora_margins.partitioned import quantiles, sources

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")

CHANGES = {"age": 5, "yrs_married": "minmax", "educ": "iqr", "rate_marriage": "sd"}
CALLS = [
    (predictions, {"by": "occupation", "weights": "educ"}),
    (predictions, {"at": {"age": [22, 37.5], "religious": [1.0, 4.0]}, "by": "kids"}),
    (predictions, {"atmeans": True, "by": "religious", "weights": "educ"}),
    (predictions, {"scale": "linear", "by": "religious"}),
    (margins, {"slope": "eyex", "by": "kids", "weights": "educ"}),
    (margins, {"atmeans": True, "by": "occupation", "weights": "educ"}),
    (margins, {"at": {"age": [25, 50]}, "slope": "dyex"}),
    (comparisons, {"variables": {**CHANGES, "religious": "pairwise"}, "comparison": "lnor",
                   "by": "occupation", "weights": "educ"}),
    (comparisons, {"variables": {"educ": "sd", "religious": "sequential"}, "atmeans": True,
                   "comparison": "ratio"}),
]  # fmt: skip


@pytest.fixture(scope="module")
def survey(fair):
    return q.survey(fair)


@pytest.fixture(scope="module")
def result(survey):
    return q.fitted(survey, "probit", "cluster")


def fitted_like(data, result):
    """A fit of the data with the statsmodels result's coefficients and covariance (which
    its own match to about 1e-8), so that the tables differ only in how the rows are
    passed over."""
    fit = velmora_margins.fit(
        q.FORMULA, data, model="probit", cov_type="cluster", cluster="occupation"
    )
    assert list(fit.params.index) == list(result.params.index)
    np.testing.assert_allclose(fit.params, result.params, rtol=1e-6)
    np.testing.assert_allclose(fit.cov_params(), result.cov_params(), rtol=1e-5)
    fit.model.params = result.params.to_numpy(copy=True)
    fit.model.cov = result.cov_params().to_numpy(copy=True)
    return fit


def same_tables(ours, theirs):
    estimate = q.estimate_column(theirs)
    labels = list(theirs.columns[: list(theirs.columns).index(estimate)])
    assert list(ours.columns) == list(theirs.columns)
    pd.testing.assert_frame_equal(ours[labels], theirs[labels])
    np.testing.assert_allclose(ours[estimate], theirs[estimate], rtol=1e-10, atol=0)
    np.testing.assert_allclose(ours["Std. Err"], theirs["Std. Err"], rtol=1e-10, atol=0)
    errors = theirs["Std. Err"].to_numpy()
    difference = np.abs(ours.attrs["vcov"] - theirs.attrs["vcov"])
    assert np.all(difference <= 1e-10 * np.outer(errors, errors))


@pytest.fixture(params=["pandas", pytest.param("dask", marks=pytest.mark.dask_scheduler)])
def source(request, survey, monkeypatch):
    """The survey as a pandas DataFrame in partitions of 1000 rows, or as a Dask DataFrame
    of 3 partitions on the threaded scheduler."""
    if request.param == "pandas":
        monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 1000)
        yield survey
    else:
        with dask.config.set(scheduler="threads"):
            yield dd.from_pandas(survey, npartitions=3)


def test_the_tables_of_a_fit_equal_a_statsmodels_result(source, result):
    fit = fitted_like(source, result)
    for call, options in CALLS:
        same_tables(call(fit, **options), call(result, **options))


def test_means_and_shares_within_weighted_groups(source, result):
    """The row of means that atmeans takes on each group: learnt over the partitions, as
    NumPy weighs the group's rows."""
    fit = fitted_like(source, result)
    design = fit.model.design
    factor = next(f for f in design.factors if not f.numerical)
    request = request_for(["age", "yrs_married", "kids"], [factor], [])
    statistics = fit.model.statistics(request, RowOptions.of(fit.model, "occupation", "educ", None))
    reference = q.Fit(result)
    frame = reference.frame
    assert sorted(statistics.means) == sorted(set(frame["occupation"]))
    for label, rows in q.groups(reference, "occupation"):
        w = frame["educ"].to_numpy()[rows]
        for name in ("age", "yrs_married", "kids"):
            expected = np.average(frame[name].to_numpy()[rows], weights=w)
            assert statistics.means[label][name] == pytest.approx(expected, rel=1e-13)
        levels = frame["religious"].to_numpy()[rows]
        shares = [w[levels == level].sum() / w.sum() for level in q.FACTORS["religious"]]
        np.testing.assert_allclose(statistics.shares[label][factor], shares, rtol=1e-13)
    # The table at those rows against its definition.
    table = predictions(fit, atmeans=True, by="occupation", weights="educ")
    weights = frame["educ"]
    rows = [
        reference.mean_row(q.NUMERIC, q.FACTORS, weights, m)
        for _, m in q.groups(reference, "occupation")
    ]
    q.check_table(table, reference, [q.prediction(row) for row in rows])


# Exact quartiles over partitions.


def spread_data(values, seed):
    """A data set whose x holds the values (some rows dropped by a missing z), with an
    outcome that depends on it."""
    rng = np.random.default_rng(seed)
    n = len(values)
    z = rng.normal(size=n)
    z[rng.choice(n, n // 20, replace=False)] = np.nan
    scaled = (values - values.mean()) / (values.std() + 1.0)
    y = (rng.random(n) < 1 / (1 + np.exp(-(0.5 * scaled + 0.3 * np.nan_to_num(z))))).astype(int)
    return pd.DataFrame({"y": y, "x": values, "z": z})


def many_ties(rng, n):
    return rng.integers(0, 5, n).astype(float)


def between_rows(rng, n):
    """Gaps around every quartile: the order statistics next to each differ by 1e3."""
    return np.sort(rng.normal(size=n)) + np.repeat([0.0, 1e3, 2e3, 3e3, 4e3], -(-n // 5))[:n]


def one_outlier(rng, n):
    """Ties at 0, a few values near it and one far away: every value falls in the first bin."""
    values = np.where(rng.random(n) < 0.6, 0.0, rng.normal(scale=1e-6, size=n))
    values[7] = 1e12
    return values


def continuous(rng, n):
    return rng.standard_t(3, size=n) * 50 - 20


@pytest.mark.parametrize("gather", [quantiles.GATHER, 16])
@pytest.mark.parametrize("values", [many_ties, between_rows, one_outlier, continuous])
@pytest.mark.parametrize("rows", [1201, 1202, 1203, 1204])
def test_quartiles_over_partitions_are_numpys(monkeypatch, values, rows, gather):
    """With few values gathered at once (16), the passes narrow the quartiles' bins first."""
    monkeypatch.setattr(quantiles, "GATHER", gather)
    monkeypatch.setattr(sources, "FRAME_PARTITION_ROWS", 300)
    data = spread_data(values(np.random.default_rng(rows), rows), rows)
    fit = velmora_margins.fit("y ~ x + z", data)
    statistics = fit.model.statistics(
        request_for([], [], ["x"]), RowOptions.of(fit.model, None, None, None)
    )
    spread = statistics.spreads["x"]
    kept = data.dropna()["x"].to_numpy()
    assert (spread.q25, spread.q75) == tuple(np.percentile(kept, [25, 75]))
    assert (spread.low, spread.high) == (kept.min(), kept.max())
    assert spread.sd == pytest.approx(np.std(kept, ddof=1), rel=1e-12)


@pytest.mark.dask_scheduler
def test_quartiles_on_dask(monkeypatch):
    monkeypatch.setattr(quantiles, "GATHER", 16)
    rng = np.random.default_rng(5)
    data = spread_data(np.concatenate([many_ties(rng, 700), continuous(rng, 502)]), 5)
    with dask.config.set(scheduler="threads"):
        fit = velmora_margins.fit("y ~ x + z", dd.from_pandas(data, npartitions=3))
        statistics = fit.model.statistics(
            request_for([], [], ["x"]), RowOptions.of(fit.model, None, None, None)
        )
        table = comparisons(fit, variables={"x": "iqr"})
    kept = data.dropna()["x"].to_numpy()
    q25, q75 = np.percentile(kept, [25, 75])
    assert (statistics.spreads["x"].q25, statistics.spreads["x"].q75) == (q25, q75)
    assert list(table["contrast"]) == [f"{q75:g} - {q25:g}"]
