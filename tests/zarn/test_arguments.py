"""Binding and conversion of zarn's arguments: model, chunk_size and se_method."""

import operator
import re

import numpy as np
import pandas.testing as pdt
import pytest

import ame_reference as ref
from support import (
    BINDING_ERRORS,
    CHUNK,
    CHUNK_BEFORE_METHOD,
    CHUNK_OTHER_ERRORS,
    CHUNK_SIZES,
    CHUNK_TYPE_ERRORS,
    DEFAULT_CALLS,
    SE_METHOD_TYPE_ERRORS,
    SM_SPELLINGS,
    UNENCODABLE_METHOD,
    UNRECOGNISED,
    ZERO_CHUNKS,
    Index,
    assert_matches,
    duck,
    parts,
    same_table,
    with_model,
)
from velmora import zarn

ANY = object()  # a model that binding never looks at


@pytest.mark.parametrize(("args", "kwargs"), DEFAULT_CALLS)
def test_none_and_defaults_equal_absent(spector_result, args, kwargs):
    args, kwargs = with_model(args, kwargs, spector_result)
    # Exact: the defaults run the very same pass on the same arrays.
    pdt.assert_frame_equal(zarn(*args, **kwargs), zarn(spector_result), check_exact=True)


@pytest.mark.parametrize("chunk", CHUNK_SIZES, ids=repr)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_chunk_size_through_index(spector_result, chunk, by_keyword):
    got = zarn(spector_result, chunk_size=chunk) if by_keyword else zarn(spector_result, chunk)
    # Chunks of fewer rows add the rows' sums in another order.
    same_table(got, zarn(spector_result), parts(spector_result), "kova")


@pytest.mark.parametrize(("args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(args, kwargs, message):
    args, kwargs = with_model(args, kwargs, ANY)
    with pytest.raises(TypeError) as exc:
        zarn(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


@pytest.mark.parametrize("value", CHUNK_TYPE_ERRORS, ids=repr)
def test_chunk_size_type_error_names_the_argument(value):
    with pytest.raises(TypeError) as original:
        operator.index(value)
    with pytest.raises(TypeError) as exc:
        zarn(None, value)
    assert type(exc.value) is TypeError
    assert str(exc.value) == CHUNK + str(original.value)
    assert exc.value.__cause__ is original.value.__cause__


@pytest.mark.parametrize(("value", "kind"), CHUNK_OTHER_ERRORS, ids=repr)
def test_chunk_size_other_errors_pass_unchanged(value, kind):
    with pytest.raises(kind) as exc:
        zarn(None, value)
    assert type(exc.value) is kind
    assert not str(exc.value).startswith(CHUNK)
    if isinstance(value, Index):
        assert exc.value is value.value


@pytest.mark.parametrize("zero", ZERO_CHUNKS, ids=repr)
def test_chunk_size_zero_is_refused(spector_result, zero):
    with pytest.raises(ValueError, match="^" + re.escape(CHUNK)):
        zarn(spector_result, zero)


@pytest.mark.parametrize(("value", "type_name"), SE_METHOD_TYPE_ERRORS)
def test_se_method_must_be_str(value, type_name):
    with pytest.raises(TypeError) as exc:
        zarn(None, se_method=value)
    message = f"argument 'se_method': '{type_name}' object cannot be converted to 'PyString'"
    assert str(exc.value) == message


def test_se_method_text(spector_result):
    want = zarn(spector_result, se_method="sm")
    for text in SM_SPELLINGS:
        pdt.assert_frame_equal(zarn(spector_result, se_method=text), want)
    with pytest.raises(UnicodeEncodeError):
        zarn(spector_result, se_method=UNENCODABLE_METHOD)


@pytest.mark.parametrize(("chunk", "method", "kind"), CHUNK_BEFORE_METHOD)
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
    # The binary rows are those of "kova" up to rounding: without the continuous rows'
    # column the pass's product X^T W is narrower, and the BLAS kernel may add in another
    # order for it.
    kova = zarn(model, se_method="kova")
    same_table(table.loc[binary], kova.loc[binary], p, "kova")
    assert_matches(table, p, text, repr(text))
