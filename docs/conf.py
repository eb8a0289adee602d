"""Sphinx configuration of velmora's documentation site.

The site is the README, the guides in docs/, the API reference (generated from the
docstrings: velmora.zarn from its typing stub, velmora_margins from its __all__, the
command from its argument parser) and the benchmark's description. Build it with
`bash scripts/docs.sh`.
"""

from __future__ import annotations

import re
import sys
import tomllib
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

root = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

project = "velmora"
author = "The velmora developers"
copyright = "the velmora developers"
release = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinxarg.ext",
    "stub_docs",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_templates"]
templates_path = ["_templates"]

html_theme = "pydata_sphinx_theme"
html_title = "velmora"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}

myst_heading_anchors = 3
suppress_warnings = ["myst.header"]

autosummary_generate = True
autosummary_imported_members = True
autosummary_ignore_module_all = False
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# Pages whose text is a file elsewhere in the repository, so that there is one copy.
included = {"index": root / "README.md", "benchmarks": root / "bench" / "README.md"}

# Links between the repository's Markdown files, as they are on the site.
links = [
    (re.compile(r"\]\(docs/([\w-]+\.md)(#[\w-]*)?\)"), r"](\1\2)"),
    (re.compile(r"\]\((?:\.\./)?bench/README\.md(#[\w-]*)?\)"), r"](benchmarks.md\1)"),
]

# The pages of the site, after the README's own text on the front page.
toctree = """

```{toctree}
:hidden:
:maxdepth: 2

margins
dask
cli
api
benchmarks
```
"""


def read_source(app: Sphinx, docname: str, source: list[str]) -> None:
    """Takes the text of included pages from their files and rewrites the links."""
    text = source[0]
    if docname in included:
        text = included[docname].read_text(encoding="utf-8")
        if docname == "index":
            text += toctree
    for pattern, replacement in links:
        text = pattern.sub(replacement, text)
    source[0] = text


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("source-read", read_source)
    return {"parallel_read_safe": True}
