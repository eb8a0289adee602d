# Sourced by the other scripts: sets python_bin to the interpreter to build with.
# VELMORA_PYTHON wins; then pyenv's CPython 3.13.0; then python3.13; then python3.

# Prints the interpreter of pyenv's CPython of a version ("3.12.1"), or fails where pyenv or
# that version is missing.
pyenv_python() {
    command -v pyenv >/dev/null 2>&1 && pyenv prefix "$1" >/dev/null 2>&1 &&
        echo "$(pyenv prefix "$1")/bin/python3"
}

python_bin=${VELMORA_PYTHON:-}
if [[ -z $python_bin ]]; then
    if ! python_bin=$(pyenv_python 3.13.0); then
        if command -v python3.13 >/dev/null 2>&1; then
            python_bin=python3.13
        else
            python_bin=python3
        fi
    fi
fi
