"""The partitioned worker: the phases it times, and its run on one thread."""

import sys
import time
import types
from collections.abc import Iterator

import pytest

from bench.competitors.partitioned import PHASES, Phases, scheduler_threads


@pytest.fixture
def fake_package() -> Iterator[types.ModuleType]:
    package = types.ModuleType("fake_partitioned")
    package.__path__ = []
    module = types.ModuleType("fake_partitioned.work")

    class Passes:
        def __init__(self) -> None:
            time.sleep(0.01)

    def step(value: int) -> int:
        return value + 1

    module.Passes = Passes  # type: ignore[attr-defined]
    module.step = step  # type: ignore[attr-defined]
    module.constant = 3  # type: ignore[attr-defined]
    sys.modules.update({"fake_partitioned": package, "fake_partitioned.work": module})
    yield module
    del sys.modules["fake_partitioned"], sys.modules["fake_partitioned.work"]


def test_phases_time_the_functions_found_and_list_the_others(
    fake_package: types.ModuleType,
) -> None:
    phases = Phases()
    phases.wrap_all(
        (
            ("work", "Passes.__init__", "building"),
            ("work", "step", "stepping"),
            ("work", "sample_start", "a function this version lacks"),
            ("work", "Sample.start", "a class this version lacks"),
            ("work", "constant", "not a function"),
            ("gone", "start", "a module this version lacks"),
        ),
        package="fake_partitioned",
    )
    assert phases.unwrapped == [
        "work.sample_start",
        "work.Sample.start",
        "work.constant",
        "gone.start",
    ]
    fake_package.Passes()
    assert [fake_package.step(1), fake_package.step(2)] == [2, 3]
    assert phases.calls == {"building": 1, "stepping": 2}
    assert phases.seconds["building"] >= 0.01
    assert len(PHASES) == len({label for _, _, label in PHASES})


def test_every_phase_is_a_function_of_this_velmora() -> None:
    phases = Phases()
    phases.wrap_all(tuple((module, name, f"{module}.{name}") for module, name, _ in PHASES))
    assert phases.unwrapped == []


def test_one_thread_holds_dask_arrow_and_every_blas_to_one() -> None:
    import dask
    import numpy  # noqa: F401  # loads NumPy's BLAS before the limits
    import pyarrow
    from threadpoolctl import threadpool_info, threadpool_limits

    def blas() -> set[int]:
        return {i["num_threads"] for i in threadpool_info() if i["user_api"] == "blas"}

    # Two threads to begin with, so that one is the limit's doing and not the machine's.
    with threadpool_limits(2, user_api="blas"):
        pyarrow.set_cpu_count(2)
        pyarrow.set_io_thread_count(2)
        with scheduler_threads(1):
            assert dask.config.get("num_workers") == 1
            assert (pyarrow.cpu_count(), pyarrow.io_thread_count()) == (1, 1)
            assert blas() == {1}
        assert (pyarrow.cpu_count(), pyarrow.io_thread_count()) == (2, 2)
        assert dask.config.get("num_workers", None) is None
        assert blas() == {2}
