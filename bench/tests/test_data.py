"""The data set: deterministic, well formed, with the inverse Fisher information as covariance."""

import json
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pytest
from scipy.stats import norm

from bench.data import (
    binary_columns,
    column_names,
    fisher_covariance,
    load_data,
    make_beta,
    make_design,
    prepare_data,
)


def test_the_design_is_the_same_every_time() -> None:
    np.testing.assert_array_equal(make_design(2000, 7, 2), make_design(2000, 7, 2))


def test_the_design_has_a_constant_binary_and_normal_columns() -> None:
    X = make_design(20000, 8, 3)
    assert X.flags.c_contiguous
    assert np.all(X[:, 0] == 1.0)
    for j in (1, 2, 3):
        assert set(np.unique(X[:, j])) == {0.0, 1.0}
    # P(1) rises from 0.2 to 0.8 across the binary columns.
    np.testing.assert_allclose(X[:, 1:4].mean(axis=0), [0.2, 0.5, 0.8], atol=0.02)
    np.testing.assert_allclose(X[:, 4:].mean(axis=0), 0.0, atol=0.05)
    np.testing.assert_allclose(X[:, 4:].std(axis=0), 1.0, atol=0.05)


def test_a_design_too_small_for_its_binary_columns_is_refused() -> None:
    with pytest.raises(SystemExit, match="n = 2 is too small"):
        make_design(2, 9, 6)


def test_names_and_coefficients_follow_the_columns() -> None:
    assert column_names(6, 2) == ["const", "d1", "d2", "x1", "x2", "x3"]
    beta = make_beta(6, 2)
    assert beta.shape == (6,)
    assert beta[0] == 0.25
    assert np.all(beta[1:] != 0.0)


def design_and_beta(n: int = 3000) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    return make_design(n, 6, 2), make_beta(6, 2)


def test_logit_covariance_is_the_inverse_of_statsmodels_information() -> None:
    import statsmodels.api as sm

    X, beta = design_and_beta()
    # The Logit Hessian does not depend on y.
    hessian = sm.Logit(np.zeros(len(X)), X).hessian(beta)
    np.testing.assert_allclose(fisher_covariance("logit", X, beta), np.linalg.inv(-hessian), 1e-10)


def test_probit_covariance_is_the_inverse_of_the_expected_information() -> None:
    X, beta = design_and_beta()
    v = X @ beta
    weight = norm.pdf(v) ** 2 / (norm.cdf(v) * norm.sf(v))
    expected = np.linalg.inv(X.T @ (weight[:, None] * X))
    np.testing.assert_allclose(fisher_covariance("probit", X, beta), expected, 1e-10)


def test_the_covariance_does_not_depend_on_the_chunks() -> None:
    X, beta = design_and_beta()
    np.testing.assert_allclose(
        fisher_covariance("probit", X, beta, chunk=700), fisher_covariance("probit", X, beta), 1e-12
    )


def prepare(folder: Path, models: list[str]) -> None:
    folder.mkdir(exist_ok=True)
    prepare_data({"n": 3000, "k": 6, "g": 2, "models": models, "folder": str(folder)})


def test_prepared_data_loads_in_either_order(tmp_path: Path) -> None:
    prepare(tmp_path, ["logit", "probit"])
    c = load_data(tmp_path, "probit", "C", with_y=True)
    f = load_data(tmp_path, "probit", "F")
    assert c.X.flags.c_contiguous
    assert f.X.flags.f_contiguous
    np.testing.assert_array_equal(c.X, f.X)
    np.testing.assert_array_equal(c.X, make_design(3000, 6, 2))
    np.testing.assert_array_equal(c.beta, make_beta(6, 2))
    assert c.names == column_names(6, 2)
    assert binary_columns(tmp_path) == [1, 2]
    assert f.y is None
    assert c.y is not None
    assert set(np.unique(c.y)) == {0.0, 1.0}
    # Exact: the same function of the same C-ordered design, as prepare_data computed it.
    np.testing.assert_array_equal(c.cov, fisher_covariance("probit", c.X, c.beta))
    assert not np.array_equal(c.cov, load_data(tmp_path, "logit", "C").cov)


def test_kept_data_is_reused_and_completed(tmp_path: Path) -> None:
    prepare(tmp_path, ["logit"])
    kept = {path.name: path.stat().st_mtime_ns for path in tmp_path.iterdir()}
    assert not (tmp_path / "cov_probit.npy").exists()
    prepare(tmp_path, ["logit", "probit"])
    assert (tmp_path / "cov_probit.npy").exists()
    assert {name: (tmp_path / name).stat().st_mtime_ns for name in kept} == kept
    assert json.loads((tmp_path / "meta.json").read_text())["binary"] == [1, 2]
