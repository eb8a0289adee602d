"""The shared libraries the modules open when imported: OpenBLAS, whose absence is a clear
ImportError, and the C library's vector erfc, which VELMORA_SCALAR_ERFC=1 or its absence
replaces by the scalar erfc in both extension modules."""

import ctypes
import ctypes.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import velmora
import velmora_margins

OPENBLAS_MESSAGE = (
    "{module} cannot load OpenBLAS (libscipy_openblas.so), which it takes from the "
    "scipy-openblas32 package: libscipy_openblas.so: cannot open shared object file: No such "
    "file or directory. Install that package into the same environment: "
    "pip install scipy-openblas32"
)


def run(code, **environment):
    """Runs code in a new interpreter with the given environment variables added (None
    removes one); returns what it printed as JSON."""
    env = {**os.environ, **{k: v for k, v in environment.items() if v is not None}}
    for name in [k for k, v in environment.items() if v is None]:
        env.pop(name, None)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def without_openblas(tmp_path_factory):
    """A folder that holds copies of both packages' modules but no scipy_openblas32."""
    folder = tmp_path_factory.mktemp("without-openblas")
    shutil.copy(velmora.__file__, folder)
    shutil.copytree(Path(velmora_margins.__file__).parent, folder / "velmora_margins")
    return folder


@pytest.mark.parametrize(
    ("module", "statement"),
    [
        ("velmora", "import velmora"),
        ("velmora_margins._kernels", "import velmora_margins"),
    ],
)
def test_missing_openblas_is_a_clear_import_error(without_openblas, module, statement):
    # Twice in one process: a failed import leaves nothing behind that changes the message.
    result = run(
        f"""
        import json, sys
        sys.path.insert(0, {str(without_openblas)!r})
        messages = []
        for attempt in range(2):
            try:
                {statement}
            except ImportError as error:
                messages.append(str(error))
        print(json.dumps(messages))
        """,
        LD_LIBRARY_PATH=None,
    )
    assert result == [OPENBLAS_MESSAGE.format(module=module)] * 2


# Arguments of Phi's erfc across its range: the lower tail, the middle, where erfc
# switches between its approximations, and the upper tail, in no particular order.
ARGUMENTS = np.random.default_rng(7).permutation(
    np.concatenate([np.linspace(-6.0, 27.0, 4001), np.random.default_rng(8).normal(size=2000)])
)

LINK_AND_ZARN = """
import json
import numpy as np
import velmora
from velmora_margins import _kernels

a = np.array({arguments})
v = -(a * 1.4142135623730951)
cdf = _kernels.link_values("probit", v).cdf
# Many columns, so that some p-values (from erfc of each z) meet arguments where the two
# erfc differ.
rng = np.random.default_rng(5)
k = 120
x = np.column_stack([np.ones(300), rng.normal(size=(300, k))])

class Probit:
    params = np.concatenate([[0.1], rng.normal(scale=0.3, size=k)])
    exog = x
    exog_names = ["const"] + [f"x{{i}}" for i in range(k)]
    def cov_params(self):
        return np.diag(rng.uniform(0.001, 0.05, size=k + 1))

table = velmora.zarn(Probit(), se_method="sm")
print(json.dumps({{
    "arguments": [float(t).hex() for t in (0.0 - v) / 1.4142135623730951],
    "cdf": [float(t).hex() for t in cdf],
    "effects": [float(t).hex() for t in table["dy/dx"]],
    "errors": [float(t).hex() for t in table["Std. Err"]],
    "table": [float(t).hex() for t in table.select_dtypes("number").to_numpy().ravel()],
}}))
"""


def in_process(**environment):
    """Returns the kernels' Phi and zarn's Probit table computed in a new interpreter."""
    result = run(LINK_AND_ZARN.format(arguments=ARGUMENTS.tolist()), **environment)
    return {name: np.array([float.fromhex(t) for t in values]) for name, values in result.items()}


def scalar_erfc(values):
    """The C library's scalar erfc of each value, called through ctypes."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    libm.erfc.restype = ctypes.c_double
    libm.erfc.argtypes = [ctypes.c_double]
    return np.array([libm.erfc(float(t)) for t in values])


def has_vector_erfc():
    """True when this system's C library has the vector erfc and the CPU the SSE4.1 it needs."""
    try:
        library = ctypes.CDLL("libmvec.so.1")
        library["_ZGVbN2v_erfc"]
    except (OSError, AttributeError):
        return False
    return "sse4_1" in Path("/proc/cpuinfo").read_text()


def ulps_apart(a, b):
    """How many doubles lie between a and b, element by element (both finite, same sign)."""
    return np.abs(a.view(np.int64) - b.view(np.int64))


@pytest.fixture(scope="module")
def scalar():
    return in_process(VELMORA_SCALAR_ERFC="1")


def test_scalar_erfc_is_the_c_librarys(scalar):
    assert np.array_equal(scalar["cdf"], 0.5 * scalar_erfc(scalar["arguments"]))


@pytest.mark.skipif(not has_vector_erfc(), reason="the C library has no vector erfc here")
def test_vector_erfc_is_taken_where_the_system_has_it(scalar):
    vector = in_process(VELMORA_SCALAR_ERFC=None)
    reference = 0.5 * scalar_erfc(vector["arguments"])
    # Another function (it differs on some arguments), as close as libmvec's documented
    # bound and the scalar erfc's own errors allow.
    positive = reference > 0.0
    assert np.count_nonzero(vector["cdf"] != reference) > 10
    assert ulps_apart(vector["cdf"][positive], reference[positive]).max() <= 6
    assert np.array_equal(vector["cdf"][~positive], reference[~positive])
    # zarn follows the switch in its own module (its p-values take erfc), and the two
    # tables agree to rounding of the terms, relative to each column's largest value.
    assert not np.array_equal(vector["table"], scalar["table"])
    for column in ("effects", "errors"):
        scale = np.abs(scalar[column]).max()
        assert np.abs(vector[column] - scalar[column]).max() <= 1e-14 * scale


@pytest.mark.parametrize("value", ["0", "yes", ""])
def test_only_one_asks_for_the_scalar_erfc(scalar, value):
    if not has_vector_erfc():
        pytest.skip("the C library has no vector erfc here")
    other = in_process(VELMORA_SCALAR_ERFC=value)
    assert not np.array_equal(other["cdf"], scalar["cdf"])
