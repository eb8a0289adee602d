"""Running a task on every partition of a source: in threads, or on Dask.

A task takes a partition (a pandas DataFrame) and its index and returns a small value; a
runner returns the values in partition order and reports the partitions done as they
finish. Results the caller wants kept (the partitions' design matrices, say) stay where
they were made: in this process, or on the Dask workers, persisted.

A pandas DataFrame's partitions run in this process's threads (the kernels release the
interpreter lock); the others on the current dask.distributed client if there is one, else
on the scheduler Dask is configured with (its threaded scheduler unless set otherwise).
"""

from __future__ import annotations

import copy
import importlib
import itertools
import os
import sys
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

import pandas as pd

from velmora_margins.partitioned.parts import row_piece
from velmora_margins.partitioned.sources import (
    DaskFrameSource,
    FileSource,
    Source,
    threaded_scheduler,
)

T = TypeVar("T")

# Called with the partitions done and their number, as they finish.
Progress = Callable[[int, int], None]

# Numbers the Dask runners' stages, so that no two stages' keys are alike.
STAGES = itertools.count(1)


def module(name: str) -> Any:
    """Returns a module of Dask's, untyped: Dask's own annotations are partial."""
    return importlib.import_module(name)


def default_client() -> Any:
    """Returns the current dask.distributed client, or None. There is none where
    dask.distributed has not been imported, and importing it to find that out would add a
    third of a second to a process's first fit on threads."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.default_client()
    except ValueError:
        return None


class Runner(ABC):
    """Runs tasks on the partitions of a source."""

    def __init__(self, source: Source, progress: Progress | None = None) -> None:
        self.source = source
        self.progress = progress
        self.count: int | None = None  # runs on the first count partitions alone, given one

    @property
    def partitions(self) -> int:
        return self.source.partitions if self.count is None else self.count

    def first(self, count: int) -> Runner:
        """Returns the runner over the source's first count partitions alone."""
        runner = copy.copy(self)
        runner.count = min(count, self.partitions)
        return runner

    def describe(self, index: int) -> str:
        return self.source.describe(index)

    def names(self) -> list[str]:
        """Returns what each partition is called in messages, for tasks to name theirs."""
        return [self.source.describe(i) for i in range(self.partitions)]

    def load(self, index: int, rows: int | None = None) -> pd.DataFrame:
        """Returns a partition (its first rows only, given rows), loaded in this process."""
        return self.source.load(index, rows)

    def over(self, columns: Sequence[str], levels: Sequence[str] = ()) -> Runner:
        """Returns a runner of the same kind over only the given columns, reading those of
        levels that only name levels as its source reads them fastest (reading_levels)."""
        source = self.source.select(columns)
        return type(self)(source.reading_levels(levels) if levels else source, self.progress)

    def report(self, done: int, total: int) -> None:
        if self.progress is not None:
            self.progress(done, total)

    @abstractmethod
    def run(self, task: Callable[[pd.DataFrame, int], T]) -> list[T]:
        """Returns the task's value on every partition, in partition order."""

    @abstractmethod
    def keep(self, task: Callable[[pd.DataFrame, int], Any]) -> list[Any]:
        """Runs the task on every partition and keeps its values where they were made;
        returns handles for run_kept."""

    @abstractmethod
    def run_kept(self, kept: Sequence[Any], task: Callable[[Any, int], T]) -> list[T]:
        """Returns the task's value on every kept value, in partition order."""

    @abstractmethod
    def split_kept(self, kept: Sequence[Any], pieces: int) -> list[Any]:
        """Returns handles of each kept partition's rows in so many consecutive pieces (of
        the same memory), kept where the partitions are, in order."""


class ThreadRunner(Runner):
    """Partitions of a pandas DataFrame, run in a pool of threads."""

    def map(self, task: Callable[[int], T], total: int | None = None) -> list[T]:
        total = self.partitions if total is None else total
        threads = min(total, os.cpu_count() or 1)
        if threads <= 1:
            out = []
            for i in range(total):
                out.append(task(i))
                self.report(i + 1, total)
            return out
        with ThreadPoolExecutor(threads) as pool:
            futures = [pool.submit(task, i) for i in range(total)]
            results = []
            for done, future in enumerate(futures, 1):
                results.append(future.result())
                self.report(done, total)
            return results

    def run(self, task: Callable[[pd.DataFrame, int], T]) -> list[T]:
        return self.map(lambda i: task(self.source.load(i), i))

    def keep(self, task: Callable[[pd.DataFrame, int], Any]) -> list[Any]:
        return self.run(task)

    def run_kept(self, kept: Sequence[Any], task: Callable[[Any, int], T]) -> list[T]:
        return self.map(lambda i: task(kept[i], i), len(kept))

    def split_kept(self, kept: Sequence[Any], pieces: int) -> list[Any]:
        return [row_piece(part, piece, pieces) for part in kept for piece in range(pieces)]


class DaskRunner(Runner):
    """Partitions of a Dask DataFrame or of files, run on Dask."""

    def __init__(self, source: Source, progress: Progress | None = None) -> None:
        super().__init__(source, progress)
        assert isinstance(source, DaskFrameSource | FileSource)
        self.parts = source.delayed()
        self.client = default_client()

    def scheduler(self) -> Callable[..., Any] | None:
        """Returns the scheduler to run: Dask's threaded one, or None for the one Dask is
        configured with."""
        if module("dask").config.get("scheduler", None) is not None:
            return None
        return threaded_scheduler()

    def compute(self, tasks: list[Any]) -> list[Any]:
        total = len(tasks)
        if self.client is not None:
            futures = self.client.compute(tasks)
            for done, _ in enumerate(module("distributed").as_completed(futures), 1):
                self.report(done, total)
            return list(self.client.gather(futures))
        dask, callbacks = module("dask"), module("dask.callbacks")
        prefix = tasks[0].key.rsplit("-", 1)[0] if tasks else ""
        finished = 0

        def posttask(key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
            nonlocal finished
            if str(key).startswith(prefix):
                finished += 1
                self.report(finished, total)

        with callbacks.Callback(posttask=posttask):
            return list(dask.compute(*tasks, scheduler=self.scheduler()))

    def tasks(self, task: Callable[..., Any], items: Sequence[Any]) -> list[Any]:
        delayed = module("dask").delayed
        name = f"velmora-{getattr(task, '__name__', 'task')}-{id(self)}-{next(STAGES)}"
        return [
            delayed(task, pure=False)(item, i, dask_key_name=f"{name}-{i}")
            for i, item in enumerate(items)
        ]

    def run(self, task: Callable[[pd.DataFrame, int], T]) -> list[T]:
        return self.compute(self.tasks(task, self.parts[: self.partitions]))

    def persist(self, tasks: list[Any]) -> list[Any]:
        """Runs the tasks and keeps their values where they were made."""
        if self.client is not None:
            return list(self.client.persist(tasks))
        return list(module("dask").persist(*tasks, scheduler=self.scheduler()))

    def keep(self, task: Callable[[pd.DataFrame, int], Any]) -> list[Any]:
        return self.persist(self.tasks(task, self.parts[: self.partitions]))

    def run_kept(self, kept: Sequence[Any], task: Callable[[Any, int], T]) -> list[T]:
        return self.compute(self.tasks(task, kept))

    def split_kept(self, kept: Sequence[Any], pieces: int) -> list[Any]:
        delayed = module("dask").delayed
        tasks = [
            delayed(row_piece, pure=False)(part, piece, pieces)
            for part in kept
            for piece in range(pieces)
        ]
        return self.persist(tasks)


def runner_for(source: Source, progress: Progress | None = None) -> Runner:
    """Returns the runner of a source's partitions: threads for a pandas DataFrame, Dask
    for the others."""
    return ThreadRunner(source, progress) if source.local else DaskRunner(source, progress)
