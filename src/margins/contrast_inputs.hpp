// Reading the contrasts of one call of contrast_sums from their Python description.
#pragma once

#include <Python.h>

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

// Reads derivatives, a sequence of (columns, slopes), and level_contrasts, a sequence
// of (columns, base, levels, two_valued) with levels a sequence of arrays and two_valued
// true for a column that holds only the two values of its one level and base (see
// engine::LevelContrasts); columns are sequences of column indices and the arrays
// two-dimensional float64 arrays of one row per row of X (or of one row, for values
// that are the same in every row).
surface::Result<ContrastInputs> read_contrasts(PyObject* derivatives, PyObject* level_contrasts);

}  // namespace velmora::margins
