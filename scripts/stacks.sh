# Sourced by the other scripts: the test stacks and their lock files.
#
# A stack is one CPython with the package's test extras at the versions the test suite
# last passed on, written down by `bash scripts/lock.sh` in .ci/locks/:
#   STACK.txt         the run-time and test packages (pip freeze of the passing stack)
#   build-pyX.Y.txt   what the build of the extension takes on that CPython
#   tools.txt         clang-format
# The package's own requirements stay ranges; the lock files only pin what CI and the
# README's test command install, so that a release elsewhere cannot change a run.

locks=.ci/locks

# The stacks, each with its pyenv CPython and, after the colon, a file of ranges that
# narrows the package's own requirements (the NumPy 1.x stack).
declare -A stack_python=([py3.13]=3.13.0 [py3.12]=3.12.1 [py3.11]=3.11.7 [numpy1-py3.12]=3.12.1)
declare -A stack_ranges=([numpy1-py3.12]=.ci/numpy1.txt)

# Prints "X.Y" of an interpreter.
python_minor() {
    "$1" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")'
}

# Prints the lock file of the plain stack of an interpreter, or "none" if there is none.
default_lock() {
    local file
    file="$locks/py$(python_minor "$1").txt"
    if [[ -f $file ]]; then echo "$file"; else echo none; fi
}

# Installs into a virtual environment what follows the lock argument (pip requirement
# arguments), constrained by the lock ("none": the newest releases the ranges allow) and by
# VELMORA_CONSTRAINTS when set. The extension's build is constrained by the build lock of
# the environment's CPython.
install_locked() {
    local venv=$1 lock=$2
    shift 2
    local python="$venv/bin/python" constraints=() build=()
    if [[ $lock != none ]]; then
        if [[ ! -f $lock ]]; then
            echo "no lock file '$lock'; refresh the locks with: bash scripts/lock.sh" >&2
            return 1
        fi
        constraints=(-c "$lock")
        local build_lock
        build_lock="$locks/build-py$(python_minor "$python").txt"
        [[ -f $build_lock ]] && build=(--build-constraint "$build_lock")
    fi
    [[ -n ${VELMORA_CONSTRAINTS:-} ]] && constraints+=(-c "$VELMORA_CONSTRAINTS")
    # The lock pins pip itself; a pip that knows --build-constraint comes first.
    "$python" -m pip install --quiet --upgrade "${constraints[@]}" pip
    "$python" -m pip install --quiet "${constraints[@]}" "${build[@]}" "$@"
}
