"""What the tests share: stand-ins for fitted models and their names, random models, arrays
in chosen memory layouts, the error the stand-ins raise, comparisons of result tables (with
each other and with the NumPy reference), and the tables of cases that the behaviour tests
and the leak checks both walk."""

import ctypes
from types import SimpleNamespace

import numpy as np
import pandas as pd

import ame_reference as ref
import rounding

# Under AddressSanitizer huge allocations abort and freed memory is held back, so a few
# tests that provoke either are skipped there; LeakSanitizer checks that build instead.
SANITIZED = hasattr(ctypes.CDLL(None), "__asan_init")


class Boom(Exception):
    """An error that only the tests' own objects raise, so it can be told from any other."""


def local_cluster(distributed):
    """A dask.distributed LocalCluster of two worker processes on loopback. Its scheduler
    serves HTTP on a free port: on the default 8787, which another scheduler on the
    machine may hold, it would take another port and warn, which the suite makes an error."""
    return distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
    )


def in_parquet_files(frame, folder, files=3):
    """Writes frame's rows, in order, as so many Parquet files in folder; returns the
    folder's name, as a user would pass it."""
    for i, rows in enumerate(np.array_split(np.arange(len(frame)), files)):
        frame.iloc[rows].to_parquet(folder / f"part{i}.parquet")
    return str(folder)


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


# Comparisons. Two evaluations of a table agree to within the rounding bounds of
# rounding.py, computed for each case: dy/dx and Std. Err within the bounds, and the other
# columns of each table computed from its own dy/dx and Std. Err.


def reported(names):
    """Whether each column gets a row in the table: every one but the intercepts."""
    return np.array([not ref.is_intercept(name) for name in names], dtype=bool)


def effect_errors(p, method):
    """(ame_error, variance_error) of the table's rows, for model parts p."""
    ame_error, var_error = rounding.effect_errors(
        p["name"].lower(), p["params"], p["exog"], p["exog_names"], p["cov"], method
    )
    keep = reported(p["exog_names"])
    return ame_error[keep], var_error[keep]


def check_row_arithmetic(out):
    """z, p, stars and bounds of every row, from the row's own dy/dx and Std. Err: z and
    the bounds to the bit (one division, product and sum each, on both sides), p to 1e-15
    absolute (the two sides use different erfc implementations)."""
    assert list(out.columns) == ref.LABELS
    a, s = out["dy/dx"].to_numpy(), out["Std. Err"].to_numpy()
    rows = [ref.table_row(ai, si) for ai, si in zip(a, s, strict=True)]

    def expected(i):
        return np.array([row[i] for row in rows], dtype=float)

    np.testing.assert_array_equal(out["z"].to_numpy(), expected(0))
    np.testing.assert_allclose(out["Pr(>|z|)"].to_numpy(), expected(1), rtol=0, atol=1e-15)
    np.testing.assert_array_equal(out["Conf. Int. Low"].to_numpy(), expected(3))
    np.testing.assert_array_equal(out["Conf. Int. Hi"].to_numpy(), expected(4))
    assert list(out["Significance"]) == [ref.stars(pi) for pi in out["Pr(>|z|)"]]


def same_table(got, want, p, method):
    """Same labels, index and dtypes; dy/dx and Std. Err within the rounding bounds of
    model parts p and the method, NaN where the other has NaN; the other columns of each
    table computed from its own. The tables may hold some of the model's rows."""
    assert got.columns.tolist() == want.columns.tolist()
    assert got.index.tolist() == want.index.tolist()
    assert got.dtypes.tolist() == want.dtypes.tolist()
    errors = effect_errors(p, method)
    names = [name for name in p["exog_names"] if not ref.is_intercept(name)]
    if got.index.tolist() != names:  # some of the rows
        at = [names.index(name) for name in got.index]
        errors = tuple(e[at] for e in errors)
    rounding.assert_close_effects(
        got["dy/dx"].to_numpy(),
        got["Std. Err"].to_numpy(),
        want["dy/dx"].to_numpy(),
        want["Std. Err"].to_numpy(),
        *errors,
        "dy/dx or Std. Err beyond rounding",
    )
    check_row_arithmetic(got)
    check_row_arithmetic(want)


# Comparisons with the NumPy reference.


def expected_rows(p, method, chunk_size=None):
    """(ames, std_errors) of the reference for model parts p, restricted to the reported columns."""
    ames, ses = ref.marginal_effects(
        p["name"].lower(), p["params"], p["exog"], p["exog_names"], p["cov"], method, chunk_size
    )
    keep = reported(p["exog_names"])
    return ames[keep], ses[keep]


def assert_matches(out, p, method, context):
    """The table's dy/dx and Std. Err against the reference's, within the rounding bounds."""
    ames, ses = expected_rows(p, method)
    rounding.assert_close_effects(
        out["dy/dx"].to_numpy(),
        out["Std. Err"].to_numpy(),
        ames,
        ses,
        *effect_errors(p, method),
        context,
    )


# Case tables. Each concern's cases are listed once, here: the behaviour tests check what
# each call gives, and test_leaks repeats every call to check that it leaves nothing behind.
#
# In the argument tables MODEL stands for the model; each test puts a fitted model, or an
# object that binding never reads, in its place.

MODEL = object()


def with_model(args, kwargs, model):
    """args and kwargs with MODEL replaced by model."""
    return (
        tuple(model if a is MODEL else a for a in args),
        {k: model if v is MODEL else v for k, v in kwargs.items()},
    )


class Index:
    """An integer-like object: __index__ returns value, or raises it if it is an exception.

    The exception is raised with a fresh traceback each time, so that repeated calls do not
    pile their frames onto it.
    """

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value.with_traceback(None)
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IndexTypeError(TypeError):
    pass


class Holder:
    class Method:
        pass


def caused_type_error():
    error = TypeError("no index here")
    error.__cause__ = KeyError("inner")
    return error


CHUNK = "argument 'chunk_size': "
MISSING_MODEL = "zarn() missing 1 required positional argument: 'model'"
TOO_MANY = "zarn() takes from 1 to 3 positional arguments but {} were given"
MULTIPLE = "zarn() got multiple values for argument '{}'"
UNEXPECTED = "zarn() got an unexpected keyword argument '{}'"

# Calls that give chunk_size and se_method their defaults, by None or by leaving them out.
DEFAULT_CALLS = [
    ((MODEL, None, None), {}),
    ((), {"model": MODEL}),
    ((), {"se_method": None, "chunk_size": None, "model": MODEL}),
    ((MODEL, None, "kova"), {}),
    ((MODEL,), {"se_method": "kova"}),
]

CHUNK_SIZES = [1000, np.int64(1000), np.uint8(7), True, Index(5), 2**64 - 1]

# Calls that binding refuses, with the TypeError's text.
BINDING_ERRORS = [
    ((), {}, MISSING_MODEL),
    ((MODEL, 100, "sm", 4), {}, TOO_MANY.format(4)),
    # Too many positionals is reported before keyword and conversion errors.
    ((MODEL, 2.5, b"sm", 4, 5), {"bogus": 1}, TOO_MANY.format(5)),
    ((MODEL,), {"model": MODEL}, MULTIPLE.format("model")),
    ((MODEL, None), {"chunk_size": 5}, MULTIPLE.format("chunk_size")),
    ((MODEL, 1, "sm"), {"se_method": "sm"}, MULTIPLE.format("se_method")),
    ((MODEL,), {"chunksize": 10}, UNEXPECTED.format("chunksize")),
    # Keyword errors come in keyword order, before the missing model.
    ((MODEL,), {"bogus": 1, "model": MODEL}, UNEXPECTED.format("bogus")),
    ((MODEL,), {"model": MODEL, "bogus": 1}, MULTIPLE.format("model")),
    ((), {"se_method": "sm", "Model": MODEL}, UNEXPECTED.format("Model")),
    ((), {"chunk_size": 2.5, "se_method": 5}, MISSING_MODEL),
]

# chunk_size values that are not integers: a TypeError naming the argument.
CHUNK_TYPE_ERRORS = [2.5, "10", 1j, np.float64(3.0), Index(1.5), Index(caused_type_error())]

# chunk_size values whose error passes unchanged.
CHUNK_OTHER_ERRORS = [
    (-1, OverflowError),
    (2**64, OverflowError),
    (np.int64(-5), OverflowError),
    (Index(IndexTypeError("subclass")), IndexTypeError),
    (Index(ValueError("value")), ValueError),
]

ZERO_CHUNKS = [0, False, np.uint8(0), Index(0)]

# se_method values that are not text, with the name of their type.
SE_METHOD_TYPE_ERRORS = [(b"sm", "bytes"), (5, "int"), (Holder.Method(), "Holder.Method")]

# Text that reads as "sm", and text that cannot be encoded (a lone surrogate).
SM_SPELLINGS = [type("Method", (str,), {})("sm"), np.str_("sm")]
UNENCODABLE_METHOD = "\udc80"

# A bad chunk_size beside a bad se_method: the chunk_size error is the one raised.
CHUNK_BEFORE_METHOD = [(2.5, b"sm", TypeError), (0, 5, ValueError), (-1, b"x", OverflowError)]

UNRECOGNISED = ["SM", "Sm", "KOVA", "", " sm", "kova ", "kova\0", "sm\x00", "delta", "statsmodels"]

# In the model tables each change is a function of the parts p of a statsmodels fit that
# returns the members to replace; duck(p, **change(p)) is the stand-in it describes.

UNSUPPORTED = "ame: only Logit or Probit supported, got "


def cannot(type_name, kind="PyArray<T, D>"):
    return f"'{type_name}' object cannot be converted to '{kind}'"


class Values(np.ndarray):
    """An array whose "values" attribute raises, so the array itself is read."""

    @property
    def values(self):
        raise Boom("values")


# Spellings of the class name that select the same link.
CLASS_SPELLINGS = [str.upper, str.lower, lambda s: s[0].lower() + s[1:].upper()]


def intercept_twice(p):
    """The regressors first, then the constant twice, the second with a coefficient of 0."""
    order = [1, 2, 3, 0, 0]
    cov = p["cov"][np.ix_(order, order)]
    cov[4, :] = cov[:, 4] = 0.0
    return {
        "params": np.append(p["params"][order[:4]], 0.0),
        "cov": cov,
        "exog": p["exog"][:, order],
        "exog_names": ["GPA", "TUCE", "PSI", "const", "Intercept"],
    }


def model_object(p):
    """exog and names on a model object, whose class name gives the link; a result class
    named after the model, without exog or names of its own."""
    inner = duck(p, params="never read", cov=None)
    return {"name": p["name"] + "Results", "model": inner, "exog": None, "exog_names": None}


# Forms of the fit's members that give the fit's own table.
ACCEPTED_FORMS = {
    "params a Series": lambda p: {"params": pd.Series(p["params"], index=p["exog_names"])},
    "cov a DataFrame": lambda p: {"cov": pd.DataFrame(p["cov"])},
    "arrays whose values raise": lambda p: {
        k: p[k].view(Values) for k in ("params", "cov", "exog")
    },
    "dtype with metadata": lambda p: {
        "params": p["params"].astype(np.dtype(np.float64, metadata={"u": 1}))
    },
    "exog a DataFrame": lambda p: {
        "exog": pd.DataFrame(p["exog"], columns=p["exog_names"]),
        "exog_names": 5,
    },
    "names a tuple": lambda p: {"exog_names": tuple(p["exog_names"])},
    "names an array": lambda p: {"exog_names": np.array(p["exog_names"])},
    "names an Index": lambda p: {"exog_names": pd.Index(p["exog_names"])},
    "names a sequence": lambda p: {"exog_names": NameSequence(p["exog_names"])},
    "names of a str subclass": lambda p: {
        "exog_names": [type("Name", (str,), {})(n) for n in p["exog_names"]]
    },
    "model attribute raises": lambda p: {"model": failing(Boom("model"))},
    "model object": model_object,
    "intercept twice, last": intercept_twice,
    **{
        f"intercept named {n}": lambda p, n=n: {"exog_names": [n, *p["exog_names"][1:]]}
        for n in ["Const", "INTERCEPT", "Intercept", "cOnSt"]
    },
}

# Names that are kept as given: the first is not an intercept.
NON_INTERCEPTS = {
    first: [first, "GPA²", "tüce", "a\0b"]
    for first in ["constant", "intercept_", "_cons", "const ", "Intercept1"]
}

NON_MODELS = [(None, "NoneType"), (1.5, "float"), ("Logit", "str")]


def unsupported_model_object(p):
    inner = duck(p, name="OLS", params=MISSING, cov_params=MISSING, cov=None)
    return {"model": inner}


# Inputs refused with the exception's type and its exact text.
REFUSED_INPUTS = {
    # Class names zarn does not take, the names of the engine's other links among them.
    **{
        f"class {n!r}": (lambda p, n=n: {"name": n}, ValueError, UNSUPPORTED + n)
        for n in ["LogitResults", "OLS", "Logit_", "", "Lögit", "Cloglog", "Identity"]
    },
    "model object of class OLS": (unsupported_model_object, ValueError, UNSUPPORTED + "OLS"),
    "class name not str": (
        lambda p: {"__class__": property(lambda self: SimpleNamespace(__name__=5))},
        TypeError,
        cannot("int", "PyString"),
    ),
    **{
        f"{field} of dtype {dtype}": (
            lambda p, f=field, d=dtype: {f: p[f].astype(d)},
            TypeError,
            cannot("ndarray"),
        )
        for field, dtype in [
            ("params", "float32"),
            ("params", "int64"),
            ("cov", "float32"),
            ("exog", "float32"),
            ("exog", "int64"),
            ("exog", ">f8"),
        ]
    },
    "params 2-d": (lambda p: {"params": p["params"][None, :]}, TypeError, cannot("ndarray")),
    "params a list": (lambda p: {"params": list(p["params"])}, TypeError, cannot("list")),
    "params values a list": (
        lambda p: {"params": SimpleNamespace(values=[1.0] * 4)},
        TypeError,
        cannot("list"),
    ),
    "cov 1-d": (lambda p: {"cov": np.diag(p["cov"])}, TypeError, cannot("ndarray")),
    "exog 1-d": (lambda p: {"exog": p["exog"][:, 0]}, TypeError, cannot("ndarray")),
    "exog 3-d": (lambda p: {"exog": p["exog"][None]}, TypeError, cannot("ndarray")),
    "exog a list": (lambda p: {"exog": p["exog"].tolist()}, TypeError, cannot("list")),
    "names a str": (
        lambda p: {"exog_names": "abcd"},
        TypeError,
        "Can't extract `str` to `Vec`",
    ),
    "names an int": (lambda p: {"exog_names": 5}, TypeError, cannot("int", "Sequence")),
    "names a set": (
        lambda p: {"exog_names": set("abcd")},
        TypeError,
        cannot("set", "Sequence"),
    ),
    "names None": (
        lambda p: {"exog_names": [None] * 4},
        TypeError,
        cannot("NoneType", "PyString"),
    ),
    "a name an int": (
        lambda p: {"exog_names": ["const", 1, "b", "c"]},
        TypeError,
        cannot("int", "PyString"),
    ),
    "exog a DataFrame with int labels": (
        lambda p: {"exog": pd.DataFrame(p["exog"])},
        TypeError,
        cannot("int", "PyString"),
    ),
}

# Sizes that do not fit exog's 4 columns, with words the ValueError must contain.
SIZE_MISMATCHES = {
    "params short": (lambda p: {"params": p["params"][:3]}, ["params", "3"]),
    "params long": (lambda p: {"params": np.append(p["params"], 0.0)}, ["params", "5"]),
    "cov small": (lambda p: {"cov": p["cov"][:3, :3]}, ["cov_params()", "3 x 3"]),
    "cov narrow": (lambda p: {"cov": p["cov"][:, :3]}, ["cov_params()", "4 x 3"]),
    "names short": (lambda p: {"exog_names": p["exog_names"][:3]}, ["names", "3"]),
    "names long": (lambda p: {"exog_names": [*p["exog_names"], "const"]}, ["names", "5"]),
}

# Members whose reading raises error e, which must reach the caller as it is; each
# change is a function of e and p.
READ_ERRORS = {
    "class": lambda e, p: {"__class__": failing(e)},
    "params": lambda e, p: {"params": failing(e)},
    "cov_params()": lambda e, p: {"cov_params": failing(e).fget},
    "exog": lambda e, p: {"exog": failing(e)},
    "exog_names": lambda e, p: {"exog_names": failing(e)},
    "exog.columns": lambda e, p: {
        "exog": type("Frame", (), {"values": p["exog"], "columns": failing(e)})()
    },
    "names while listed": lambda e, p: {"exog_names": FailingNames(["const"], e)},
}

# Arrays in layouts zarn refuses, with the label its ValueError starts with.
UNREADABLE = {
    f"{field} {layout.__name__}": (layout, field, label)
    for layout in (packed, misaligned)
    for field, label in [("params", "params"), ("cov", "cov_params()"), ("exog", "exog")]
}

# What pandas' DataFrame constructor does when zarn builds its table: each entry makes the
# outcome anew, an exception to raise or an object to return.
FRAME_OUTCOMES = {
    "raises": lambda: Boom("no frame"),
    "raises KeyboardInterrupt": lambda: KeyboardInterrupt("table"),
    "returns something else": object,
}
