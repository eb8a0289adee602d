"""Documents functions of an extension module from its typing stub.

A compiled function has no annotations, and its ``__doc__`` is the module's own. The
stub (``python/velmora-stubs/__init__.pyi``) holds the typed signature and the reference
docstring; autodoc takes both from there for every function the stub defines.
"""

from __future__ import annotations

import ast
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

STUBS = {
    "velmora": Path(__file__).resolve().parents[2] / "python" / "velmora-stubs" / "__init__.pyi"
}


def stub_functions(module: str) -> dict[str, ast.FunctionDef]:
    """Returns the functions of a module's stub by name."""
    tree = ast.parse(STUBS[module].read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_function(name: str) -> ast.FunctionDef | None:
    """Returns the stub's definition of a dotted name such as velmora.zarn, if any."""
    module, _, function = name.rpartition(".")
    if module not in STUBS:
        return None
    return stub_functions(module).get(function)


def signature(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, sig: str | None, ret: str | None
) -> tuple[str, str | None] | None:
    """Returns the stub's signature and return annotation of a stubbed function."""
    node = stub_function(name) if what == "function" else None
    if node is None:
        return None
    returns = ast.unparse(node.returns) if node.returns is not None else None
    return f"({ast.unparse(node.args)})", returns


def docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """Puts the stub's docstring of a stubbed function in place of the module's own."""
    node = stub_function(name) if what == "function" else None
    text = ast.get_docstring(node) if node is not None else None
    if text is not None:
        lines[:] = text.splitlines()


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-signature", signature)
    # Before numpydoc, which reads the docstring's sections.
    app.connect("autodoc-process-docstring", docstring, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
