"""The command line becomes one frozen Options object, with the documented defaults."""

import shlex
from pathlib import Path

import pytest

from bench.options import Options, parse_options


def test_no_arguments_give_the_documented_run() -> None:
    options = parse_options([])
    assert options == Options()
    assert (options.n, options.k, options.binary) == (10**6, 21, 6)
    assert options.models == ("logit", "probit")
    assert options.methods == ("kova", "sm")
    assert (options.repeat, options.numpy_repeat, options.rounds) == (11, 5, 3)
    assert options.chunk_sizes == (8192, 32768, 131072)
    assert options.zarn_chunk_sizes == (65536,)
    assert options.scaling_n == (10**5, 10**6, 10**7)
    assert options.keep_data is None
    assert options.blas_threads is None


def test_every_option_reaches_its_field() -> None:
    options = parse_options(
        shlex.split(
            "--n 5000 --k 9 --binary 2 --model probit --method sm kova --order F"
            " --repeat 4 --numpy-repeat 2 --rounds 1 --blas-threads 1"
            " --chunk-sizes 1024 4096 --zarn-chunk-sizes --skip-statsmodels --skip-numpy"
            " --scaling --scaling-n 3000 6000 --keep-data some/dir --markdown"
        )
    )
    assert options == Options(
        n=5000,
        k=9,
        binary=2,
        models=("probit",),
        methods=("sm", "kova"),
        order="F",
        repeat=4,
        numpy_repeat=2,
        rounds=1,
        blas_threads=1,
        chunk_sizes=(1024, 4096),
        zarn_chunk_sizes=(),
        skip_statsmodels=True,
        skip_numpy=True,
        scaling=True,
        scaling_n=(3000, 6000),
        keep_data=Path("some/dir"),
        markdown=True,
    )


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--k", "5", "--binary", "5"], "--binary must lie between 0 and k - 1"),
        (["--binary", "-1"], "--binary must lie between 0 and k - 1"),
        (["--rounds", "0"], "--rounds must be at least 1"),
    ],
)
def test_wrong_values_exit_with_status_2(
    argv: list[str], message: str, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as exit_info:
        parse_options(argv)
    assert exit_info.value.code == 2
    assert capsys.readouterr().err.rstrip().endswith("error: " + message)


def test_options_cannot_change_once_built() -> None:
    options = Options()
    with pytest.raises(AttributeError):
        options.n = 10  # type: ignore[misc]
