// Float64 NumPy arrays seen as engine views, read in place.
#pragma once

#include <Python.h>

#include <string_view>

#include "engine/strided.hpp"
#include "surface/py_error.hpp"

namespace velmora::surface {

// Returns a view of a one-dimensional float64 array; label names the input in messages.
Result<engine::VectorView> as_vector_view(PyObject* obj, std::string_view label);

// Returns a view of a two-dimensional float64 array; label names the input in messages.
Result<engine::MatrixView> as_matrix_view(PyObject* obj, std::string_view label);

}  // namespace velmora::surface
