"""The module and its one function as the interpreter and a type checker see them, and its
internal failures."""

import re
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import velmora

DOCSTRING = (
    "zarn(model, chunk_size=..., se_method=...)\n"
    "--\n"
    "\n"
    "Computes the average marginal effects (AMEs) for Logit/Probit models.\n"
    "\n"
    "This function mimics the style of the original Probit code, but with a twist:  \n"
    "you can choose between two methods for calculating the standard errors (SEs):\n"
    "\n"
    '- "kova": Uses the original gradient (Jacobian) calculation based on per-observation'
    " effects.\n"
    '- "sm": Uses a statsmodels-style gradient for continuous variables.\n'
    "\n"
    "The function accepts a model (Logit or Probit), an optional chunk size (to process data in"
    " parts),\n"
    'and an optional `se_method` string which defaults to "kova".'
)

# A minimal fitted-model stand-in, for scripts that run in a fresh interpreter.
DUCK_MODEL = """
import numpy as np
class Logit:
    params = np.array([0.5, -1.0])
    exog = np.array([[1.0, 0.2], [1.0, 1.5], [1.0, -0.7]])
    exog_names = ["const", "x"]
    def cov_params(self):
        return np.array([[0.04, 0.01], [0.01, 0.09]])
"""


def run_script(body):
    """Runs body after DUCK_MODEL in a new interpreter; returns its stdout lines."""
    code = DUCK_MODEL + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_module_namespace():
    assert velmora.__doc__ == ""
    assert velmora.__all__ == ["zarn"]
    assert [name for name in dir(velmora) if not name.startswith("__")] == ["zarn"]


def test_function_object():
    zarn = velmora.zarn
    assert type(zarn) is types.BuiltinFunctionType
    assert (zarn.__name__, zarn.__qualname__, zarn.__module__) == ("zarn", "zarn", "velmora")
    assert zarn.__self__ is velmora


def test_docstring_and_signature():
    zarn = velmora.zarn
    assert "zarn" + zarn.__text_signature__ + "\n--\n\n" + zarn.__doc__ == DOCSTRING
    assert zarn.__text_signature__ == "(model, chunk_size=..., se_method=...)"


def test_second_initialisation_is_refused():
    out = run_script(
        """
        import sys, velmora
        first = velmora
        del sys.modules["velmora"]
        for attempt in range(2):
            try:
                import velmora
            except ImportError:
                print("ImportError", "velmora" in sys.modules)
        print(first.zarn(Logit()).index.tolist())
        """
    )
    assert out == ["ImportError False", "ImportError False", "['x']"]


# Two ways for NumPy's array API to be out of reach on first need. NumPy 2 keeps its C core
# under numpy._core, NumPy 1.x under numpy.core, so every spelling is replaced.
UNREACHABLE_API = {
    "not a capsule": (
        """
        stubbed = ["numpy._core._multiarray_umath", "numpy.core._multiarray_umath"]
        saved = {name: sys.modules.get(name) for name in stubbed}
        for name in stubbed:
            stub = types.ModuleType(name)
            stub._ARRAY_API = 42
            sys.modules[name] = stub
        """,
        "Failed to get NumPy API capsule",
    ),
    "not importable": (
        """
        blocked = ["numpy._core._multiarray_umath", "numpy.core._multiarray_umath",
                   "numpy._core.multiarray", "numpy.core.multiarray"]
        saved = {name: sys.modules.get(name) for name in blocked}
        sys.modules.update(dict.fromkeys(blocked))
        """,
        "Failed to import NumPy module",
    ),
}


@pytest.mark.parametrize("case", UNREACHABLE_API)
def test_internal_failure_is_a_panic_and_leaves_the_module_usable(case):
    # The API table is fetched on first need, so each case runs in a fresh interpreter; a
    # failed fetch is not kept, and the next call loads the real table.
    setup, text = UNREACHABLE_API[case]
    out = run_script(
        "import sys, types, velmora\n"
        + textwrap.dedent(setup)
        + textwrap.dedent(
            """
            try:
                velmora.zarn(Logit())
            except Exception:
                print("caught by except Exception")
            except BaseException as exc:
                cls = type(exc)
                print(cls.__name__, cls.__bases__ == (BaseException,), exc.args,
                      exc.__cause__ is not None)
            for name, module in saved.items():
                if module is None:
                    del sys.modules[name]
                else:
                    sys.modules[name] = module
            print(velmora.zarn(Logit()).index.tolist())
            """
        )
    )
    assert out == [f"PanicException True ({text!r},) True", "['x']"]


def test_mypy_strict_sees_the_stub():
    folder = Path(__file__).with_name("typing")
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            "/dev/null",
            "zarn_usage.py",
            "zarn_misuse.py",
        ],
        capture_output=True,
        text=True,
        cwd=folder,
        timeout=300,
    )
    reported = {int(n) for n in re.findall(r"^zarn_misuse\.py:(\d+): error", proc.stdout, re.M)}
    lines = (folder / "zarn_misuse.py").read_text().splitlines()
    flagged = {i for i, line in enumerate(lines, 1) if "# flagged" in line}
    assert reported == flagged, proc.stdout
    assert "zarn_usage.py" not in proc.stdout
