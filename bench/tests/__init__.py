"""Tests of the benchmark harness: python -m pytest bench/tests (run by scripts/bench-smoke.sh)."""
