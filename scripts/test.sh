#!/usr/bin/env bash
# Builds velmora into a fresh virtual environment with its test extras and runs the test suite.
# Usage: bash scripts/test.sh [pytest arguments]
#
# The packages are those of the interpreter's stack in .ci/locks (see scripts/stacks.sh).
# VELMORA_LOCK names another lock file, or "none" for the newest releases the package's
# requirements allow; VELMORA_CONSTRAINTS adds a pip constraints file.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/stacks.sh
venv=${VELMORA_VENV:-.venv}
lock=${VELMORA_LOCK:-$(default_lock "$python_bin")}
echo "test.sh: $("$python_bin" --version), packages: ${lock/#none/the newest releases}"

"$python_bin" -m venv --clear "$venv"
install_locked "$venv" "$lock" -C cmake.define.VELMORA_WERROR=ON '.[test]'
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
