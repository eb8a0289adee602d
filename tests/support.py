"""What the tests share: stand-ins for fitted models and their names, arrays in chosen
memory layouts, the error the stand-ins raise, and comparisons of result tables."""

import ctypes

import numpy as np

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


# Comparisons.


def same_table(got, want, rtol=1e-12, atol=1e-15):
    """Same labels, index and stars; numbers equal to rtol relative or atol absolute."""
    assert list(got.columns) == list(want.columns)
    assert got.index.tolist() == want.index.tolist()
    assert got.dtypes.tolist() == want.dtypes.tolist()
    numbers = got.columns[:6]
    np.testing.assert_allclose(
        got[numbers].to_numpy(), want[numbers].to_numpy(), rtol=rtol, atol=atol, equal_nan=True
    )
    assert got["Significance"].tolist() == want["Significance"].tolist()
