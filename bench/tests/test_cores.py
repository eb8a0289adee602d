"""The second core's gain for a task that shares nothing."""

import math

from bench.cores import repeats_for, spin, two_core_gain


def test_the_unit_of_work_is_sized_to_the_time_asked() -> None:
    assert spin(50) > 0
    assert repeats_for(1e-6) == 200  # never fewer than the probe's own
    assert repeats_for(2.0) > 10 * repeats_for(0.002)


def test_two_processes_start_spin_together_and_report() -> None:
    # Its size depends on what else the machine runs; that both processes started,
    # waited for the word and reported shows in a finite figure, nan otherwise.
    gain = two_core_gain(seconds=0.02)
    assert math.isfinite(gain)
    assert gain > 0
