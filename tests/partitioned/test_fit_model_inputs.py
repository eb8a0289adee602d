"""The inputs that velmora_margins.fit refuses for counts, least squares and generalized
linear models: each by its message, naming the argument, the partition or the column."""

import re

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from test_models_fit import COUNT_FORMULA, counts

import velmora_margins
from velmora_margins.partitioned import fitted


def refused(kind, message):
    return pytest.raises(kind, match=f"^{re.escape(message)}$")


@pytest.fixture(scope="module")
def visits():
    return counts(300)


def changed(frame, column, row, value):
    """The frame with one value changed."""
    values = frame[column].astype(float).copy()
    values.iloc[row] = value
    return frame.assign(**{column: values})


class TestArguments:
    @pytest.mark.parametrize(
        ("options", "message"),
        [
            (
                {"model": "tobit"},
                "model: expected 'logit', 'probit', 'poisson', 'negbin', 'ols', 'wls' or "
                "'glm', got 'tobit'",
            ),
            ({"model": "glm"}, "family: model='glm' needs a family, such as family='gamma'"),
            (
                {"model": "glm", "family": "poison"},
                "family: expected 'binomial', 'poisson', 'gaussian', 'gamma', "
                "'inverse_gaussian', 'negative_binomial' or 'tweedie', got 'poison'",
            ),
            (
                {"model": "glm", "family": "poisson", "link": "logit"},
                "link: the poisson family takes the links 'log', 'identity' or 'sqrt', got 'logit'",
            ),
            (
                {"model": "glm", "family": "gamma", "link": "logg"},
                "link: the gamma family takes the links 'inverse_power', 'log' or 'identity', "
                "got 'logg'",
            ),
            (
                {"model": "glm", "family": sm.families.Tweedie(), "link": "identity"},
                "link: the tweedie family takes the link 'log', got 'identity'",
            ),
            (
                {"model": "poisson", "family": "poisson"},
                "family: goes with model='glm', not 'poisson'",
            ),
            (
                {"model": "negbin", "link": "log"},
                "link: goes with model='glm'; model='negbin' has its own link",
            ),
            (
                {"model": "ols", "weights": "w"},
                "weights: model='ols' takes no weights; for WLS weights fit model='wls', for "
                "frequency weights model='glm' with family='gaussian'",
            ),
            ({"model": "wls"}, "weights: model='wls' needs weights=COLUMN, the WLS weights"),
            (
                {"model": "wls", "weights": "w", "offset": "shift"},
                "offset: model='wls' takes none; fit model='glm' with family='gaussian' for one",
            ),
            (
                {"model": "glm", "family": "gamma", "link": "identity", "exposure": "years"},
                "exposure: goes with the log link, whose mean it multiplies; the GLM gamma "
                "(identity link) model's link is 'identity': give log(exposure) as an offset "
                "instead",
            ),
            (
                {"model": "poisson", "exposure": "time"},
                "exposure: no column 'time' in the data; columns are: age, female, region, "
                "years, shift, w, visits, clinic",
            ),
        ],
    )
    def test_refused_before_reading_the_rows(self, visits, options, message):
        with refused(velmora_margins.ArgumentError, message):
            velmora_margins.fit(COUNT_FORMULA, visits, **options)


class TestRows:
    def test_outcomes_the_model_cannot_take(self, visits):
        with refused(
            velmora_margins.MarginsError,
            "the data: the outcome 'visits' must be finite and at least 0 for the Poisson "
            "model; 1 values are not, such as -1",
        ):
            velmora_margins.fit(COUNT_FORMULA, changed(visits, "visits", 5, -1), model="poisson")
        with refused(
            velmora_margins.MarginsError,
            "the data: the outcome 'visits' must lie in [0, 1] for the GLM binomial (cloglog "
            "link) model; 2 values are not, such as 2",
        ):
            data = visits.assign(visits=np.minimum(visits["visits"] / 10, 1.0))
            velmora_margins.fit(
                COUNT_FORMULA,
                changed(changed(data, "visits", 3, 2), "visits", 9, -1),
                model="glm",
                family="binomial",
                link="cloglog",
            )
        with refused(
            velmora_margins.MarginsError,
            "the data: the outcome 'visits' must be finite and above 0 for the GLM "
            "inverse_gaussian (inverse_squared link) model; 1 values are not, such as 0",
        ):
            data = changed(visits.assign(visits=visits["visits"] + 1.0), "visits", 7, 0)
            velmora_margins.fit(COUNT_FORMULA, data, model="glm", family="inverse_gaussian")
        with refused(
            velmora_margins.MarginsError,
            "the data: the outcome 'visits' must be finite for the OLS model; 1 values are "
            "not, such as inf",
        ):
            velmora_margins.fit(COUNT_FORMULA, changed(visits, "visits", 0, np.inf), model="ols")

    @pytest.mark.dask_scheduler
    def test_offsets_and_exposures_name_their_partition(self, visits):
        dd = pytest.importorskip("dask.dataframe")

        def fit(data, **options):
            whole = dd.from_pandas(data, npartitions=3)
            return velmora_margins.fit(COUNT_FORMULA, whole, model="poisson", **options)

        before = visits.copy()
        with refused(
            velmora_margins.MarginsError,
            "partition 1: exposure column 'years' must be finite and above 0; 1 values are "
            "not, such as 0",
        ):
            fit(changed(visits, "years", 150, 0.0), exposure="years")
        with refused(
            velmora_margins.MarginsError,
            "partition 2: exposure column 'years' holds 1 missing values; fill them in or "
            "leave those rows out",
        ):
            fit(changed(visits, "years", 250, np.nan), exposure="years")
        with refused(
            velmora_margins.MarginsError,
            "partition 0: offset column 'shift' holds 2 values that are missing or infinite; "
            "fill them in or leave those rows out",
        ):
            fit(changed(changed(visits, "shift", 1, np.nan), "shift", 2, -np.inf), offset="shift")
        with refused(
            velmora_margins.MarginsError,
            "partition 2: the outcome 'visits' must be finite and at least 0 for the Poisson "
            "model; 1 values are not, such as -3",
        ):
            fit(changed(visits, "visits", 299, -3))
        pd.testing.assert_frame_equal(visits, before)

    @pytest.mark.dask_scheduler
    def test_a_predicted_mean_that_overflows_names_its_partition_and_row(self):
        dd = pytest.importorskip("dask.dataframe")
        rng = np.random.default_rng(1)
        n = 1000
        data = pd.DataFrame({"y": rng.poisson(1.0, n), "x": rng.normal(size=n), "o": 0.0})
        data.loc[5, "o"] = 800.0
        for model in ("poisson", "negbin"):
            with pytest.raises(
                velmora_margins.MarginsError,
                match=r"^partition 0: the predicted mean exp\(x b \+ offset\) overflows at "
                r"row 5: x b \+ offset = 79\d\.\d+$",
            ):
                velmora_margins.fit(
                    "y ~ x", dd.from_pandas(data, npartitions=2), model=model, offset="o"
                )

    def test_a_row_left_out_for_a_missing_regressor_needs_no_exposure(self, visits):
        data = changed(changed(visits, "years", 4, np.nan), "age", 4, np.nan)
        ours = velmora_margins.fit(COUNT_FORMULA, data, model="poisson", exposure="years")
        assert ours.nobs == len(visits) - 1


class TestIterations:
    def test_a_fit_that_runs_out_names_its_iterations_and_last_step(self, visits, monkeypatch):
        monkeypatch.setattr(fitted, "MAX_ITERATIONS", 2)
        for options, title in (
            ({"model": "glm", "family": "poisson", "link": "sqrt"}, "GLM poisson (sqrt link)"),
            ({"model": "negbin"}, "negative binomial"),
        ):
            with pytest.raises(velmora_margins.FitError) as caught:
                velmora_margins.fit(COUNT_FORMULA, visits, **options)
            text = str(caught.value)
            found = re.fullmatch(
                f"the {re.escape(title)} fit did not converge in 2 iterations: the last one "
                r"still moved a parameter by ([0-9.e-]+); rescale the regressors or simplify "
                "the model",
                text,
            )
            assert found is not None, text
            assert float(found[1]) > 1e-6

    def test_collinear_regressors(self, visits):
        data = visits.assign(twice=2 * visits["age"])
        for model in ("poisson", "ols"):
            with pytest.raises(velmora_margins.FitError, match="are collinear: their 6 columns"):
                velmora_margins.fit(COUNT_FORMULA + " + twice", data, model=model)
