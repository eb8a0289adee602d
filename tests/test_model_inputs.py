"""Reading the model: class-name rule, attribute protocol, arrays, names and intercepts."""

import contextlib
import gc
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

from support import (
    MISSING,
    Boom,
    FailingNames,
    NameSequence,
    duck,
    failing,
    parts,
    same_table,
)
from velmora import zarn

UNSUPPORTED = "ame: only Logit or Probit supported, got "


def cannot(type_name, kind="PyArray<T, D>"):
    return f"'{type_name}' object cannot be converted to '{kind}'"


@pytest.mark.parametrize("spelling", [str.upper, str.lower, lambda s: s[0].lower() + s[1:].upper()])
def test_class_name_selects_the_link(spector_result, spelling):
    kind = type(spector_result.model).__name__
    got = zarn(duck(parts(spector_result), name=spelling(kind)))
    pdt.assert_frame_equal(got, zarn(spector_result))
    other = duck(parts(spector_result), name="Probit" if kind == "Logit" else "Logit")
    assert not np.allclose(zarn(other)["dy/dx"], got["dy/dx"])


def test_model_attribute_gives_kind_and_exog(spector_result):
    p = parts(spector_result)
    inner = duck(p, params="never read", cov=None)
    outer = duck(p, name=p["name"] + "Results", model=inner, exog=None, exog_names=None)
    pdt.assert_frame_equal(zarn(outer), zarn(spector_result))
    inner = duck(p, name="OLS", params=MISSING, cov_params=MISSING, cov=None)
    with pytest.raises(ValueError, match=UNSUPPORTED) as exc:
        zarn(duck(p, model=inner))
    assert str(exc.value) == UNSUPPORTED + "OLS"


@pytest.mark.parametrize(
    ("value", "type_name"), [(None, "NoneType"), (1.5, "float"), ("Logit", "str")]
)
def test_non_models_are_refused(value, type_name):
    with pytest.raises(ValueError, match=UNSUPPORTED) as exc:
        zarn(value)
    assert str(exc.value) == UNSUPPORTED + type_name


class Values(np.ndarray):
    """An array whose "values" attribute raises, so the array itself is read."""

    @property
    def values(self):
        raise Boom("values")


@pytest.mark.parametrize(
    "change",
    [
        lambda p: {"params": pd.Series(p["params"], index=p["exog_names"])},
        lambda p: {"cov": pd.DataFrame(p["cov"])},
        lambda p: {k: p[k].view(Values) for k in ("params", "cov", "exog")},
        lambda p: {"params": p["params"].astype(np.dtype(np.float64, metadata={"u": 1}))},
        lambda p: {"exog": pd.DataFrame(p["exog"], columns=p["exog_names"]), "exog_names": 5},
        lambda p: {"exog_names": tuple(p["exog_names"])},
        lambda p: {"exog_names": np.array(p["exog_names"])},
        lambda p: {"exog_names": pd.Index(p["exog_names"])},
        lambda p: {"exog_names": NameSequence(p["exog_names"])},
        lambda p: {"exog_names": [type("Name", (str,), {})(n) for n in p["exog_names"]]},
        lambda p: {"model": failing(Boom("model"))},
    ]
    + [
        lambda p, n=n: {"exog_names": [n, *p["exog_names"][1:]]}
        for n in ["Const", "INTERCEPT", "Intercept", "cOnSt"]
    ],
)
def test_accepted_forms_give_the_same_table(spector_result, change):
    p = parts(spector_result)
    same_table(zarn(duck(p, **change(p))), zarn(spector_result))


@pytest.mark.parametrize("first", ["constant", "intercept_", "_cons", "const ", "Intercept1"])
def test_names_are_copied_and_only_intercepts_left_out(spector_result, first):
    names = [first, "GPA²", "tüce", "a\0b"]
    assert zarn(duck(parts(spector_result), exog_names=names)).index.tolist() == names


def test_every_intercept_column_is_left_out(spector_result):
    p = parts(spector_result)
    order = [1, 2, 3, 0, 0]  # regressors, then the constant twice
    cov = p["cov"][np.ix_(order, order)]
    cov[4, :] = cov[:, 4] = 0.0
    model = duck(
        p,
        params=np.append(p["params"][order[:4]], 0.0),
        cov=cov,
        exog=p["exog"][:, order],
        exog_names=["GPA", "TUCE", "PSI", "const", "Intercept"],
    )
    same_table(zarn(model), zarn(spector_result))


def str_name(p):
    return {"__class__": property(lambda self: SimpleNamespace(__name__=5))}


@pytest.mark.parametrize(
    ("change", "kind", "message"),
    [
        (lambda p, n=n: {"name": n}, ValueError, UNSUPPORTED + n)
        for n in ["LogitResults", "OLS", "Logit_", "", "Lögit"]
    ]
    + [
        (str_name, TypeError, cannot("int", "PyString")),
        (lambda p: {"params": p["params"].astype(np.float32)}, TypeError, cannot("ndarray")),
        (lambda p: {"params": p["params"].astype(np.int64)}, TypeError, cannot("ndarray")),
        (lambda p: {"params": p["params"][None, :]}, TypeError, cannot("ndarray")),
        (lambda p: {"params": list(p["params"])}, TypeError, cannot("list")),
        (lambda p: {"params": SimpleNamespace(values=[1.0] * 4)}, TypeError, cannot("list")),
        (lambda p: {"cov": p["cov"].astype(np.float32)}, TypeError, cannot("ndarray")),
        (lambda p: {"cov": np.diag(p["cov"])}, TypeError, cannot("ndarray")),
        (lambda p: {"exog": p["exog"].astype(np.int64)}, TypeError, cannot("ndarray")),
        (lambda p: {"exog": p["exog"][:, 0]}, TypeError, cannot("ndarray")),
        (lambda p: {"exog": p["exog"][None]}, TypeError, cannot("ndarray")),
        (lambda p: {"exog": p["exog"].astype(">f8")}, TypeError, cannot("ndarray")),
        (lambda p: {"exog": p["exog"].tolist()}, TypeError, cannot("list")),
        (lambda p: {"exog_names": "abcd"}, TypeError, "Can't extract `str` to `Vec`"),
        (lambda p: {"exog_names": 5}, TypeError, cannot("int", "Sequence")),
        (lambda p: {"exog_names": set("abcd")}, TypeError, cannot("set", "Sequence")),
        (lambda p: {"exog_names": [None] * 4}, TypeError, cannot("NoneType", "PyString")),
        (lambda p: {"exog": pd.DataFrame(p["exog"])}, TypeError, cannot("int", "PyString")),
    ],
)
def test_refused_inputs(spector_result, change, kind, message):
    p = parts(spector_result)
    with pytest.raises(kind) as exc:
        zarn(duck(p, **change(p)))
    assert type(exc.value) is kind
    assert str(exc.value) == message


@pytest.mark.parametrize(
    ("change", "words"),
    [
        (lambda p: {"params": p["params"][:3]}, ["params", "3"]),
        (lambda p: {"params": np.append(p["params"], 0.0)}, ["params", "5"]),
        (lambda p: {"cov": p["cov"][:3, :3]}, ["cov_params()", "3 x 3"]),
        (lambda p: {"cov": p["cov"][:, :3]}, ["cov_params()", "4 x 3"]),
        (lambda p: {"exog_names": p["exog_names"][:3]}, ["names", "3"]),
        (lambda p: {"exog_names": p["exog_names"] + ["const"]}, ["names", "5"]),
    ],
)
def test_sizes_must_fit_exog(spector_result, change, words):
    p = parts(spector_result)
    with pytest.raises(ValueError, match="exog has 4 columns") as exc:
        zarn(duck(p, **change(p)))
    message = str(exc.value)
    assert all(word in message for word in [*words, "exog has 4 columns"]), message


@pytest.mark.parametrize(
    "change",
    [
        lambda e, p: {"__class__": failing(e)},
        lambda e, p: {"params": failing(e)},
        lambda e, p: {"cov_params": failing(e).fget},
        lambda e, p: {"exog": failing(e)},
        lambda e, p: {"exog_names": failing(e)},
        lambda e, p: {"exog": type("Frame", (), {"values": p["exog"], "columns": failing(e)})()},
        lambda e, p: {"exog_names": FailingNames(["const"], e)},
    ],
)
def test_errors_while_reading_pass_unchanged(spector_result, change):
    error, p = Boom(), parts(spector_result)
    with pytest.raises(Boom) as exc:
        zarn(duck(p, **change(error, p)))
    assert exc.value is error


def test_calls_leave_no_references_behind(spector_result):
    p = parts(spector_result)
    models = [
        duck(p),
        duck({**p, "name": "OLS"}),
        duck({**p, "exog_names": p["exog_names"][:3]}),
        duck({**p, "exog": p["exog"].astype(np.float32)}),
        duck({**p, "exog_names": property(lambda self: {}["absent"])}),
        duck({**p, "exog_names": ["const", 1, "b", "c"]}),
    ]
    tracked = [p["params"], p["cov"], p["exog"], p["exog_names"], *models]

    def run_all():
        for model in models:
            for args in [(), (2.5,), (None, "SM")]:
                with contextlib.suppress(Exception, Warning):
                    zarn(model, *args)

    run_all()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(20):
        run_all()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before
