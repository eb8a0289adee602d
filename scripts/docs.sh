#!/usr/bin/env bash
# Builds the documentation site into build/docs/html (Sphinx with the PyData theme,
# numpydoc and MyST; warnings are errors and every cross-reference must resolve), checks
# its internal links, and runs every code example of the README and the guides, comparing
# what each prints with the document (docs/doc_examples.py).
# Usage: bash scripts/docs.sh
#
# The packages are those of .ci/locks/docs-py3.13.txt; VELMORA_LOCK=none takes the newest
# releases instead (scripts/lock.sh does, to refresh that lock).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/stacks.sh
venv=${VELMORA_DOCS_VENV:-.venv-docs}
lock=${VELMORA_LOCK:-$locks/docs-py$(python_minor "$python_bin").txt}

"$python_bin" -m venv --clear "$venv"
install_locked "$venv" "$lock" -C cmake.define.VELMORA_WERROR=ON '.[docs,cli,plot,parquet,dask]'

export MPLBACKEND=Agg
rm -rf build/docs docs/generated
"$venv/bin/sphinx-build" -W --keep-going -n -q -b html docs build/docs/html
"$venv/bin/python" docs/check_links.py build/docs/html

# The examples, and the tests of the examples' runner and the link check.
PYTHONPATH=docs "$venv/bin/python" -m pytest -p doc_examples -p no:cacheprovider \
    -c docs/pytest.ini README.md docs/margins.md docs/dask.md docs/cli.md bench/README.md \
    docs/test_doc_tools.py "$@"
