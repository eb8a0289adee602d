"""A design matrix held as its columns: what the design reads in place and what it makes,
and every kernel's sums from the columns against the same rows as one matrix, bit for bit
(each block of rows is gathered into the layout the kernels read a matrix in)."""

import re

import numpy as np
import patsy
import pytest

from velmora_margins import _kernels
from velmora_margins.formula.design import binary_columns
from velmora_margins.formula.design_columns import CodedColumn, DesignColumns
from velmora_margins.formula.reader import read_design

FORMULA = "affairs ~ age + yrs_married + C(religious) + rate_marriage:educ"


def fair_design(fair):
    outcome, x = patsy.dmatrices(FORMULA, fair, return_type="dataframe")
    return read_design(x.design_info, list(fair.columns), FORMULA, outcome.design_info)


@pytest.fixture(scope="module")
def held(fair):
    """The fair data's design held as columns, the same as one matrix, and the outcome."""
    columns, y, keep = fair_design(fair).matrix(fair, reuse=True)
    assert keep.all()
    return columns, columns.array(), y


def same_bits(a, b):
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


def test_a_pass_reads_data_columns_in_place_and_kept_rows_copy_them(fair, held):
    passing, matrix, _ = held
    kept = fair_design(fair).matrix(fair)[0]
    np.testing.assert_array_equal(kept.array(), matrix)
    # Intercept, religious 2, 3 and 4, age, yrs_married, rate_marriage:educ.
    assert passing.shape == kept.shape == matrix.shape == (len(fair), 7)
    data = [fair[c].to_numpy() for c in fair.columns]
    for columns in (passing, kept):
        ones, *levels, age, married, product = columns.columns
        assert ones.strides == (0,)  # one value for every row
        assert ones[0] == 1.0
        # The levels' columns share the rows' codes, one byte a row.
        codes = levels[0].codes
        assert all(isinstance(c, CodedColumn) and c.codes is codes for c in levels)
        assert codes.dtype == np.uint8
        for made in (codes, product):
            assert not any(np.shares_memory(made, d) for d in data)
        np.testing.assert_array_equal(product, fair["rate_marriage"] * fair["educ"])
        np.testing.assert_array_equal(levels[1].values(), fair["religious"] == 3)
        read = [np.shares_memory(age, fair["age"].to_numpy())]
        read.append(np.shares_memory(married, fair["yrs_married"].to_numpy()))
        assert read == [columns is passing] * 2


def test_a_factor_of_more_levels_than_a_byte_holds(fair):
    """Such a factor's columns are made as numbers; the memory a kept row takes counts
    eight bytes a column, but one for all of a coded factor's columns."""
    data = fair.assign(g=np.arange(len(fair)) % 300)
    formula = "affairs ~ age + C(g)"
    outcome, x = patsy.dmatrices(formula, data, return_type="dataframe")
    design = read_design(x.design_info, list(data.columns), formula, outcome.design_info)
    columns = design.matrix(data)[0]
    assert not any(isinstance(c, CodedColumn) for c in columns.columns)
    np.testing.assert_array_equal(columns.array(), x.to_numpy())
    assert design.row_bytes == 8 * 300  # age and 299 levels; not the intercept
    assert fair_design(fair).row_bytes == 8 * 3 + 1


def test_rows_products_and_flags_as_of_one_matrix(held):
    columns, matrix, _ = held
    beta = np.linspace(-0.5, 0.5, matrix.shape[1])
    np.testing.assert_allclose(columns @ beta, matrix @ beta, rtol=1e-13, atol=1e-13)
    picked = np.arange(len(matrix)) % 3 == 1
    for rows in (slice(10, 400, 3), picked, np.flatnonzero(picked)[::-1]):
        part = columns[rows]
        assert part.shape == matrix[rows].shape
        np.testing.assert_array_equal(part.array(), matrix[rows])
    assert columns[10:400].columns[4].base is not None  # a slice is a view
    assert columns[10:400].columns[1].codes.base is not None
    np.testing.assert_array_equal(binary_columns(columns), _kernels.binary_columns(matrix))
    assert binary_columns(columns).tolist() == [True, True, True, True, False, False, False]
    # A value other than 0 and 1 in a later block of rows, in a strided column.
    late = np.zeros(2 * 700)
    late[2 * 600] = 2.0
    flags = binary_columns(DesignColumns((late[::2], late[-2::-2], np.ones(700)), 700))
    assert flags.tolist() == [False, False, True]
    assert binary_columns(DesignColumns((), 5)).shape == (0,)


KERNELS = {
    "fit_sums": lambda x, y, w, b: _kernels.fit_sums("probit", b, x, (y > 0) * 1.0, w, True),
    "cluster_scores": lambda x, y, w, b: _kernels.cluster_scores(
        "logit", b, x, (y > 0) * 1.0, w, np.arange(len(y)) % 7, 7
    ),
    "glm_sums": lambda x, y, w, b: _kernels.glm_sums(
        "poisson", "log", b, x, y, np.full(len(y), 0.1), w, None, with_meat=True
    ),
    "glm_cluster_scores": lambda x, y, w, b: _kernels.glm_cluster_scores(
        "gaussian", "identity", b, x, y, np.arange(len(y)) % 5, 5, var_weights=w
    ),
    "negbin_sums": lambda x, y, w, b: _kernels.negbin_sums(np.append(b, 0.7), x, y, w, True),
    "ols_sums": lambda x, y, w, b: _kernels.ols_sums(x, y, w),
    "contrast_sums": lambda x, y, w, b: _kernels.contrast_sums(
        "cloglog",
        b,
        x,
        w,
        [([4], np.ones((1, 1)))],
        [([1], np.zeros((1, 1)), [np.ones((1, 1))], True)],
    ),
}


def fields(sums):
    if isinstance(sums, np.ndarray):
        return [sums]
    names = [n for n in dir(sums) if not n.startswith("_") and not callable(getattr(sums, n))]
    return [getattr(sums, n) for n in names]


@pytest.mark.parametrize("kernel", list(KERNELS))
def test_every_kernel_sums_columns_as_the_matrix(held, kernel):
    columns, matrix, y = held
    beta = np.linspace(-0.05, 0.05, matrix.shape[1])
    w = 1.0 + np.arange(len(y)) % 3
    want = KERNELS[kernel](matrix, y, w, beta)
    got = KERNELS[kernel](columns.argument(), y, w, beta)
    assert type(got) is type(want)
    assert all(map(same_bits, fields(got), fields(want)))
    # Columns at any stride, the rows in another order: the same sums as those rows'
    # matrix in the order of a block (column by column).
    wide = np.repeat(matrix[::-1], 3, axis=1)
    strided = tuple(
        (c.codes[::-1], c.table) if isinstance(c, CodedColumn) else wide[:, 3 * j + 1]
        for j, c in enumerate(columns.columns)
    )
    assert any(isinstance(c, tuple) for c in strided)
    rows = (np.asfortranarray(matrix[::-1]), y[::-1].copy(), w[::-1].copy())
    want = KERNELS[kernel](*rows, beta)
    got = KERNELS[kernel](strided, *rows[1:], beta)
    assert all(map(same_bits, fields(got), fields(want)))


CODES = np.arange(4, dtype=np.uint8)


@pytest.mark.parametrize(
    ("x", "error", "message"),
    [
        ([np.ones(4), np.ones(4)], TypeError, "'list' object cannot be converted"),
        ((np.ones(4), np.ones(3)), ValueError, "x: column 1 holds 3 rows, column 0 holds 4"),
        ((), ValueError, "x: a tuple of no columns; pass a rows x 0 array instead"),
        ((np.ones(4), np.ones((4, 1))), TypeError, "'ndarray' object cannot be converted"),
        ((np.ones(4), np.arange(4)), TypeError, "'ndarray' object cannot be converted"),
        ((np.ones(4), (CODES, np.ones(4), 1)), ValueError, "x column 1: a tuple of 3 items"),
        ((np.ones(4), (CODES, np.ones(3))), ValueError, "x column 1: code 3 is outside its"),
        ((np.ones(4), (CODES[:3], np.ones(4))), ValueError, "column 1 holds 3 rows, column 0"),
        ((np.ones(4), (np.arange(4), np.ones(4))), TypeError, "'ndarray' object cannot be"),
        ((np.ones(4), (CODES, np.ones((4, 1)))), TypeError, "'ndarray' object cannot be"),
    ],
)
def test_columns_the_kernels_refuse(x, error, message):
    with pytest.raises(error, match=re.escape(message)):
        _kernels.fit_sums("logit", np.zeros(2), x, np.zeros(4), None, False)


def test_a_design_of_no_columns():
    none = DesignColumns((), 5)
    assert none.shape == (5, 0)
    assert none[1:3].shape == (2, 0)
    sums = _kernels.ols_sums(none.argument(), np.arange(5.0), None)
    assert sums.rows == 5
