"""Measurement inside a worker process: wall and CPU time, peak extra memory, BLAS.

The peak extra memory of a call is the peak resident set during the call minus
the resident set before it: the peak is reset (/proc/self/clear_refs) right
before the call starts. Linux only.
"""

import gc
import time
from collections.abc import Callable
from typing import Any, TypedDict, TypeVar

T = TypeVar("T")


class Timings(TypedDict):
    """Per timed call: wall seconds, CPU seconds of the process, peak extra MiB."""

    seconds: list[float]
    cpu_seconds: list[float]
    peak_mib: list[float]


def no_timings() -> Timings:
    """Returns timings of no calls, to be extended call by call."""
    return {"seconds": [], "cpu_seconds": [], "peak_mib": []}


def add_timings(into: Timings, more: Timings) -> None:
    """Appends the calls of more to into."""
    into["seconds"] += more["seconds"]
    into["cpu_seconds"] += more["cpu_seconds"]
    into["peak_mib"] += more["peak_mib"]


def proc_status_kib(field: str) -> int:
    """Returns a field of /proc/self/status in KiB (VmRSS, VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak() -> None:
    """Resets VmHWM to the current resident set (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def settle(limit: float = 2.0, interval: float = 0.02, quiet: float = 0.002) -> None:
    """Waits, at most limit seconds, until the other threads of this process are idle.

    OpenBLAS's worker threads spin for about 0.1 s after the library loads (and
    after a threaded product) before they sleep. A call timed while they spin
    would count their CPU time as its own: up to 0.1 s on the first zarn call
    after the import.
    """
    deadline = time.perf_counter() + limit
    while time.perf_counter() < deadline:
        others = time.process_time() - time.thread_time()
        time.sleep(interval)
        if time.process_time() - time.thread_time() - others < quiet:
            return


def measure(call: Callable[[], T], repeat: int) -> tuple[T, Timings]:
    """Returns the last result and, per call, the wall and CPU seconds and peak extra MiB.

    The CPU time (of the whole process, BLAS threads included) is less disturbed
    than the wall time when other programs share the cores. Each call starts
    once the process's other threads are idle.
    """
    if repeat < 1:
        raise ValueError(f"repeat must be at least 1, got {repeat}")
    timings = no_timings()
    last: list[T] = []
    for _ in range(repeat):
        last.clear()  # the previous result is not part of the next call's memory
        gc.collect()
        settle()
        before = proc_status_kib("VmRSS")
        reset_peak()
        cpu_start, start = time.process_time(), time.perf_counter()
        result = call()
        timings["seconds"].append(time.perf_counter() - start)
        timings["cpu_seconds"].append(time.process_time() - cpu_start)
        timings["peak_mib"].append((proc_status_kib("VmHWM") - before) / 1024.0)
        last.append(result)
        del result
    return last[0], timings


def blas_info() -> list[dict[str, Any]] | None:
    """Returns the file, version, threads and kernel of each BLAS loaded, or None.

    None when threadpoolctl is not installed.
    """
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    return [
        {key: info.get(key) for key in ("filepath", "version", "num_threads", "architecture")}
        for info in threadpool_info()
        if info.get("user_api") == "blas"
    ]
