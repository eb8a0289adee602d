"""The recipes of a formula's design columns against patsy's own design matrices, bit for
bit, with the rows patsy leaves out; factors that pickle, here and in a fresh process."""

import math  # noqa: F401 (the formulas read it from this namespace)
import pickle
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import patsy
import pytest

import velmora_margins
from velmora_margins.formula.reader import read_design

SCALE = 2.5  # a value of the formula's namespace


def frame(rows, seed, missing=True):
    """Numbers, text, integer codes and True/False, with missing values spread over several
    columns (the outcome's among them) when asked."""
    rng = np.random.default_rng(seed)
    data = pd.DataFrame(
        {
            "y": (rng.random(rows) < 0.4).astype(float),
            "x1": rng.normal(size=rows),
            "x2": rng.uniform(0.5, 4.0, rows),
            "x3": rng.uniform(-2.0, 2.0, rows),  # never missing: what transforms learn from
            "g": rng.choice(["b", "a", "c"], rows),
            "h": rng.integers(1, 4, rows),
            "flag": rng.random(rows) < 0.5,
        }
    )
    if missing:
        data.loc[data.index % 11 == 3, "x1"] = np.nan
        data.loc[data.index % 13 == 5, "x2"] = np.nan
        data.loc[data.index % 17 == 7, "g"] = None
        data.loc[data.index % 19 == 2, "y"] = np.nan
    return data


FORMULAS = [
    "y ~ x1 + x2",
    "y ~ g + C(h) + flag",
    "y ~ C(g, Treatment('c')) + C(h, Sum)",
    "y ~ C(g, Sum):x1 + x2",
    "y ~ C(h, Poly) + C(g, Helmert)",
    "y ~ x1 * x2 + x1:C(h)",
    "y ~ C(g):C(h)",
    "y ~ 0 + g + x1:g",
    "y ~ C(h):x2:C(g) - 1",
    "y ~ np.log(x2) + I(x1 ** 2) + np.exp(x1 / 3):g + I(x2 * SCALE) + I(x1 * math.sqrt(SCALE))",
    "y ~ center(x3) + standardize(x3, ddof=1):x1 + scale(x3):C(h)",
    "y ~ bs(x3, df=4) + bs(x3, df=3):g + C(h):cr(x3, df=3)",
]


def patsy_design(formula, data):
    return patsy.dmatrices(formula, data, NA_action="drop", return_type="dataframe")


@pytest.mark.parametrize("formula", FORMULAS)
def test_matrix_equals_patsys_bit_for_bit(formula):
    learnt = frame(300, seed=1)
    outcome, design_frame = patsy_design(formula, learnt)
    infos = [outcome.design_info, design_frame.design_info]
    design = read_design(infos[1], list(learnt.columns), formula, infos[0])
    assert design.names == tuple(infos[1].column_names)
    # On the data it was learnt on, and on other rows, which hold fewer of the levels.
    other = frame(40, seed=2).query("g != 'a'").reset_index(drop=True)
    for data in (learnt, other):
        y, x = patsy.build_design_matrices(infos, data, NA_action="drop", return_type="dataframe")
        got, got_y, keep = design.matrix(data)
        assert got.shape == x.shape
        np.testing.assert_array_equal(got.array(), x.to_numpy())
        np.testing.assert_array_equal(got_y, y.to_numpy()[:, 0])
        np.testing.assert_array_equal(data.index[keep], x.index)
        assert len(data) / 2 < keep.sum() < len(data)  # some rows, not all, were left out


def unseen_level(formula):
    learnt = frame(100, seed=3, missing=False)
    outcome, x = patsy_design(formula, learnt)
    design = read_design(x.design_info, list(learnt.columns), formula, outcome.design_info)
    return design, learnt.assign(g=learnt["g"].where(learnt.index != 4, "d"))


@pytest.mark.filterwarnings("ignore:Constructing a Categorical with a dtype")
@pytest.mark.parametrize(
    ("formula", "code"), [("y ~ g + x1", "g"), ("y ~ x1:C(g, Sum)", "C(g, Sum)")]
)
def test_a_value_that_is_not_a_level_is_refused(formula, code):
    design, data = unseen_level(formula)
    with pytest.raises(velmora_margins.DesignError) as caught:
        design.matrix(data)
    assert str(caught.value) == (
        f"the data hold the value 'd' of {code}, which is not one of its levels ['a', 'b', 'c']"
    )


def test_a_value_that_is_not_a_level_is_refused_without_a_warning():
    design, data = unseen_level("y ~ g + x1")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(velmora_margins.DesignError):
            design.matrix(data)


# Pickling: the factors carry their namespace (modules by name, values as they are) and
# their stateful transforms' learnt state.

PICKLED = (
    "y ~ center(x3) + standardize(x3, ddof=1):g + np.log(x2) + I(x1 * SCALE) + I(math.tau * x2)"
)


def values(factor, data):
    """A numerical factor's value, or a categorical one's level of each row (-1 if missing)."""
    return factor.value(data) if factor.numerical else factor.codes(data, missing=True)


def pickled_design():
    learnt = frame(200, seed=4)
    outcome, x = patsy_design(PICKLED, learnt)
    design = read_design(x.design_info, list(learnt.columns), PICKLED, outcome.design_info)
    return design, [outcome.design_info, x.design_info], frame(60, seed=5)


def test_factors_pickle_and_evaluate_the_same():
    design, infos, data = pickled_design()
    copy = pickle.loads(pickle.dumps(design))
    for before, after in zip(design.factors, copy.factors, strict=True):
        assert after.code == before.code
        np.testing.assert_array_equal(values(after, data), values(before, data))
    kinds = {f.code: (set(f.namespace), set(f.transforms)) for f in copy.factors}
    assert kinds["np.log(x2)"][0] == {"np"}
    assert kinds["I(x1 * SCALE)"][0] == {"I", "SCALE"}
    assert kinds["I(math.tau * x2)"][0] == {"I", "math"}
    assert len(kinds["center(x3)"][1]) == 1
    expected = np.asarray(patsy.build_design_matrices(infos, data, NA_action="drop")[1])
    (got, got_y, got_keep), (x, y, keep) = copy.matrix(data), design.matrix(data)
    np.testing.assert_array_equal(got.array(), x.array())
    np.testing.assert_array_equal(got_y, y)
    np.testing.assert_array_equal(got_keep, keep)
    np.testing.assert_array_equal(got.array(), expected)
    assert len(expected) > len(data) / 2


def test_factors_evaluate_the_same_in_a_fresh_process(tmp_path):
    design, infos, data = pickled_design()
    (tmp_path / "in.pickle").write_bytes(pickle.dumps((design, data)))
    script = textwrap.dedent(
        """
        import pickle, sys
        design, data = pickle.loads(open(sys.argv[1], "rb").read())
        values = [
            factor.value(data) if factor.numerical else factor.codes(data, missing=True)
            for factor in design.factors
        ]
        x, y, keep = design.matrix(data)
        open(sys.argv[2], "wb").write(pickle.dumps((values, x.array(), y, keep)))
        """
    )
    subprocess.run(
        [sys.executable, "-c", script, tmp_path / "in.pickle", tmp_path / "out.pickle"],
        check=True,
        timeout=120,
    )
    there, x, y, keep = pickle.loads((tmp_path / "out.pickle").read_bytes())
    for factor, value in zip(design.factors, there, strict=True):
        np.testing.assert_array_equal(value, values(factor, data))
    expected = np.asarray(patsy.build_design_matrices(infos, data, NA_action="drop")[1])
    np.testing.assert_array_equal(x, expected)
    np.testing.assert_array_equal(y, design.matrix(data)[1])
    np.testing.assert_array_equal(keep, design.matrix(data)[2])


# Level codes of text stored in each of the ways a partition may hold it.

STORED = {
    "object": lambda values: pd.Series(values, dtype=object),
    "str": lambda values: pd.Series(values, dtype="str"),
    "categorical, other order and unused": lambda values: pd.Series(
        pd.Categorical(values, categories=["zz", "c", "b", "a"])
    ),
}


@pytest.mark.parametrize("stored", list(STORED))
def test_text_levels_are_coded_row_by_row_however_the_text_is_stored(stored):
    design, _ = unseen_level("y ~ g + x1")
    factor = next(f for f in design.factors if f.code == "g")
    rows = ["c", None, "a", "b", "b", None, "a", "c", "c"]
    expected = [{"a": 0, "b": 1, "c": 2}.get(v, -1) for v in rows]  # patsy sorts the text
    codes = factor.codes(pd.DataFrame({"g": STORED[stored](rows)}), missing=True)
    np.testing.assert_array_equal(codes, expected)
    assert codes.dtype == np.intp
    none_known = factor.codes(pd.DataFrame({"g": STORED[stored]([None, None])}), missing=True)
    np.testing.assert_array_equal(none_known, [-1, -1])


@pytest.mark.parametrize("stored", ["object", "str"])
def test_the_first_row_that_is_no_level_is_named(stored):
    design, _ = unseen_level("y ~ g + x1")
    factor = next(f for f in design.factors if f.code == "g")
    data = pd.DataFrame({"g": STORED[stored](["a", "b", "zz", "a", "d", "zz"])})
    with pytest.raises(velmora_margins.DesignError, match="the data hold the value 'zz' of g"):
        factor.codes(data, missing=True)
    later = pd.DataFrame({"g": STORED[stored](["a", "d", None, "zz"])})
    with pytest.raises(velmora_margins.DesignError, match="the data hold the value 'd' of g"):
        factor.codes(later, missing=False)
    missing_first = pd.DataFrame({"g": STORED[stored](["a", None, "d"])})
    with pytest.raises(velmora_margins.DesignError, match=r"the data hold the value (None|nan) "):
        factor.codes(missing_first, missing=False)
