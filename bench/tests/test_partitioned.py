"""The partitioned case: its Parquet data, and a small run of its workers end to end."""

from pathlib import Path
from typing import cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from bench.cases import partitioned
from bench.competitors.floor import FloorProgram
from bench.competitors.partitioned import LABELS, NUMERIC, data_folder, write_data
from bench.options import parse_options
from bench.workers import Runner


def written(
    tmp_path: Path, kind: str, n: int, factor: str = "numeric", file_rows: int = 10**6
) -> pd.DataFrame:
    folder = data_folder(tmp_path, n, kind, factor, file_rows)
    task = {"folder": str(folder), "n": n, "model": kind, "factor": factor, "file_rows": file_rows}
    result = write_data(task)
    assert result["bytes"] == sum(p.stat().st_size for p in folder.glob("*.parquet")) > 0
    return pd.read_parquet(folder)


def test_the_text_data_holds_the_numeric_data_with_its_levels_named(tmp_path: Path) -> None:
    numeric = written(tmp_path, "logit", 7000, "numeric", file_rows=2000)
    text = written(tmp_path, "logit", 7000, "text", file_rows=2000)
    folder = data_folder(tmp_path, 7000, "logit", "text", 2000)
    assert len(list(folder.glob("*.parquet"))) == 4
    assert len(text) == 7000
    # A plain text column in every file, neither integers nor a dictionary of categories.
    for path in folder.glob("*.parquet"):
        stored = pq.read_schema(path).field("g").type
        assert pa.types.is_string(stored) or pa.types.is_large_string(stored)
    assert set(text["g"]) == set(LABELS)
    named = numeric.assign(g=[LABELS[level - 1] for level in numeric["g"]])
    pd.testing.assert_frame_equal(text, named, check_dtype=False)
    assert text["y"].equals(numeric["y"])


def test_each_size_model_factor_and_file_size_has_its_own_folder(tmp_path: Path) -> None:
    folders = {
        data_folder(tmp_path, n, kind, factor, rows)
        for n in (1000, 2000)
        for kind in ("logit", "poisson")
        for factor in ("numeric", "text")
        for rows in (500, 10**6)
    }
    assert len(folders) == 16
    assert data_folder(tmp_path, 10**7, "logit", "text").name == "parquet_logit_text_10000000"


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


def test_a_small_poisson_run_agrees_with_statsmodels_for_both_factors(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    argv = "--partitioned --model poisson --partitioned-n 20000 --rounds 1"
    options = parse_options([*argv.split(), "--partitioned-file-rows", "5000"])
    runner = Runner(tmp_path, tmp_path / "floor")
    outcome = partitioned.run(options, runner, cast(FloorProgram, None))
    report = capsys.readouterr().out
    for stored in ("the integers 1 to 5", "text labels"):
        assert (
            f"Poisson fit plus effects from Parquet, g stored as {stored}: n = 20,000 rows, "
            "16 numeric regressors and a factor of 5 levels, 0.00 GiB in 4 files"
        ) in report
    assert "velmora on Dask, 1 thread" in report
    assert "BLAS 1 thread" in report
    assert "not timed" not in report  # every phase's function is in this velmora
    labels = [check.label for check in outcome.checks]
    assert labels == [
        f"poisson, {factor} g, n = 20,000: velmora on Dask vs {other}, {what}"
        for factor in ("numeric", "text")
        for other in ("one thread", "statsmodels")
        for what in ("coefficients", "effects")
    ]
    failed = [check for check in outcome.checks if not check.passed()]
    assert not failed
    assert outcome.blas
    assert outcome.blas_worker == "a velmora worker on threads"


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
