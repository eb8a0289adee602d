// Reading the contrasts of one call of contrast_sums from their Python description.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "engine/contrast_sums.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// The contrasts as engine views, with the arrays behind the views kept alive.
struct ContrastInputs {
    engine::ContrastSet set;
    std::vector<surface::PyRef> owners;
};

// Reads the contrasts for x of rows x k:
// - derivatives, a sequence of (columns, slopes) or (columns, slopes, side_columns, side,
//   multiplier, per_prediction), with multiplier None or a float64 array of one value
//   per row, and per_prediction true to divide the term by F (see
//   engine::DerivativeContrast);
// - level_contrasts, a sequence of (columns, base, levels, two_valued) with levels a
//   sequence of arrays and two_valued true for a column that holds only the two values
//   of its one level and base (see engine::LevelContrasts);
// - predictions, a sequence of (columns, values), or null for none.
// Columns are sequences of column indices and the other arrays two-dimensional float64
// arrays of one column per column index and one row per row of x, or of one row for
// values that are the same in every row. A description that does not fit is a TypeError
// or a ValueError that says which item.
surface::Result<ContrastInputs> read_contrasts(PyObject* derivatives, PyObject* level_contrasts,
                                               PyObject* predictions, std::ptrdiff_t rows,
                                               std::ptrdiff_t k);

}  // namespace velmora::margins
