# Sourced by the other scripts: sets python_bin to the interpreter to build with.
# VELMORA_PYTHON wins; then pyenv's CPython 3.13.0; then python3.13; then python3.
python_bin=${VELMORA_PYTHON:-}
if [[ -z $python_bin ]]; then
    if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.13.0 >/dev/null 2>&1; then
        python_bin="$(pyenv prefix 3.13.0)/bin/python3"
    elif command -v python3.13 >/dev/null 2>&1; then
        python_bin=python3.13
    else
        python_bin=python3
    fi
fi
