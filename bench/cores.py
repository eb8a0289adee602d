"""What a second core gave at the moment: the same arithmetic on one core, then on two.

On a machine shared with others (a virtual machine's cores are threads of a host that runs
other machines too) the share of the host a core gets varies from minute to minute, and a
parallel program's gain from its second core varies with it. A task that shares nothing,
neither memory nor locks, shows the most the cores could give: the same loop over a small
array (it stays in each core's cache), run twice in a row in this process, then once in
each of two processes started together. The partitioned case measures it after each
round and prints it beside the one-thread target.
"""

import math
import multiprocessing
import time
from typing import Any

import numpy as np

# Values per call: small enough to stay in a core's own cache.
VALUES = 1 << 13


def spin(repeats: int) -> float:
    """Returns the wall time of repeats calls of exp over a small array."""
    values = np.linspace(-1.0, 1.0, VALUES)
    out = np.empty_like(values)
    started = time.perf_counter()
    for _ in range(repeats):
        np.exp(values, out=out)
    return time.perf_counter() - started


def spin_together(ready: Any, go: Any, repeats: int, times: Any) -> None:
    """Says it has started, waits for the word, then spins and reports its time."""
    ready.wait()
    go.wait()
    times.put(spin(repeats))


def repeats_for(seconds: float) -> int:
    """Returns the repeats that take about seconds on one core just now."""
    probe = 200
    taken = spin(probe)
    return max(probe, round(probe * seconds / max(taken, 1e-9)))


def two_core_gain(seconds: float = 0.25) -> float:
    """Returns the time of two units of work on one core over their time on two cores,
    each unit taking about seconds; nan if the two processes could not run."""
    repeats = repeats_for(seconds)
    context = multiprocessing.get_context("spawn")
    # This process and the two: all started, then the two spin together.
    ready, go, times = context.Barrier(3), context.Barrier(3), context.Queue()
    workers = [
        context.Process(target=spin_together, args=(ready, go, repeats, times), daemon=True)
        for _ in range(2)
    ]
    try:
        for worker in workers:
            worker.start()
        ready.wait(timeout=120)
        # The two wait, idle, while this process does both units on one core.
        one = spin(repeats) + spin(repeats)
        go.wait(timeout=120)
        two = max(float(times.get(timeout=120)) for _ in workers)
    except Exception:  # a process that did not start or report: no figure
        one, two = math.nan, 1.0
    finally:
        for worker in workers:
            if worker.pid is not None:
                worker.join(timeout=10)
                if worker.is_alive():
                    worker.terminate()
    return one / two
