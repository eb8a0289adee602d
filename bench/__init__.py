"""The benchmark of velmora.zarn: python bench/run.py (see bench/README.md)."""
