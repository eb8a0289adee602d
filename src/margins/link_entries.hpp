// The entry routines of velmora_margins._kernels that expose pieces of the engine: the
// link functions over an array, and the columns of X that hold only 0 and 1.
#pragma once

#include <Python.h>

#include "margins/kernels_state.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// Makes LinkValues, the struct sequence that link_values returns, adds it to the module
// and keeps it in state.
surface::Result<void> add_link_values_type(PyObject* module, KernelsState& state);

// link_values(link, v) -> LinkValues(cdf, pdf, pdf_derivative)
surface::Result<surface::PyRef> link_values(PyObject* module, PyObject* args, PyObject* kwargs);

// binary_columns(x) -> boolean array, one item per column of x
surface::Result<surface::PyRef> binary_columns(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace velmora::margins
