// Float64 NumPy arrays seen as engine views, read in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "engine/design_rows.hpp"
#include "engine/strided.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::surface {

// Returns a view of a one-dimensional float64 array; label names the input in messages.
Result<engine::VectorView> as_vector_view(PyObject* obj, std::string_view label);

// Returns a view of a two-dimensional float64 array; label names the input in messages.
Result<engine::MatrixView> as_matrix_view(PyObject* obj, std::string_view label);

// Returns the rows of a design matrix: a two-dimensional float64 array, or a tuple of its
// columns, of one length. A column is a one-dimensional float64 array, or a tuple (codes,
// table) of the rows' uint8 codes and a float64 array of the column's value for each code.
// A tuple, not a list: its arrays stay in it while the interpreter's lock is released.
Result<engine::DesignRows> as_design_rows(PyObject* obj, std::string_view label);

// Returns a view of a one-dimensional int64 array; label names the input in messages.
Result<engine::CodeView> as_code_view(PyObject* obj, std::string_view label);

// A new C-ordered float64 array of zeros, and its data.
struct NewArray {
    PyRef array;
    double* data = nullptr;
};

// Returns a new array of the given shape (one or two dimensions).
Result<NewArray> new_float64_array(std::initializer_list<std::ptrdiff_t> shape);

// A new one-dimensional boolean array, all false, and its data (one byte per item).
struct NewBoolArray {
    PyRef array;
    unsigned char* data = nullptr;
};

// Returns a new boolean array of size items.
Result<NewBoolArray> new_bool_array(std::ptrdiff_t size);

}  // namespace velmora::surface
