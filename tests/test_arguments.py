"""Binding and conversion of zarn's arguments: model, chunk_size and se_method."""

import operator
import re

import numpy as np
import pandas.testing as pdt
import pytest

import ame_reference as ref
from support import assert_matches, duck, expected_rows, parts, same_table
from velmora import zarn

CHUNK = "argument 'chunk_size': "
MISSING_MODEL = "zarn() missing 1 required positional argument: 'model'"
TOO_MANY = "zarn() takes from 1 to 3 positional arguments but {} were given"
MULTIPLE = "zarn() got multiple values for argument '{}'"
UNEXPECTED = "zarn() got an unexpected keyword argument '{}'"
ANY = object()  # a model that binding never looks at
FIT = object()  # stands for the fitted model in parameter lists


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
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


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((FIT, None, None), {}),
        ((), {"model": FIT}),
        ((), {"se_method": None, "chunk_size": None, "model": FIT}),
        ((FIT, None, "kova"), {}),
        ((FIT,), {"se_method": "kova"}),
    ],
)
def test_none_and_defaults_equal_absent(spector_result, args, kwargs):
    args = [spector_result if a is FIT else a for a in args]
    kwargs = {k: spector_result if v is FIT else v for k, v in kwargs.items()}
    pdt.assert_frame_equal(zarn(*args, **kwargs), zarn(spector_result), check_exact=True)


@pytest.mark.parametrize(
    "chunk", [1000, np.int64(1000), np.uint8(7), True, Index(5), 2**64 - 1], ids=repr
)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_chunk_size_through_index(spector_result, chunk, by_keyword):
    got = zarn(spector_result, chunk_size=chunk) if by_keyword else zarn(spector_result, chunk)
    same_table(got, zarn(spector_result))


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, MISSING_MODEL),
        ((ANY, 100, "sm", 4), {}, TOO_MANY.format(4)),
        # Too many positionals is reported before keyword and conversion errors.
        ((ANY, 2.5, b"sm", 4, 5), {"bogus": 1}, TOO_MANY.format(5)),
        ((ANY,), {"model": ANY}, MULTIPLE.format("model")),
        ((ANY, None), {"chunk_size": 5}, MULTIPLE.format("chunk_size")),
        ((ANY, 1, "sm"), {"se_method": "sm"}, MULTIPLE.format("se_method")),
        ((ANY,), {"chunksize": 10}, UNEXPECTED.format("chunksize")),
        # Keyword errors come in keyword order, before the missing model.
        ((ANY,), {"bogus": 1, "model": ANY}, UNEXPECTED.format("bogus")),
        ((ANY,), {"model": ANY, "bogus": 1}, MULTIPLE.format("model")),
        ((), {"se_method": "sm", "Model": ANY}, UNEXPECTED.format("Model")),
        ((), {"chunk_size": 2.5, "se_method": 5}, MISSING_MODEL),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        zarn(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "value", [2.5, "10", 1j, np.float64(3.0), Index(1.5), Index(caused_type_error())], ids=repr
)
def test_chunk_size_type_error_names_the_argument(value):
    with pytest.raises(TypeError) as original:
        operator.index(value)
    with pytest.raises(TypeError) as exc:
        zarn(None, value)
    assert type(exc.value) is TypeError
    assert str(exc.value) == CHUNK + str(original.value)
    assert exc.value.__cause__ is original.value.__cause__


@pytest.mark.parametrize(
    ("value", "kind"),
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (np.int64(-5), OverflowError),
        (Index(IndexTypeError("subclass")), IndexTypeError),
        (Index(ValueError("value")), ValueError),
    ],
    ids=repr,
)
def test_chunk_size_other_errors_pass_unchanged(value, kind):
    with pytest.raises(kind) as exc:
        zarn(None, value)
    assert type(exc.value) is kind
    assert not str(exc.value).startswith(CHUNK)
    if isinstance(value, Index):
        assert exc.value is value.value


@pytest.mark.parametrize("zero", [0, False, np.uint8(0), Index(0)], ids=repr)
def test_chunk_size_zero_is_refused(spector_result, zero):
    with pytest.raises(ValueError, match="^" + re.escape(CHUNK)):
        zarn(spector_result, zero)


@pytest.mark.parametrize(
    ("value", "type_name"), [(b"sm", "bytes"), (5, "int"), (Holder.Method(), "Holder.Method")]
)
def test_se_method_must_be_str(value, type_name):
    with pytest.raises(TypeError) as exc:
        zarn(None, se_method=value)
    message = f"argument 'se_method': '{type_name}' object cannot be converted to 'PyString'"
    assert str(exc.value) == message


def test_se_method_text(spector_result):
    want = zarn(spector_result, se_method="sm")
    for text in [type("Method", (str,), {})("sm"), np.str_("sm")]:
        pdt.assert_frame_equal(zarn(spector_result, se_method=text), want)
    with pytest.raises(UnicodeEncodeError):
        zarn(spector_result, se_method="\udc80")


@pytest.mark.parametrize(
    ("chunk", "method", "kind"),
    [(2.5, b"sm", TypeError), (0, 5, ValueError), (-1, b"x", OverflowError)],
)
def test_chunk_size_error_comes_before_se_method_error(chunk, method, kind):
    with pytest.raises(kind) as exc:
        zarn(None, chunk, method)
    assert "se_method" not in str(exc.value)


def mixed_parts(kind):
    """Two binary and two continuous columns around an intercept."""
    rng = np.random.default_rng(11)
    n = 300
    X = np.column_stack(
        [
            np.ones(n),
            (rng.random(n) < 0.4).astype(float),
            rng.normal(size=n),
            (rng.random(n) < 0.6).astype(float),
            rng.normal(2.0, 1.0, n),
        ]
    )
    A = rng.normal(size=(5, 5))
    names = ["const", "b1", "x1", "b2", "x2"]
    return {
        "name": kind.capitalize(),
        "params": rng.normal(0, 0.5, 5),
        "cov": A @ A.T / 100,
        "exog": X,
        "exog_names": names,
    }


@pytest.fixture(params=["statsmodels fit", "mixed columns"])
def model_and_parts(request, spector_result):
    """The statsmodels fit, or a stand-in with more columns of each kind, and its parts."""
    p = parts(spector_result)
    if request.param == "statsmodels fit":
        return spector_result, p
    p = mixed_parts(p["name"].lower())
    return duck(p), p


UNRECOGNISED = ["SM", "Sm", "KOVA", "", " sm", "kova ", "kova\0", "sm\x00", "delta", "statsmodels"]


@pytest.mark.parametrize("text", UNRECOGNISED)
def test_unrecognised_se_method_warns_and_leaves_continuous_rows_empty(model_and_parts, text):
    model, p = model_and_parts
    with pytest.warns(RuntimeWarning) as record:
        table = zarn(model, se_method=text)
    assert len(record) == 1
    message = str(record[0].message)
    assert "se_method" in message
    assert repr(text) in message
    assert '"kova"' in message
    assert '"sm"' in message
    assert record[0].filename == __file__  # attributed to the caller's line

    names = p["exog_names"]
    binary = [names[j] for j in ref.binary_columns(p["exog"], names)]
    continuous = [name for name in table.index if name not in binary]
    assert binary
    assert continuous
    rows = table.loc[continuous]
    assert (rows["dy/dx"] == 0.0).all()
    assert (rows["Std. Err"] == 0.0).all()
    assert (rows["Pr(>|z|)"] == 1.0).all()
    assert (rows["Significance"] == "").all()
    # The binary rows are those of "kova", to the bit.
    pdt.assert_frame_equal(
        table.loc[binary], zarn(model, se_method="kova").loc[binary], check_exact=True
    )
    ames, ses = expected_rows(p, text)
    assert_matches(table, ames, ses, repr(text))
