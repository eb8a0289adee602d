"""The command's models beyond Logit and Probit: --model poisson, negbin, ols, wls and glm
with --family, --link, --offset and --exposure, whole runs against the effects of
statsmodels' fits of the same rows, and the refusals by option name."""

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from test_cli import run_main

import velmora_margins

NUMBERS = ["dy/dx", "Std. Err"]
LOG = sm.families.links.Log()


@pytest.fixture(scope="module")
def claims(tmp_path_factory):
    """Seeded claims over 0.2 to 4 years of cover, written as CSV."""
    rng = np.random.default_rng(19)
    n = 800
    frame = pd.DataFrame(
        {
            "age": rng.uniform(18, 80, n),
            "urban": rng.integers(0, 2, n),
            "region": rng.choice(["a", "b", "c"], n),
            "years": rng.uniform(0.2, 4.0, n),
            "w": rng.uniform(0.5, 2.0, n),
        }
    )
    eta = -2.0 + 0.015 * frame["age"] + 0.4 * frame["urban"] + np.log(frame["years"])
    frame["claims"] = rng.poisson(np.exp(eta))
    frame["cost"] = rng.gamma(2.0, np.exp(1.0 + 0.01 * frame["age"]) / 2.0)
    path = tmp_path_factory.mktemp("claims") / "claims.csv"
    frame.to_csv(path, index=False)
    return path, frame


def written(capsys, path, *options, tmp_path):
    out = tmp_path / "table.csv"
    status, stdout, err = run_main(capsys, path, *options, "--output", out)
    assert status == 0, err
    return pd.read_csv(out, keep_default_na=False), stdout


def same_effects(table, reference):
    assert list(table["term"]) == list(reference["term"])
    assert list(table["contrast"]) == list(reference["contrast"])
    np.testing.assert_allclose(table[NUMBERS], reference[NUMBERS], rtol=1e-6, atol=0)


FORMULA = "claims ~ age + urban + C(region)"


def test_poisson_with_an_exposure(capsys, claims, tmp_path):
    path, frame = claims
    table, stdout = written(
        capsys,
        path,
        "--formula",
        FORMULA,
        "--model",
        "poisson",
        "--exposure",
        "years",
        "--cov-type",
        "HC0",
        tmp_path=tmp_path,
    )
    result = smf.poisson(FORMULA, frame, exposure=frame["years"]).fit(disp=0, cov_type="HC0")
    same_effects(table, velmora_margins.margins(result))
    # Against the definition: the mean of b_age exp(x b + log(years)) over the rows (which
    # statsmodels' get_margeff leaves the exposure out of).
    expected = result.params["age"] * np.mean(result.predict(frame, exposure=frame["years"]))
    age = table.set_index("term").loc["age"]
    assert age["dy/dx"] == pytest.approx(expected, rel=1e-6)
    assert stdout.startswith(f"Average marginal effects of Poisson: {FORMULA}\n")


@pytest.mark.parametrize(
    ("options", "family"),
    [
        (["--model", "glm", "--family", "gamma", "--link", "log"], sm.families.Gamma(LOG)),
        (
            ["--model", "glm", "--family", "inverse_gaussian", "--link", "log"],
            sm.families.InverseGaussian(LOG),
        ),
    ],
    ids=["gamma", "inverse_gaussian"],
)
def test_glm_families_predict_by_group(capsys, claims, tmp_path, options, family):
    path, frame = claims
    formula = "cost ~ age + urban"
    out = tmp_path / "table.csv"
    status, stdout, err = run_main(
        capsys, path, "--formula", formula, *options, "--predict", "--by", "region",
        "--output", out,
    )  # fmt: skip
    assert status == 0, err
    table = pd.read_csv(out, keep_default_na=False)
    result = smf.glm(formula, frame, family=family).fit(tol=1e-12)
    reference = velmora_margins.predictions(result, by="region")
    assert list(table["region"]) == list(reference["region"])
    np.testing.assert_allclose(table["Margin"], reference["Margin"], rtol=1e-7)
    np.testing.assert_allclose(table["Std. Err"], reference["Std. Err"], rtol=1e-6)
    # Against the definition: the mean of exp(x b) over each region's rows.
    means = result.fittedvalues.groupby(frame["region"]).mean()
    np.testing.assert_allclose(table["Margin"], means.to_numpy(), rtol=1e-7)
    assert f"Mean predictions of GLM {options[3]} (log link)" in stdout


def test_wls_fits_with_its_weights(capsys, claims, tmp_path):
    path, frame = claims
    formula = "cost ~ age + urban + C(region)"
    table, _ = written(
        capsys, path, "--formula", formula, "--model", "wls", "--weights", "w", tmp_path=tmp_path
    )
    result = smf.wls(formula, frame, weights=frame["w"]).fit()
    same_effects(table, velmora_margins.margins(result, weights=frame["w"].to_numpy()))


@pytest.mark.parametrize(
    ("options", "status", "message"),
    [
        (
            ["--model", "poisson", "--family", "poisson"],
            1,
            "velmora: error: --family: goes with model='glm', not 'poisson'",
        ),
        (
            ["--model", "glm", "--family", "poisson", "--link", "logit"],
            1,
            "velmora: error: --link: the poisson family takes the links 'log', 'identity' or "
            "'sqrt', got 'logit'",
        ),
        (
            ["--model", "glm", "--family", "poison"],
            2,
            "velmora: error: argument --family: invalid choice 'poison' (choose from binomial, "
            "poisson, gaussian, gamma, inverse_gaussian, negative_binomial, tweedie)",
        ),
        (
            ["--model", "poisson", "--exposure", "cover"],
            1,
            "velmora: error: --exposure: no column 'cover' in the data",
        ),
        (
            ["--model", "poisson", "--offset", "age", "--se-method", "kova", "--per-column"],
            2,
            "velmora: error: --se-method kova applies to logit and probit, not --model poisson",
        ),
        (
            ["--model", "ols"],
            1,
            "velmora: error: the data: the outcome 'claims' must be finite for the OLS model",
        ),
    ],
)
def test_refusals_name_the_option(capsys, claims, options, status, message):
    path, frame = claims
    data = path
    if options == ["--model", "ols"]:
        data = path.with_name("infinite.csv")
        frame.assign(claims=frame["claims"].astype(float).where(frame.index != 3, np.inf)).to_csv(
            data
        )
    got, out, err = run_main(capsys, data, "--formula", FORMULA, *options)
    assert got == status
    assert out == ""
    assert err.splitlines()[-1].startswith(message), err
