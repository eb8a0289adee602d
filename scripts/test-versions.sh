#!/usr/bin/env bash
# Builds velmora and runs its test suite on every supported CPython, each in a
# virtual environment of its own, and reports which versions passed.
# Usage: bash scripts/test-versions.sh [pytest arguments]
# VELMORA_VERSIONS="3.11.7 3.13.0" picks the pyenv versions to try.
set -euo pipefail
cd "$(dirname "$0")/.."

versions=${VELMORA_VERSIONS:-"3.11.7 3.12.1 3.13.0"}
venv_root=${VELMORA_VENV_ROOT:-.}

if ! command -v pyenv >/dev/null 2>&1; then
    echo "test-versions.sh: pyenv is needed to find the interpreters" >&2
    exit 1
fi

declare -a passed=() failed=()
for version in $versions; do
    echo "=== CPython $version"
    if ! prefix=$(pyenv prefix "$version" 2>/dev/null); then
        echo "CPython $version is not installed in pyenv" >&2
        failed+=("$version (not installed)")
        continue
    fi
    if VELMORA_PYTHON="$prefix/bin/python3" VELMORA_VENV="$venv_root/.venv-$version" \
        bash scripts/test.sh -q "$@"; then
        passed+=("$version")
    else
        failed+=("$version")
    fi
done

echo "=== passed on: ${passed[*]:-none}"
if ((${#failed[@]})); then
    echo "=== failed on: ${failed[*]}" >&2
    exit 1
fi
