#!/usr/bin/env bash
# Installs the binary wheel from dist/ as a user would, into a fresh virtual environment on
# a PATH with no compiler and no CMake, from a folder of downloaded wheels only (pip
# --no-index), and runs the whole test suite against the installed package, from a copy of
# tests/ outside the source tree.
# Usage: bash scripts/wheel-test.sh [pytest arguments]   (after bash scripts/wheel.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/stacks.sh
work=${VELMORA_WHEEL_WORK:-build/wheel}
minor=$(python_minor "$python_bin")
tag="cp${minor/./}-cp${minor/./}"
wheel=$(find dist -name "velmora-*-$tag-*manylinux_2_17_x86_64*.whl" -print -quit)
if [[ -z $wheel ]]; then
    echo "wheel-test.sh: no $tag manylinux wheel in dist/; run bash scripts/wheel.sh first" >&2
    exit 1
fi
lock=$(default_lock "$python_bin")

# The wheels of velmora's dependencies and of the test extra, at the versions of the lock.
found="$work/find-links"
rm -rf "$found" "$work/venv" "$work/tests"
mkdir -p "$found"
cp "$wheel" "$found/"
"$python_bin" -m pip download --quiet --only-binary=:all: -c "$lock" -d "$found" \
    "$(realpath "$wheel")[cli,parquet,dask,test]"

# A PATH of the few commands the tests start besides the environment's own, so that no
# compiler, CMake or ninja can be found.
bin="$work/no-compiler-bin"
rm -rf "$bin"
mkdir -p "$bin"
for command in bash sh env cat ls rm mkdir cp grep sed uname; do
    ln -s "$(command -v "$command")" "$bin/$command"
done
"$python_bin" -m venv "$work/venv"
venv=$(cd "$work/venv" && pwd)
export PATH="$venv/bin:$(cd "$bin" && pwd)"
unset CC CXX
for tool in cc c++ gcc g++ clang clang++ cmake ninja; do
    if command -v "$tool" >/dev/null; then
        echo "wheel-test.sh: $tool is on the PATH: $(command -v "$tool")" >&2
        exit 1
    fi
done
python -m pip install --quiet --no-index --find-links "$found" 'velmora[cli,parquet,dask]'
python -m pip install --quiet --no-index --find-links "$found" 'velmora[test]'
python -m pip show velmora | grep -E '^(Name|Version|Location):'

# The suite from a copy, so that nothing of the source tree is on sys.path.
mkdir -p "$work/tests"
cp -r tests pyproject.toml "$work/tests/"
cd "$work/tests"
python -c 'import velmora, velmora_margins; print("testing", velmora.__file__)'
python -m pytest -p no:cacheprovider "$@"
