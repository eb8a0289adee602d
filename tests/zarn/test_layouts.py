"""The arrays in memory: zarn reads every layout in place, and reads or writes nothing else."""

import re
import tempfile

import numpy as np
import pytest

from support import (
    LAYOUTS,
    UNREADABLE,
    chunk_sizes,
    duck,
    parts,
    random_parts,
    root_bytes,
    same_table,
    stand_in,
)
from velmora import zarn

# The arrays each test case lays out anew; the others stay C-contiguous.
TARGETS = {
    "exog": ("exog",),
    "params": ("params",),
    "cov_params()": ("cov",),
    "all three": ("exog", "params", "cov"),
}

# Rows far apart take 4099 elements of memory each, so that layout leaves out larger models.
FAR_APART_ROWS = 200


class Case:
    """Model parts in C order, the chunk sizes to run them with, and their tables."""

    def __init__(self, label, p, chunks):
        self.label = label
        arrays = {field: np.ascontiguousarray(p[field]) for field in ("params", "cov", "exog")}
        self.parts = {**p, **arrays}
        self.chunks = chunks
        self.tables = {}

    def table(self, chunk, method):
        """The table of the C-ordered arrays."""
        key = (chunk, method)
        if key not in self.tables:
            self.tables[key] = zarn(duck(self.parts), chunk, method)
        return self.tables[key]


def with_special_values(p, field, value, at):
    """p with one entry of one array replaced by a NaN or an infinity."""
    array = p[field].copy()
    array.flat[at] = value
    return {**p, field: array}


@pytest.fixture(scope="module")
def cases(spector):
    """Statsmodels' fits, random models from 0 to 2500 rows, and models with NaN or infinity."""
    import statsmodels.api as sm

    exog, endog = spector
    out = [
        Case(f"spector {kind}", parts(fit(endog, exog).fit(disp=0)), chunk_sizes(len(exog)))
        for kind, fit in (("logit", sm.Logit), ("probit", sm.Probit))
    ]
    for kind in ("logit", "probit"):
        empty = random_parts(3, kind, 40)
        out.append(Case(f"{kind}, no rows", {**empty, "exog": empty["exog"][:0]}, [None, 1]))
        for n in (1, 2, 12, 121, 2500):
            for seed in range(3):
                p = random_parts(1000 * n + seed, kind, n)
                out.append(Case(f"{kind}, n={n}, seed={seed}", p, chunk_sizes(n)))
        p = random_parts(12001, kind, 12)
        for field, value, at in [("exog", np.nan, 5), ("params", np.inf, 1), ("cov", np.nan, 0)]:
            special = with_special_values(p, field, value, at)
            out.append(Case(f"{kind}, {value} in {field}", special, chunk_sizes(12)))
    return out


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_memory_layout_does_not_change_the_table(cases, layout, target):
    fields = TARGETS[target]
    for case in cases:
        p = case.parts
        if layout == "far apart" and len(p["exog"]) > FAR_APART_ROWS:
            continue
        views = {field: LAYOUTS[layout](p[field]) for field in fields}
        if case.label.startswith("spector"):
            # Each layout differs from C order at least in the 2-d arrays.
            two_d = [v for v in views.values() if v.ndim == 2]
            assert not any(v.flags.c_contiguous and v.flags.writeable for v in two_d)
        before = [(root_bytes(v), v.flags.writeable) for v in views.values()]
        copies = {field: np.ascontiguousarray(v) for field, v in views.items()}
        same_values = all(np.array_equal(copies[f], p[f], equal_nan=True) for f in fields)
        assert same_values or layout == "broadcast"  # the only layout that changes values
        # Chunks matter where rows are read, so only the design matrix alone runs through them.
        chunks = case.chunks if fields == ("exog",) else [None]
        # Layouts that CBLAS cannot read take the plain loops, which add in another order
        # than the BLAS kernel of the C-ordered arrays: the tables agree to rounding.
        values = p if same_values else {**p, **copies}
        for chunk in chunks:
            for method in ("kova", "sm"):
                got = zarn(duck(p, **views), chunk, method)
                if same_values:
                    want = case.table(chunk, method)
                else:
                    want = zarn(duck(values), chunk, method)
                try:
                    same_table(got, want, values, method)
                except AssertionError as error:
                    raise AssertionError(f"{case.label}, chunk_size={chunk}, {method}") from error
        assert [(root_bytes(v), v.flags.writeable) for v in views.values()] == before


@pytest.mark.parametrize(("layout", "field", "label"), UNREADABLE.values(), ids=UNREADABLE)
def test_unreadable_layouts_are_refused_untouched(spector_result, layout, field, label):
    p = parts(spector_result)
    value = layout(p[field])
    assert not value.flags.aligned
    before = root_bytes(value)
    with pytest.raises(ValueError, match="^" + re.escape(label + ": ")):
        zarn(duck(p, **{field: value}))
    assert root_bytes(value) == before


def same_effects(got, want):
    assert got.index.tolist() == want.index.tolist()
    np.testing.assert_allclose(got["dy/dx"], want["dy/dx"], rtol=1e-9, atol=1e-12, equal_nan=True)
    # A variance that rounds to either side of zero gives a standard error near 1e-8.
    np.testing.assert_allclose(
        got["Std. Err"], want["Std. Err"], rtol=1e-7, atol=1e-7, equal_nan=True
    )


@pytest.mark.parametrize("axis", [0, 1])
def test_strides_beyond_the_int_range(axis):
    # Neighbouring rows (or columns) lie 2**31 + 3 elements apart in a sparse
    # file: too far for a 32-bit BLAS leading dimension, so the plain loops must
    # read them.
    values = np.array([[1.0, 0.5, 1.0], [1.0, -0.3, 0.0], [1.0, 2.0, 1.0], [1.0, 0.1, 0.0]])
    rows, cols = values.shape if axis == 0 else values.shape[::-1]
    step = 2**31 + 3
    with tempfile.TemporaryFile() as f:
        try:
            f.truncate((step * rows + cols) * 8)
        except OSError:
            pytest.skip("the file system cannot hold a sparse file of 16 GiB")
        mapped = np.memmap(f, dtype=np.float64, mode="r+", shape=(step * rows + cols,))
        view = np.lib.stride_tricks.as_strided(mapped, (rows, cols), (step * 8, 8))
        view[...] = values if axis == 0 else values.T
        x = view if axis == 0 else view.T
        x.flags.writeable = False
        params, cov = np.array([0.2, 0.9, -0.4]), np.diag([0.1, 0.2, 0.3])
        names = ["const", "x", "d"]
        for method in ["kova", "sm"]:
            got = zarn(stand_in("Logit", params, cov, x, names), None, method)
            want = zarn(stand_in("Logit", params, cov, values.copy(), names), None, method)
            same_effects(got, want)
        del view, x, mapped
