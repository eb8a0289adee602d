"""--dask: the Dask cluster that the fit and the effects run on, and their progress."""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from velmora_cli.errors import CliError, first_line

if TYPE_CHECKING:
    from velmora_cli.progress import Progress

LOCAL = "local"  # --dask without an address
CONNECT_TIMEOUT = "5s"


def import_distributed() -> Any:
    """Returns dask.distributed, or fails with how to install it."""
    try:
        return importlib.import_module("distributed")
    except ImportError as error:
        raise CliError(
            f"--dask needs Dask, which cannot be imported ({first_line(error)}); "
            "install it with: pip install 'velmora[dask]'"
        ) from None


@contextmanager
def dask_client(address: str | None, progress: Progress) -> Iterator[Any]:
    """Yields a client of the scheduler at address, or of a local cluster sized to the
    machine (address LOCAL), and closes what it opened; yields None for no address. A
    worker that dies while the block computes ends the run with a clear message."""
    if address is None:
        yield None
        return
    with connected(address, progress) as client:
        try:
            yield client
        except Exception as error:
            if type(error).__name__ == "KilledWorker":
                raise CliError(
                    f"a Dask worker died while computing ({first_line(error)}); no result is "
                    "given; look for a worker short of memory, or retry"
                ) from None
            raise


@contextmanager
def connected(address: str, progress: Progress) -> Iterator[Any]:
    """Yields a client of the scheduler at address, or of a new local cluster."""
    distributed = import_distributed()
    if address == LOCAL:
        workers = max(1, os.cpu_count() or 1)
        with progress.step(f"starting a local Dask cluster of {workers} workers") as details:
            cluster = distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                # Even without a dashboard a scheduler serves HTTP (metrics, health), by
                # default on port 8787; where another scheduler on the machine holds it,
                # it takes another and warns. A free loopback port from the start.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            )
            details.append(f"scheduler at {cluster.scheduler_address}")
        with cluster, distributed.Client(cluster) as client:
            yield client
        return
    try:
        with progress.step(f"connecting to the Dask scheduler at {address}"):
            client = distributed.Client(address, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError, ValueError) as error:
        raise CliError(
            f"--dask: cannot reach a Dask scheduler at '{address}' ({first_line(error)}); "
            "check the address and that the scheduler runs"
        ) from None
    with client:
        yield client


class PartitionsDone:
    """Reports the partitions done of each pass over the data."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.passes = 0

    def __call__(self, done: int, total: int) -> None:
        if done == 1 or total == 1:
            self.passes += 1
        text = f"pass {self.passes}: {done} of {total} partitions done"
        self.progress.within(text, last=done == total)
