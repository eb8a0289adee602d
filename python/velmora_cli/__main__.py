"""Runs the command as ``python -m velmora_cli``."""

import sys

from velmora_cli.cli import main

sys.exit(main())
