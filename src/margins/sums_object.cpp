#include "margins/sums_object.hpp"

#include <string>

#include "engine/strided.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {

using surface::PyError;
using surface::PyRef;
using surface::Result;

namespace {

// Returns a two-dimensional view of a float64 array of one or two dimensions: a vector
// as one row.
Result<engine::MatrixView> as_rows(PyObject* array, int ndim, std::string_view label) {
    if (ndim == 2) return surface::as_matrix_view(array, label);
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView v, surface::as_vector_view(array, label));
    return engine::MatrixView{v.data, 1, v.size, 0, v.stride};
}

std::string shape_text(const engine::MatrixView& view, int ndim) {
    return ndim == 2 ? engine::shape(view) : std::to_string(view.cols);
}

}  // namespace

Result<std::string> array_shape(PyObject* array, int ndim, std::string_view label) {
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView view, as_rows(array, ndim, label));
    return shape_text(view, ndim);
}

Result<PyRef> added_arrays(PyObject* a, PyObject* b, int ndim, std::string_view owner,
                           std::string_view what) {
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView left, as_rows(a, ndim, what));
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView right, as_rows(b, ndim, what));
    if (left.rows != right.rows || left.cols != right.cols) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, "cannot add " + std::string(owner) + " whose " + std::string(what) +
                                  " are of shapes " + shape_text(left, ndim) + " and " +
                                  shape_text(right, ndim)));
    }
    auto sum = ndim == 2 ? surface::new_float64_array({left.rows, left.cols})
                         : surface::new_float64_array({left.cols});
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out, std::move(sum));
    for (std::ptrdiff_t i = 0; i < left.rows; ++i) {
        for (std::ptrdiff_t j = 0; j < left.cols; ++j) {
            out.data[i * left.cols + j] = left.at(i, j) + right.at(i, j);
        }
    }
    return std::move(out.array);
}

Result<std::string> float_text(double value) {
    PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    if (!number) return surface::fetched();
    PyRef text = PyRef::steal(PyObject_Repr(number.get()));
    if (!text) return surface::fetched();
    return surface::utf8(text.get());
}

}  // namespace velmora::margins
