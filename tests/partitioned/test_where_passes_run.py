"""Where the fit's passes run and what they read: Dask's configured scheduler and number
of workers, and the effects of a fit that kept its design matrices, which read no data."""

import subprocess
import sys
import textwrap
import threading

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest

import velmora_margins
from support import in_parquet_files
from velmora_margins.partitioned import passes, result

FORMULA = "affair ~ age + yrs_married + C(religious) + C(occupation):age"


@pytest.fixture
def reads(monkeypatch):
    """Each partition read, as the thread it was built in and the partition's index."""
    seen: list[tuple[int, int]] = []
    for module in (passes, result):
        build = module.build_indexed

        def recording(frame, index, *args, _build=build, **kwargs):
            seen.append((threading.get_ident(), index))
            return _build(frame, index, *args, **kwargs)

        monkeypatch.setattr(module, "build_indexed", recording)
    return seen


@pytest.mark.dask_scheduler
def test_the_scheduler_dask_is_configured_with_runs_every_pass(fair, reads):
    scheduled = []

    def synchronous(graph, keys, **kwargs):
        scheduled.append(keys)
        return dask.get(graph, keys, **kwargs)

    expected = velmora_margins.fit(FORMULA, fair)
    with dask.config.set(scheduler=synchronous):
        ours = velmora_margins.fit(FORMULA, dd.from_pandas(fair, npartitions=4))
        table = velmora_margins.margins(ours)
    assert len(scheduled) >= 3  # the levels, the arrays kept, the Newton passes
    assert {thread for thread, _ in reads} == {threading.get_ident()}  # as dask.get runs
    np.testing.assert_allclose(ours.params, expected.params, rtol=1e-12, atol=0)
    np.testing.assert_allclose(
        table["dy/dx"], velmora_margins.margins(expected)["dy/dx"], rtol=1e-12, atol=0
    )


@pytest.mark.dask_scheduler
def test_the_number_of_workers_dask_is_configured_with(fair, reads):
    with dask.config.set(num_workers=1):
        velmora_margins.fit(FORMULA, dd.from_pandas(fair, npartitions=6))
    threads = [thread for thread, _ in reads]
    assert len(threads) >= 6
    assert len(set(threads)) == 1
    assert threading.get_ident() not in threads


@pytest.mark.dask_scheduler
def test_fits_on_threads_leave_dask_distributed_unimported(fair, tmp_path):
    """Finding that no dask.distributed client runs must not import dask.distributed,
    which takes longer than a small fit."""
    pytest.importorskip("distributed")
    files = in_parquet_files(fair, tmp_path)
    script = textwrap.dedent(
        f"""
        import sys
        import dask.dataframe as dd
        import pandas as pd
        import velmora_margins
        for data in ({files!r}, dd.from_pandas(pd.read_parquet({files!r}), npartitions=3)):
            velmora_margins.margins(velmora_margins.fit({FORMULA!r}, data))
        print("distributed" in sys.modules)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=300
    )
    assert done.stdout.split() == ["False"]


@pytest.mark.parametrize("source", ["pandas", "files"])
def test_effects_of_kept_matrices_read_no_data_and_equal_a_fresh_read(
    fair, reads, source, tmp_path
):
    frame = fair.assign(rate=fair["rate_marriage"] / 5.0)
    data, partitions = (frame, 1) if source == "pandas" else (in_parquet_files(frame, tmp_path), 3)
    # Effects whose design columns change by constants alone: no data column is evaluated.
    formula = "affair ~ age + yrs_married + C(religious) + C(occupation)"
    fitted = velmora_margins.fit(formula, data, weights="rate")
    assert fitted.model.kept is not None
    del reads[:]
    kept = velmora_margins.margins(fitted)
    assert reads == []  # the fit's rows, weights and design, taken again
    fitted.model.kept = None
    fresh = velmora_margins.margins(fitted)
    assert len(reads) == partitions
    pd.testing.assert_frame_equal(kept, fresh, check_exact=True)


def test_effects_that_need_other_columns_read_the_data_again(fair, reads):
    fitted = velmora_margins.fit(FORMULA, fair)
    for options in ({"by": "children"}, {"weights": "educ"}, {}):  # {}: C(occupation):age
        del reads[:]
        velmora_margins.margins(fitted, **options)
        assert reads, options


def test_the_fit_reads_each_partition_once_for_its_kept_matrices(
    fair, reads, tmp_path, monkeypatch
):
    """Every partition's design matrices are kept once; the sample's fit takes those of
    its partitions again rather than reading them."""
    data = in_parquet_files(fair, tmp_path, files=8)
    samples = []
    first = passes.Passes.first
    monkeypatch.setattr(
        passes.Passes, "first", lambda self, *a: samples.append(a) or first(self, *a)
    )
    ours = velmora_margins.fit(FORMULA, data)
    assert samples == [(2, True)]
    assert sorted(index for _, index in reads) == list(range(8))
    np.testing.assert_allclose(ours.params, velmora_margins.fit(FORMULA, fair).params, rtol=1e-10)
