"""Where the fit's passes run and what they read: Dask's configured scheduler and number
of workers, and the effects of a fit that kept its design matrices, which read no data."""

import threading

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest

import velmora_margins
from velmora_margins.partitioned import passes, result

FORMULA = "affair ~ age + yrs_married + C(religious) + C(occupation):age"


@pytest.fixture
def reads(monkeypatch):
    """The threads in which partitions' arrays were built, one entry per partition read."""
    seen: list[int] = []
    for module in (passes, result):
        build = module.build_indexed

        def recording(*args, _build=build, **kwargs):
            seen.append(threading.get_ident())
            return _build(*args, **kwargs)

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
    assert set(reads) == {threading.get_ident()}  # all in this thread, as dask.get runs
    np.testing.assert_allclose(ours.params, expected.params, rtol=1e-12, atol=0)
    np.testing.assert_allclose(
        table["dy/dx"], velmora_margins.margins(expected)["dy/dx"], rtol=1e-12, atol=0
    )


@pytest.mark.dask_scheduler
def test_the_number_of_workers_dask_is_configured_with(fair, reads):
    with dask.config.set(num_workers=1):
        velmora_margins.fit(FORMULA, dd.from_pandas(fair, npartitions=6))
    assert len(reads) >= 6
    assert len(set(reads)) == 1
    assert threading.get_ident() not in reads


def in_files(frame, folder, files=3):
    for i, rows in enumerate(np.array_split(np.arange(len(frame)), files)):
        frame.iloc[rows].to_parquet(folder / f"part{i}.parquet")
    return str(folder), files


@pytest.mark.parametrize("source", ["pandas", "files"])
def test_effects_of_kept_matrices_read_no_data_and_equal_a_fresh_read(
    fair, reads, source, tmp_path
):
    frame = fair.assign(rate=fair["rate_marriage"] / 5.0)
    data, partitions = (frame, 1) if source == "pandas" else in_files(frame, tmp_path)
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
