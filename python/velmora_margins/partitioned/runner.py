"""Running a task on every partition: in threads for a pandas DataFrame, on Dask otherwise.

A task takes a partition (a pandas DataFrame) and its index and returns a small value;
the runner returns the values in partition order. Results the caller wants kept (the
partitions' design matrices, say) stay where they were made: in this process, or on the
Dask workers, persisted.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

import pandas as pd

from velmora_margins.partitioned.sources import Source, read_file

T = TypeVar("T")
K = TypeVar("K")

# Called with the partitions done and their number, as they finish.
Progress = Callable[[int, int], None]


def module(name: str) -> Any:
    """Returns a module of Dask's, untyped: Dask's own annotations are partial."""
    return importlib.import_module(name)


def default_client() -> Any:
    """Returns the current dask.distributed client, or None."""
    try:
        distributed = module("distributed")
    except ImportError:
        return None
    try:
        return distributed.default_client()
    except ValueError:
        return None


class LocalRunner:
    """Partitions of a pandas DataFrame, run in a pool of threads (the kernels release
    the interpreter lock)."""

    def __init__(self, source: Source, progress: Progress | None = None) -> None:
        self.source = source
        self.progress = progress
        self.threads = min(source.partitions, os.cpu_count() or 1)

    @property
    def partitions(self) -> int:
        return self.source.partitions

    def describe(self, index: int) -> str:
        return self.source.describe(index)

    def _map(self, task: Callable[[int], T]) -> list[T]:
        total = self.partitions
        if self.threads <= 1:
            out = []
            for i in range(total):
                out.append(task(i))
                self._report(i + 1, total)
            return out
        with ThreadPoolExecutor(self.threads) as pool:
            futures = [pool.submit(task, i) for i in range(total)]
            results = []
            for done, future in enumerate(futures, 1):
                results.append(future.result())
                self._report(done, total)
            return results

    def _report(self, done: int, total: int) -> None:
        if self.progress is not None:
            self.progress(done, total)

    def run(self, task: Callable[[pd.DataFrame, int], T]) -> list[T]:
        return self._map(lambda i: task(self.source.local_partition(i), i))

    def keep(self, task: Callable[[pd.DataFrame, int], K]) -> list[K]:
        return self.run(task)

    def run_kept(self, kept: Sequence[Any], task: Callable[[Any, int], T]) -> list[T]:
        return self._map(lambda i: task(kept[i], i))

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        frame = self.source.local_partition(index)
        return frame if rows is None else frame.iloc[:rows]


class DaskRunner:
    """Partitions of a Dask DataFrame, run on the current dask.distributed client if
    there is one, else on Dask's local threaded scheduler."""

    def __init__(self, source: Source, progress: Progress | None = None) -> None:
        self.source = source
        self.progress = progress
        self.parts = source.delayed_partitions()
        self.client = default_client()
        self._stage = 0

    @property
    def partitions(self) -> int:
        return len(self.parts)

    def describe(self, index: int) -> str:
        return self.source.describe(index)

    def _compute(self, tasks: list[Any]) -> list[Any]:
        total = len(tasks)
        if self.client is not None:
            futures = self.client.compute(tasks)
            for done, _ in enumerate(module("distributed").as_completed(futures), 1):
                self._report(done, total)
            return list(self.client.gather(futures))
        dask, callbacks = module("dask"), module("dask.callbacks")

        prefix = tasks[0].key.rsplit("-", 1)[0] if tasks else ""
        finished = 0

        def posttask(key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
            nonlocal finished
            if str(key).startswith(prefix):
                finished += 1
                self._report(finished, total)

        with callbacks.Callback(posttask=posttask):
            return list(dask.compute(*tasks, scheduler="threads"))

    def _report(self, done: int, total: int) -> None:
        if self.progress is not None:
            self.progress(done, total)

    def _tasks(self, task: Callable[..., T], items: Sequence[Any]) -> list[Any]:
        delayed = module("dask").delayed
        self._stage += 1
        name = f"velmora-{getattr(task, '__name__', 'task')}-{id(self)}-{self._stage}"
        return [
            delayed(task, pure=False)(item, i, dask_key_name=f"{name}-{i}")
            for i, item in enumerate(items)
        ]

    def run(self, task: Callable[[pd.DataFrame, int], T]) -> list[T]:
        return self._compute(self._tasks(task, self.parts))

    def keep(self, task: Callable[[pd.DataFrame, int], K]) -> list[Any]:
        tasks = self._tasks(task, self.parts)
        if self.client is not None:
            return list(self.client.persist(tasks))
        return list(module("dask").persist(*tasks, scheduler="threads"))

    def run_kept(self, kept: Sequence[Any], task: Callable[[Any, int], T]) -> list[T]:
        return self._compute(self._tasks(task, kept))

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        """Returns a partition (its first rows only, given rows), read in this process."""
        source = self.source
        if rows is not None and source.files is not None and source.names is not None:
            return read_file(source.names[index], source.files, source.columns, rows)
        frame: pd.DataFrame = module("dask").compute(self.parts[index], scheduler="threads")[0]
        return frame if rows is None else frame.iloc[:rows]


Runner = LocalRunner | DaskRunner


def runner_for(source: Source, progress: Progress | None = None) -> Runner:
    return (
        LocalRunner(source, progress) if source.frame is not None else DaskRunner(source, progress)
    )
