"""The ``velmora`` command: average marginal effects of Logit and Probit models from the shell.

Run ``velmora --help`` for its options; :func:`velmora_cli.cli.main` is the entry point.
"""

__all__ = ["main"]

from velmora_cli.cli import main
