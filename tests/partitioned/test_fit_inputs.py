"""Bad input to velmora_margins.fit and velmora --dask: an error that names the file,
partition or argument, never a hang; a worker that dies is retried, never wrong numbers."""

import os
import socket
import sys
from contextlib import contextmanager, suppress
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import velmora_margins
from support import in_parquet_files, local_cluster
from velmora_cli.cli import main

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")


@pytest.fixture
def parquet(tmp_path, fair):
    """The data as three Parquet files; returns their folder."""
    in_parquet_files(fair, tmp_path)
    return tmp_path


def from_parts(*frames):
    parts = [dask.delayed(lambda f: f)(frame) for frame in frames]
    return dd.from_delayed(parts, meta=frames[0].head(0), verify_meta=False)


def test_files_that_are_not_there(tmp_path):
    with pytest.raises(ValueError, match=r"data: file '.*nothere.parquet' does not exist"):
        velmora_margins.fit("affair ~ age", tmp_path / "nothere.parquet")
    with pytest.raises(ValueError, match=r"data: no file matches '.*\*.parquet'"):
        velmora_margins.fit("affair ~ age", str(tmp_path / "*.parquet"))
    with pytest.raises(ValueError, match="holds no Parquet or CSV files"):
        velmora_margins.fit("affair ~ age", tmp_path)


def test_files_that_disagree(parquet, fair):
    fair.iloc[:10].astype({"age": "int64"}).to_parquet(parquet / "part3.parquet")
    with pytest.raises(
        ValueError, match=r"'.*part3.parquet' and '.*part0.parquet' disagree on column 'age'"
    ):
        velmora_margins.fit("affair ~ age", parquet)
    (parquet / "part3.parquet").unlink()
    fair.iloc[:0].to_parquet(parquet / "part4.parquet")
    with pytest.raises(ValueError, match=r"'.*part4.parquet' holds no rows"):
        velmora_margins.fit("affair ~ age", parquet)


@pytest.mark.dask_scheduler
def test_partitions_that_lack_a_column_or_rows(fair):
    half = len(fair) // 2
    missing = from_parts(fair.iloc[:half], fair.iloc[half:].drop(columns="educ"))
    with pytest.raises(ValueError, match="partition 1 has no column 'educ'"):
        velmora_margins.fit("affair ~ age + educ", missing)
    empty = from_parts(fair.iloc[:half], fair.iloc[:0], fair.iloc[half:])
    with pytest.raises(ValueError, match="partition 1 holds no rows"):
        velmora_margins.fit("affair ~ age", empty)


def test_files_without_dask_say_how_to_install_it(monkeypatch, parquet):
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"pip install 'velmora\[dask\]'"):
        velmora_margins.fit("affair ~ age", parquet)


@pytest.mark.dask_scheduler
def test_arguments_that_do_not_fit(fair):
    gaps = fair.assign(group=fair["occupation"].where(fair.index % 50 != 7))
    data = dd.from_pandas(gaps, npartitions=3)
    with pytest.raises(ValueError, match=r"partition \d: cluster column 'group' is missing in"):
        velmora_margins.fit("affair ~ age", data, cluster="group")
    with pytest.raises(ValueError, match="cluster: no column 'nope'"):
        velmora_margins.fit("affair ~ age", data, cluster="nope")
    with pytest.raises(
        ValueError, match=r"model: expected 'logit', 'probit', .* or 'glm', got 'tob"
    ):
        velmora_margins.fit("affair ~ age", fair, model="tobit")
    with pytest.raises(ValueError, match="cov_type: 'cluster' needs cluster=COLUMN"):
        velmora_margins.fit("affair ~ age", fair, cov_type="cluster")
    with pytest.raises(TypeError, match="data: expected a pandas DataFrame"):
        velmora_margins.fit("affair ~ age", [1, 2, 3])


@pytest.mark.dask_scheduler
def test_models_that_cannot_be_fitted(fair):
    spector = sm.datasets.spector.load_pandas().data
    honours = spector.assign(honours=(spector["GPA"] > 3.0).astype(int))
    with pytest.raises(velmora_margins.FitError, match="perfectly separated"):
        velmora_margins.fit("honours ~ GPA + TUCE", dd.from_pandas(honours, npartitions=2))
    with pytest.raises(velmora_margins.FitError, match="columns have rank 2"):
        velmora_margins.fit("affair ~ age + I(2 * age)", fair)
    with pytest.raises(ValueError, match="the outcome must hold only 0 and 1"):
        velmora_margins.fit("religious ~ age", fair)


def die_once(values):
    """The values, but the first worker process that evaluates them dies on the spot."""
    flag = Path(os.environ["VELMORA_TEST_FLAG"])
    if "distributed" in sys.modules and not flag.exists():
        from distributed import get_worker

        try:
            get_worker()
        except ValueError:  # not in a worker: the learning pass in this process
            return values
        flag.touch()
        os._exit(1)
    return values


@pytest.mark.dask_scheduler
def test_a_worker_that_dies_is_retried(fair, tmp_path, monkeypatch):
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    monkeypatch.setenv("VELMORA_TEST_FLAG", str(tmp_path / "died"))
    with local_cluster(distributed) as cluster, distributed.Client(cluster):
        data = dd.from_pandas(fair, npartitions=4)
        ours = velmora_margins.fit("affair ~ age + die_once(educ)", data)
    assert (tmp_path / "died").exists()
    theirs = smf.logit("affair ~ age + educ", fair).fit(disp=0)
    np.testing.assert_allclose(ours.params.to_numpy(), theirs.params.to_numpy(), rtol=1e-8)


@contextmanager
def port_held(port):
    """Holds a loopback TCP port, as another program on the machine might; where one
    holds it already, it stays held all the same."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        with suppress(OSError):
            s.bind(("127.0.0.1", port))
            s.listen()
        yield


def run_main(capsys, *args):
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.dask_scheduler
def test_command_on_a_local_cluster_matches_the_plain_run(capsys, parquet, fair):
    formula = "affair ~ age + I(age**2) + C(religious)"
    out_dask, out_plain = parquet / "dask.csv", parquet / "plain.csv"
    fair.to_csv(parquet / "fair.csv", index=False)
    args = ["--formula", formula, "--model", "probit", "--by", "occupation", "-q"]
    # Another Dask scheduler on the machine (another test run, say) may hold port 8787,
    # where schedulers serve HTTP by default: the command's cluster starts all the same,
    # without a warning.
    with port_held(8787):
        status, _, err = run_main(
            capsys, parquet / "part*.parquet", *args, "--dask", "--output", out_dask
        )
    assert status == 0, err
    status, _, err = run_main(capsys, parquet / "fair.csv", *args, "--output", out_plain)
    assert status == 0, err
    dask_table, plain_table = pd.read_csv(out_dask), pd.read_csv(out_plain)
    pd.testing.assert_frame_equal(
        dask_table.drop(
            columns=["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi"]
        ),
        plain_table.drop(
            columns=["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi"]
        ),
    )
    np.testing.assert_allclose(dask_table["dy/dx"], plain_table["dy/dx"], rtol=1e-8)
    np.testing.assert_allclose(dask_table["Std. Err"], plain_table["Std. Err"], rtol=1e-7)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (
            ["--dask", "tcp://127.0.0.1:1"],
            "--dask: cannot reach a Dask scheduler at 'tcp://127.0.0.1:1'",
        ),
        (["--dask", "--se-method", "kova", "--per-column"], "cannot go with --dask"),
    ],
)
@pytest.mark.dask_scheduler
def test_command_refuses_what_it_cannot_run(capsys, parquet, args, message):
    status, out, err = run_main(
        capsys, parquet, "--formula", "affair ~ age", "--model", "logit", *args, "-q"
    )
    assert status in (1, 2)
    assert out == ""
    assert message in err.strip().splitlines()[-1]


def test_command_without_dask_says_how_to_install_it(capsys, monkeypatch, parquet):
    monkeypatch.setitem(sys.modules, "distributed", None)
    status, _, err = run_main(
        capsys, parquet, "--formula", "affair ~ age", "--model", "logit", "--dask", "-q"
    )
    assert status == 1
    assert "pip install 'velmora[dask]'" in err.strip().splitlines()[-1]
