"""What the tests share: stand-ins for fitted models and their names, arrays in chosen
memory layouts, the error the stand-ins raise, and comparisons of result tables."""

import ctypes

import numpy as np

import ame_reference as ref

# Under AddressSanitizer huge allocations abort and freed memory is held back, so a few
# tests that provoke either are skipped there; LeakSanitizer checks that build instead.
SANITIZED = hasattr(ctypes.CDLL(None), "__asan_init")


class Boom(Exception):
    """An error that only the tests' own objects raise, so it can be told from any other."""


# Stand-ins for fitted models.

MISSING = object()  # a member that stand_in leaves out


def stand_in(kind, params, cov, exog, names, *, nested=False, **members):
    """A fitted model reduced to what zarn reads, of a class named kind, which picks the link.

    zarn reads params and cov_params() from the result, and exog and exog_names from its
    model object, or from the result itself when it has none; cov is what cov_params()
    returns. With nested, exog and names sit on a model object of class kind and the
    result's own class is named "Results". Every member is a class attribute, so members
    can add one or replace one by a property that computes or raises; MISSING leaves one out.
    """
    data = {"exog": exog, "exog_names": names}
    result = {"params": params, "cov_params": lambda self: cov}
    if nested:
        result["model"] = type(kind, (), data)()
        kind = "Results"
    else:
        result.update(data)
    result.update(members)
    return type(kind, (), {k: v for k, v in result.items() if v is not MISSING})()


def parts(result):
    """What zarn reads from a statsmodels fit, as arrays and a list of its own.

    "name" is the model's class name and "cov" what cov_params() returns.
    """
    return {
        "name": type(result.model).__name__,
        "params": result.params.to_numpy(copy=True),
        "cov": result.cov_params().to_numpy(copy=True),
        "exog": np.array(result.model.exog),
        "exog_names": list(result.model.exog_names),
    }


def duck(p, **changes):
    """A stand-in built from parts p, with the members in changes added or replaced."""
    members = {**p, **changes}
    return stand_in(
        members.pop("name"),
        members.pop("params"),
        members.pop("cov"),
        members.pop("exog"),
        members.pop("exog_names"),
        **members,
    )


def random_parts(seed, kind, n):
    """Parts of a model (as parts() gives them) with an optional intercept and a random mix
    of binary and continuous columns; kind is "logit" or "probit"."""
    rng = np.random.default_rng(seed)
    columns, names = [], []
    for b in range(rng.integers(0, 4)):
        shape = rng.choice(["both", "zeros", "ones", "signed_zero"])
        if shape == "both":
            col = (rng.random(n) < rng.uniform(0.2, 0.8)).astype(float)
        elif shape == "zeros":
            col = np.zeros(n)
        elif shape == "ones":
            col = np.ones(n)
        else:
            col = np.where(rng.random(n) < 0.5, -0.0, 1.0)
        columns.append(col)
        names.append(f"b{b}")
    for c in range(rng.integers(0 if columns else 1, 4)):
        shape = rng.choice(["normal", "count", "constant_half"])
        if shape == "normal":
            col = rng.normal(rng.normal(), rng.uniform(0.5, 2.0), n)
        elif shape == "count":
            col = rng.integers(0, 4, n).astype(float)
        else:
            col = np.full(n, 0.5)
        columns.append(col)
        names.append(f"x{c}")
    if rng.random() < 0.7:
        at = rng.integers(0, len(columns) + 1)
        columns.insert(at, np.ones(n))
        names.insert(at, str(rng.choice(["const", "Intercept"])))
    X = np.column_stack(columns) if n else np.empty((0, len(columns)))
    k = X.shape[1]
    beta = rng.normal(0.0, 0.6, k)
    A = rng.normal(size=(k, k))
    cov = A @ A.T / (50.0 * k) + 1e-4 * np.eye(k)
    return {"name": kind.capitalize(), "params": beta, "cov": cov, "exog": X, "exog_names": names}


def chunk_sizes(n):
    """None, one row, a divisor, a non-divisor and at least n rows (and at least one), once each."""
    divisors = [d for d in range(2, n // 2 + 1) if n % d == 0]
    non_divisors = [d for d in range(n // 3 + 1, n) if n % d != 0]
    return list(dict.fromkeys([None, 1, *divisors[:1], *non_divisors[:1], max(n, 1), n + 5]))


def failing(error):
    """A property that raises error."""

    def fail(self):
        raise error

    return property(fail)


class NameSequence:
    """Names known only by __len__ and __getitem__, as a minimal sequence."""

    def __init__(self, names):
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        return self.names[i]


class FailingNames(NameSequence):
    """Names whose iteration yields the first one and then raises error."""

    def __init__(self, names, error):
        super().__init__(names)
        self.error = error

    def __iter__(self):
        yield from self.names[:1]
        raise self.error


# Arrays in chosen memory layouts.


def packed(a):
    """a's values as a field of packed records: byte strides not a multiple of 8."""
    records = np.zeros(a.shape, dtype=[("v", "<f8"), ("pad", "u1")])
    records["v"] = a
    return records["v"]


def misaligned(a):
    """a's values in memory that starts one byte past an 8-byte boundary."""
    out = np.ndarray(a.shape, dtype="<f8", buffer=bytearray(a.nbytes + 8), offset=1)
    out[...] = a
    return out


def root_bytes(a):
    """The bytes of the whole buffer behind a, not only the elements a shows."""
    while True:
        base = a.base
        if isinstance(getattr(base, "base", None), np.ndarray) and not isinstance(base, np.ndarray):
            base = base.base  # the holder that as_strided puts in between
        if not isinstance(base, np.ndarray):
            return a.tobytes() if base is None else bytes(base)
        a = base


# Memory layouts zarn reads in place: each shows the values of a (1-d or 2-d) in another
# arrangement, except broadcast, which repeats the first row.


def every_other_column(a):
    """Every other element along the last axis of a wider array."""
    wide = np.full((*a.shape[:-1], 2 * a.shape[-1]), np.nan)
    wide[..., ::2] = a
    return wide[..., ::2]


def every_third_row(a):
    """Every third element along the first axis of a taller array."""
    tall = np.full((3 * a.shape[0], *a.shape[1:]), np.nan)
    tall[::3] = a
    return tall[::3]


def spread(a):
    """Every third element along every axis of a larger array, from the second one on."""
    big = np.full(tuple(3 * s + 2 for s in a.shape), 7.5)
    view = big[(slice(1, None, 3),) * a.ndim][tuple(slice(0, s) for s in a.shape)]
    view[...] = a
    return view


def reversed_rows(a):
    """The last row first in memory, each row in C order."""
    return np.ascontiguousarray(a[::-1])[::-1]


def reversed_rows_fortran(a):
    """The last row first in memory, in Fortran order."""
    return np.asfortranarray(a[::-1])[::-1]


def flipped(a):
    """Every axis reversed in memory."""
    every = (slice(None, None, -1),) * a.ndim
    return np.ascontiguousarray(a[every])[every]


def spread_reversed(a):
    """Spread, with the last row first in memory."""
    return spread(a[::-1])[::-1]


def far_apart(a):
    """Rows 4099 elements apart, the last one first in memory."""
    if len(a) == 0:
        return a.copy()
    step = 4099
    assert a[0].size <= step
    big = np.full(step * len(a), -3.25)
    inner = (8,) * (a.ndim - 1)
    view = np.lib.stride_tricks.as_strided(
        big[step * (len(a) - 1) :], shape=a.shape, strides=(-step * 8, *inner)
    )
    view[...] = a
    return view


def read_only(a):
    """A copy that cannot be written."""
    b = a.copy()
    b.flags.writeable = False
    return b


def broadcast(a):
    """Every entry along the first axis equal to the first (a stride of 0)."""
    return np.broadcast_to(a[:1], a.shape) if len(a) else a.copy()


LAYOUTS = {
    "F": np.asfortranarray,
    "every other column": every_other_column,
    "every third row": every_third_row,
    "spread": spread,
    "reversed rows": reversed_rows,
    "reversed rows F": reversed_rows_fortran,
    "flipped": flipped,
    "spread reversed": spread_reversed,
    "far apart": far_apart,
    "read-only": read_only,
    "broadcast": broadcast,
}


# Comparisons.


def same_table(got, want, rtol=1e-12, atol=1e-15):
    """Same labels, index, dtypes and stars; numbers equal to rtol relative or atol absolute
    (|got - want| <= atol + rtol |want|), NaN where the other has NaN."""
    assert got.columns.tolist() == want.columns.tolist()
    assert got.index.tolist() == want.index.tolist()
    assert got.dtypes.tolist() == want.dtypes.tolist()
    got_cells, want_cells = got.to_numpy(), want.to_numpy()
    numbers, wanted = got_cells[:, :6].astype(float), want_cells[:, :6].astype(float)
    if not np.allclose(numbers, wanted, rtol=rtol, atol=atol, equal_nan=True):
        np.testing.assert_allclose(numbers, wanted, rtol=rtol, atol=atol, equal_nan=True)
    assert got_cells[:, 6].tolist() == want_cells[:, 6].tolist()


# Comparisons with the NumPy reference; test_differential's docstring gives the reasons
# for the tolerances.

AME_RTOL, AME_ATOL = 1e-12, 5e-14
SE_RTOL = 1e-12


def expected_rows(p, method, chunk_size=None):
    """(ames, std_errors) of the reference for model parts p, restricted to the reported columns."""
    ames, ses = ref.marginal_effects(
        p["name"].lower(), p["params"], p["exog"], p["exog_names"], p["cov"], method, chunk_size
    )
    keep = [not ref.is_intercept(name) for name in p["exog_names"]]
    return ames[keep], ses[keep]


def assert_matches(out, ames, ses, context):
    np.testing.assert_allclose(
        out["dy/dx"].to_numpy(), ames, rtol=AME_RTOL, atol=AME_ATOL, err_msg=context
    )
    np.testing.assert_allclose(out["Std. Err"].to_numpy(), ses, rtol=SE_RTOL, err_msg=context)
