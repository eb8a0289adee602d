"""The partitioned case: its Parquet data, and a small run of its workers end to end."""

from pathlib import Path
from typing import cast

import numpy as np
import pandas as pd
import pytest

from bench.cases import partitioned
from bench.competitors.floor import FloorProgram
from bench.competitors.partitioned import NUMERIC, data_folder, write_data
from bench.options import parse_options
from bench.workers import Runner


def written(tmp_path: Path, kind: str, n: int) -> pd.DataFrame:
    folder = data_folder(tmp_path, n, kind)
    result = write_data({"folder": str(folder), "n": n, "model": kind})
    assert result["bytes"] == sum(p.stat().st_size for p in folder.glob("*.parquet")) > 0
    return pd.read_parquet(folder)


def test_the_poisson_counts_follow_the_model_with_a_mean_near_two(tmp_path: Path) -> None:
    import statsmodels.api as sm

    frame = written(tmp_path, "poisson", 40_000)
    y = frame["y"].to_numpy()
    assert len(frame) == 40_000
    assert np.all(y >= 0)
    assert np.all(y == np.round(y))
    assert 1.8 < y.mean() < 2.2
    assert y.max() > 10  # counts, not a 0/1 outcome
    # A Poisson fit on the written rows finds the slopes and level effects they were
    # drawn with, within five standard errors.
    levels = pd.get_dummies(frame["g"], prefix="g", drop_first=True, dtype=float)
    X = sm.add_constant(pd.concat([frame[[f"x{i + 1}" for i in range(NUMERIC)]], levels], axis=1))
    fit = sm.Poisson(y, X).fit(disp=0)
    slopes = [0.3 * (-1) ** i / (1 + i % 5) for i in range(NUMERIC)]
    drawn = np.array([0.4 - 0.4, *slopes, 0.2, 0.4, 0.6, 0.8])  # levels against the first
    assert np.all(np.abs(fit.params.to_numpy() - drawn) < 5 * fit.bse.to_numpy())


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_the_binary_data_stays_zero_and_one(tmp_path: Path, kind: str) -> None:
    y = written(tmp_path, kind, 5000)["y"]
    assert set(y.unique()) == {0.0, 1.0}


def test_written_data_is_the_same_every_time(tmp_path: Path) -> None:
    first = written(tmp_path / "a", "poisson", 3000)
    again = written(tmp_path / "b", "poisson", 3000)
    pd.testing.assert_frame_equal(first, again)


def test_a_small_poisson_run_agrees_with_statsmodels(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    options = parse_options(
        ["--partitioned", "--model", "poisson", "--partitioned-n", "20000", "--rounds", "1"]
    )
    runner = Runner(tmp_path, tmp_path / "floor")
    outcome = partitioned.run(options, runner, cast(FloorProgram, None))
    report = capsys.readouterr().out
    assert "Poisson fit plus effects from Parquet: n = 20,000 rows" in report
    labels = [check.label for check in outcome.checks]
    assert labels == [
        f"poisson, n = 20,000: velmora on Dask vs {other}, {what}"
        for other in ("one thread", "statsmodels")
        for what in ("coefficients", "effects")
    ]
    failed = [check for check in outcome.checks if not check.passed()]
    assert not failed


@pytest.mark.parametrize(
    ("argv", "models"),
    [
        (["--partitioned", "--model", "poisson"], ("poisson",)),
        (["--partitioned", "--model", "logit", "poisson"], ("logit", "poisson")),
        (["--partitioned"], ("logit", "probit")),
    ],
)
def test_the_partitioned_case_takes_poisson(argv: list[str], models: tuple[str, ...]) -> None:
    assert parse_options(argv).models == models


@pytest.mark.parametrize("argv", [["--model", "poisson"], ["--margins", "--model", "poisson"]])
def test_poisson_outside_the_partitioned_case_is_refused(
    argv: list[str], capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as exit_info:
        parse_options(argv)
    assert exit_info.value.code == 2
    assert capsys.readouterr().err.rstrip().endswith("--model poisson runs with --partitioned only")
