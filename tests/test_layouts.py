"""The arrays in memory: zarn reads every layout in place, and reads or writes nothing else."""

import numpy as np
import pytest

from support import LAYOUTS, chunk_sizes, duck, parts, random_parts, root_bytes, same_table
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
        # Chunks matter where rows are read, so only the design matrix alone runs through them.
        chunks = case.chunks if fields == ("exog",) else [None]
        for chunk in chunks:
            for method in ("kova", "sm"):
                got = zarn(duck(p, **views), chunk, method)
                if same_values:
                    want = case.table(chunk, method)
                else:
                    want = zarn(duck(p, **copies), chunk, method)
                try:
                    same_table(got, want)
                except AssertionError as error:
                    raise AssertionError(f"{case.label}, chunk_size={chunk}, {method}") from error
        assert [(root_bytes(v), v.flags.writeable) for v in views.values()] == before
