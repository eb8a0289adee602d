"""Reading the model: class-name rule, attribute protocol, arrays, names and intercepts."""

import numpy as np
import pandas.testing as pdt
import pytest

from support import (
    ACCEPTED_FORMS,
    CLASS_SPELLINGS,
    NON_INTERCEPTS,
    NON_MODELS,
    READ_ERRORS,
    REFUSED_INPUTS,
    SIZE_MISMATCHES,
    UNSUPPORTED,
    Boom,
    duck,
    parts,
    same_table,
)
from velmora import zarn


@pytest.mark.parametrize("spelling", CLASS_SPELLINGS)
def test_class_name_selects_the_link(spector_result, spelling):
    kind = type(spector_result.model).__name__
    got = zarn(duck(parts(spector_result), name=spelling(kind)))
    pdt.assert_frame_equal(got, zarn(spector_result))
    other = duck(parts(spector_result), name="Probit" if kind == "Logit" else "Logit")
    assert not np.allclose(zarn(other)["dy/dx"], got["dy/dx"])


@pytest.mark.parametrize(("value", "type_name"), NON_MODELS)
def test_non_models_are_refused(value, type_name):
    with pytest.raises(ValueError, match=UNSUPPORTED) as exc:
        zarn(value)
    assert str(exc.value) == UNSUPPORTED + type_name


@pytest.mark.parametrize("change", ACCEPTED_FORMS.values(), ids=ACCEPTED_FORMS)
def test_accepted_forms_give_the_same_table(spector_result, change):
    p = parts(spector_result)
    # Some forms reorder the columns or change the memory order, so the pass adds in
    # another order.
    same_table(zarn(duck(p, **change(p))), zarn(spector_result), p, "kova")


@pytest.mark.parametrize("names", NON_INTERCEPTS.values(), ids=NON_INTERCEPTS)
def test_names_are_copied_and_only_intercepts_left_out(spector_result, names):
    assert zarn(duck(parts(spector_result), exog_names=names)).index.tolist() == names


@pytest.mark.parametrize(("change", "kind", "message"), REFUSED_INPUTS.values(), ids=REFUSED_INPUTS)
def test_refused_inputs(spector_result, change, kind, message):
    p = parts(spector_result)
    with pytest.raises(kind) as exc:
        zarn(duck(p, **change(p)))
    assert type(exc.value) is kind
    assert str(exc.value) == message


@pytest.mark.parametrize(("change", "words"), SIZE_MISMATCHES.values(), ids=SIZE_MISMATCHES)
def test_sizes_must_fit_exog(spector_result, change, words):
    p = parts(spector_result)
    with pytest.raises(ValueError, match="exog has 4 columns") as exc:
        zarn(duck(p, **change(p)))
    message = str(exc.value)
    assert all(word in message for word in [*words, "exog has 4 columns"]), message


@pytest.mark.parametrize("change", READ_ERRORS.values(), ids=READ_ERRORS)
def test_errors_while_reading_pass_unchanged(spector_result, change):
    error, p = Boom(), parts(spector_result)
    with pytest.raises(Boom) as exc:
        zarn(duck(p, **change(error, p)))
    assert exc.value is error
