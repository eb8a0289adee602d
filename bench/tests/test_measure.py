"""Timing and peak extra memory of a call, measured inside the process."""

import numpy as np
import pytest

from bench.measure import measure, proc_status_kib, reset_peak


def test_every_call_is_measured_and_the_last_result_returned() -> None:
    calls = iter(range(3))
    result, timings = measure(lambda: next(calls), 3)
    assert result == 2
    for key in ("seconds", "cpu_seconds", "peak_mib"):
        assert len(timings[key]) == 3
        assert all(value >= 0.0 for value in timings[key])


def test_the_peak_counts_what_the_call_allocates() -> None:
    def allocate() -> float:
        block = np.ones(8 * 2**20)  # 64 MiB, written, so resident
        return float(block[-1])

    _, timings = measure(allocate, 2)
    assert all(peak >= 48.0 for peak in timings["peak_mib"])


def test_a_call_that_allocates_nothing_has_no_peak() -> None:
    # Neither memory resident before the call nor an earlier peak is the call's.
    resident = np.ones(8 * 2**20)
    earlier = np.ones(16 * 2**20)
    del earlier
    _, timings = measure(lambda: None, 2)
    assert all(peak < 8.0 for peak in timings["peak_mib"])
    del resident


def test_reset_peak_brings_the_peak_down_to_the_resident_set() -> None:
    block = np.ones(16 * 2**20)  # 128 MiB
    del block
    assert proc_status_kib("VmHWM") - proc_status_kib("VmRSS") >= 64 * 1024
    reset_peak()
    assert proc_status_kib("VmHWM") - proc_status_kib("VmRSS") < 8 * 1024


def test_a_measurement_needs_a_call() -> None:
    with pytest.raises(ValueError, match="repeat must be at least 1, got 0"):
        measure(lambda: 1, 0)
