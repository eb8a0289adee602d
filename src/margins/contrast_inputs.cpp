#include "margins/contrast_inputs.hpp"

#include <string>

#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyError;
using surface::PyRef;
using surface::Result;

// Returns a sequence's items as a fast sequence, or a TypeError naming what it holds.
Result<PyRef> items_of(PyObject* sequence, const char* what) {
    PyRef fast = PyRef::steal(PySequence_Fast(sequence, what));
    if (!fast) return fetched();
    return fast;
}

Result<std::vector<std::ptrdiff_t>> read_columns(PyObject* sequence) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef items,
                             items_of(sequence, "contrast columns must be a sequence of integers"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::ptrdiff_t> columns;
    columns.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_ssize_t c =
            PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(items.get(), i), PyExc_OverflowError);
        if (c == -1 && PyErr_Occurred()) return fetched();
        columns.push_back(static_cast<std::ptrdiff_t>(c));
    }
    return columns;
}

// Reads a two-dimensional array and keeps it alive in inputs.
Result<engine::MatrixView> read_matrix(PyObject* array, const char* label, ContrastInputs& inputs) {
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView view, surface::as_matrix_view(array, label));
    inputs.owners.push_back(PyRef::borrow(array));
    return view;
}

// Unpacks a tuple of exactly count items.
Result<PyRef> tuple_of(PyObject* item, Py_ssize_t count, const char* what) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != count) {
        return std::unexpected(PyError::make(
            PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(count) +
                                 " items, got '" + surface::type_name(item) + "'"));
    }
    return PyRef::borrow(item);
}

}  // namespace

Result<ContrastInputs> read_contrasts(PyObject* derivatives, PyObject* level_contrasts) {
    ContrastInputs inputs;
    VELMORA_ASSIGN_OR_RETURN(const PyRef derivative_items,
                             items_of(derivatives, "derivatives must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(derivative_items.get()); ++i) {
        VELMORA_ASSIGN_OR_RETURN(
            const PyRef item,
            tuple_of(PySequence_Fast_GET_ITEM(derivative_items.get(), i), 2, "a derivative"));
        VELMORA_ASSIGN_OR_RETURN(std::vector<std::ptrdiff_t> columns,
                                 read_columns(PyTuple_GET_ITEM(item.get(), 0)));
        VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView slopes,
                                 read_matrix(PyTuple_GET_ITEM(item.get(), 1), "slopes", inputs));
        inputs.set.derivatives.push_back({std::move(columns), slopes});
    }

    VELMORA_ASSIGN_OR_RETURN(const PyRef level_items,
                             items_of(level_contrasts, "level_contrasts must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(level_items.get()); ++i) {
        VELMORA_ASSIGN_OR_RETURN(
            const PyRef item,
            tuple_of(PySequence_Fast_GET_ITEM(level_items.get(), i), 4, "a level contrast"));
        VELMORA_ASSIGN_OR_RETURN(std::vector<std::ptrdiff_t> columns,
                                 read_columns(PyTuple_GET_ITEM(item.get(), 0)));
        VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView base,
                                 read_matrix(PyTuple_GET_ITEM(item.get(), 1), "base", inputs));
        VELMORA_ASSIGN_OR_RETURN(const PyRef levels, items_of(PyTuple_GET_ITEM(item.get(), 2),
                                                              "levels must be a sequence"));
        const int two_valued = PyObject_IsTrue(PyTuple_GET_ITEM(item.get(), 3));
        if (two_valued < 0) return fetched();
        engine::LevelContrasts contrasts{std::move(columns), base, {}, two_valued == 1};
        for (Py_ssize_t l = 0; l < PySequence_Fast_GET_SIZE(levels.get()); ++l) {
            VELMORA_ASSIGN_OR_RETURN(
                const engine::MatrixView level,
                read_matrix(PySequence_Fast_GET_ITEM(levels.get(), l), "level", inputs));
            contrasts.levels.push_back(level);
        }
        inputs.set.level_contrasts.push_back(std::move(contrasts));
    }
    return inputs;
}

}  // namespace velmora::margins
