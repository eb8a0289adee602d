#include "margins/contrast_inputs.hpp"

#include <algorithm>
#include <string>

#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyError;
using surface::PyRef;
using surface::Result;

std::unexpected<PyError> value_error(const std::string& message) {
    return std::unexpected(PyError::make(PyExc_ValueError, message));
}

// Returns "1 column", "2 columns".
std::string columns_text(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " column" : " columns");
}

// Reads one call's contrasts, each checked against x as it is read.
class Reader {
  public:
    Reader(std::ptrdiff_t rows, std::ptrdiff_t k) : rows_(rows), k_(k) {}

    Result<void> read_derivatives(PyObject* sequence);
    Result<void> read_level_contrasts(PyObject* sequence);
    Result<void> read_predictions(PyObject* sequence);

    ContrastInputs inputs;

  private:
    Result<std::vector<std::ptrdiff_t>> read_columns(PyObject* sequence, const std::string& item);
    Result<engine::MatrixView> read_matrix(PyObject* array, std::size_t columns,
                                           const std::string& label);
    Result<engine::Side> read_side(PyObject* columns, PyObject* values, const std::string& item,
                                   const char* what);
    Result<engine::VectorView> read_multiplier(PyObject* obj, const std::string& item);

    std::ptrdiff_t rows_, k_;
};

// Returns a sequence's items as a fast sequence, or a TypeError naming what it holds.
Result<PyRef> items_of(PyObject* sequence, const char* what) {
    PyRef fast = PyRef::steal(PySequence_Fast(sequence, what));
    if (!fast) return fetched();
    return fast;
}

// Returns item i of a sequence of contrasts, a tuple of one of the given sizes, or a
// TypeError that names it ("derivatives[2]").
Result<PyObject*> tuple_item(PyObject* items, Py_ssize_t i, const char* name,
                             std::initializer_list<Py_ssize_t> sizes, const char* sizes_text) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    const std::string label = std::string(name) + "[" + std::to_string(i) + "]";
    if (!PyTuple_Check(item)) {
        return std::unexpected(PyError::make(PyExc_TypeError, label + " must be a tuple of " +
                                                                  sizes_text + " items, got '" +
                                                                  surface::type_name(item) + "'"));
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) {
        return std::unexpected(
            PyError::make(PyExc_TypeError, label + " must be a tuple of " + sizes_text +
                                               " items, got a tuple of " + std::to_string(size)));
    }
    return item;
}

// Returns whether obj is true, as Python takes it.
Result<bool> truth_of(PyObject* obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fetched();
    return truth == 1;
}

Result<std::vector<std::ptrdiff_t>> Reader::read_columns(PyObject* sequence,
                                                         const std::string& item) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef items,
                             items_of(sequence, "contrast columns must be a sequence of integers"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::ptrdiff_t> columns;
    columns.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_ssize_t c =
            PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(items.get(), i), PyExc_OverflowError);
        if (c == -1 && PyErr_Occurred()) return fetched();
        if (c < 0 || c >= k_) {
            return value_error(item + ": column " + std::to_string(c) + " outside x of " +
                               columns_text(static_cast<std::size_t>(k_)));
        }
        columns.push_back(static_cast<std::ptrdiff_t>(c));
    }
    return columns;
}

// Reads a two-dimensional array of the given number of columns and one row or one per
// row of x, and keeps it alive in inputs.
Result<engine::MatrixView> Reader::read_matrix(PyObject* array, std::size_t columns,
                                               const std::string& label) {
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView view, surface::as_matrix_view(array, label));
    if (view.cols != static_cast<std::ptrdiff_t>(columns)) {
        return value_error(label + " of " + engine::shape(view) + " for " + columns_text(columns));
    }
    if (view.rows != rows_ && view.rows != 1) {
        return value_error(label + " of " + engine::shape(view) + " for x of " +
                           std::to_string(rows_) + " rows; give one row, or one per row of x");
    }
    inputs.owners.push_back(PyRef::borrow(array));
    return view;
}

// Reads a side: its columns, none given twice, and its values. The values of a side of
// no columns, the rows themselves, are not read.
Result<engine::Side> Reader::read_side(PyObject* columns, PyObject* values, const std::string& item,
                                       const char* what) {
    VELMORA_ASSIGN_OR_RETURN(std::vector<std::ptrdiff_t> side_columns, read_columns(columns, item));
    for (std::size_t s = 0; s < side_columns.size(); ++s) {
        if (std::find(side_columns.begin(), side_columns.begin() + static_cast<std::ptrdiff_t>(s),
                      side_columns[s]) != side_columns.begin() + static_cast<std::ptrdiff_t>(s)) {
            return value_error(item + ": " + what + " column " + std::to_string(side_columns[s]) +
                               " given twice");
        }
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView view,
                             read_matrix(values, side_columns.size(), item + ": " + what));
    return engine::Side{std::move(side_columns), view};
}

Result<engine::VectorView> Reader::read_multiplier(PyObject* obj, const std::string& item) {
    if (obj == Py_None) return engine::VectorView{nullptr, 0, 1};
    const std::string label = item + ": multiplier";
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView view, surface::as_vector_view(obj, label));
    if (view.size != rows_) {
        return value_error(label + " of " + std::to_string(view.size) + " values for x of " +
                           std::to_string(rows_) + " rows");
    }
    inputs.owners.push_back(PyRef::borrow(obj));
    return view;
}

Result<void> Reader::read_derivatives(PyObject* sequence) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef items,
                             items_of(sequence, "derivatives must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        VELMORA_ASSIGN_OR_RETURN(PyObject* const item,
                                 tuple_item(items.get(), i, "derivatives", {2, 6}, "2 or 6"));
        const std::string name = "derivatives[" + std::to_string(i) + "]";
        VELMORA_ASSIGN_OR_RETURN(std::vector<std::ptrdiff_t> columns,
                                 read_columns(PyTuple_GET_ITEM(item, 0), name));
        VELMORA_ASSIGN_OR_RETURN(
            const engine::MatrixView slopes,
            read_matrix(PyTuple_GET_ITEM(item, 1), columns.size(), name + ": slopes"));
        engine::DerivativeContrast d{std::move(columns), slopes};
        if (PyTuple_GET_SIZE(item) == 6) {
            VELMORA_ASSIGN_OR_RETURN(d.side, read_side(PyTuple_GET_ITEM(item, 2),
                                                       PyTuple_GET_ITEM(item, 3), name, "side"));
            VELMORA_ASSIGN_OR_RETURN(d.multiplier,
                                     read_multiplier(PyTuple_GET_ITEM(item, 4), name));
            VELMORA_ASSIGN_OR_RETURN(d.per_prediction, truth_of(PyTuple_GET_ITEM(item, 5)));
        }
        inputs.set.derivatives.push_back(std::move(d));
    }
    return {};
}

Result<void> Reader::read_level_contrasts(PyObject* sequence) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef items,
                             items_of(sequence, "level_contrasts must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        VELMORA_ASSIGN_OR_RETURN(PyObject* const item,
                                 tuple_item(items.get(), i, "level_contrasts", {4}, "4"));
        const std::string name = "level_contrasts[" + std::to_string(i) + "]";
        VELMORA_ASSIGN_OR_RETURN(std::vector<std::ptrdiff_t> columns,
                                 read_columns(PyTuple_GET_ITEM(item, 0), name));
        VELMORA_ASSIGN_OR_RETURN(
            const engine::MatrixView base,
            read_matrix(PyTuple_GET_ITEM(item, 1), columns.size(), name + ": base"));
        VELMORA_ASSIGN_OR_RETURN(const PyRef levels,
                                 items_of(PyTuple_GET_ITEM(item, 2), "levels must be a sequence"));
        VELMORA_ASSIGN_OR_RETURN(const bool two_valued, truth_of(PyTuple_GET_ITEM(item, 3)));
        engine::LevelContrasts contrasts{std::move(columns), base, {}, two_valued};
        for (Py_ssize_t l = 0; l < PySequence_Fast_GET_SIZE(levels.get()); ++l) {
            VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView level,
                                     read_matrix(PySequence_Fast_GET_ITEM(levels.get(), l),
                                                 contrasts.columns.size(), name + ": level"));
            contrasts.levels.push_back(level);
        }
        inputs.set.level_contrasts.push_back(std::move(contrasts));
    }
    return {};
}

Result<void> Reader::read_predictions(PyObject* sequence) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef items,
                             items_of(sequence, "predictions must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        VELMORA_ASSIGN_OR_RETURN(PyObject* const item,
                                 tuple_item(items.get(), i, "predictions", {2}, "2"));
        const std::string name = "predictions[" + std::to_string(i) + "]";
        VELMORA_ASSIGN_OR_RETURN(
            engine::Side side,
            read_side(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), name, "values"));
        inputs.set.predictions.push_back(std::move(side));
    }
    return {};
}

}  // namespace

Result<ContrastInputs> read_contrasts(PyObject* derivatives, PyObject* level_contrasts,
                                      PyObject* predictions, std::ptrdiff_t rows,
                                      std::ptrdiff_t k) {
    Reader reader(rows, k);
    VELMORA_RETURN_IF_ERROR(reader.read_derivatives(derivatives));
    VELMORA_RETURN_IF_ERROR(reader.read_level_contrasts(level_contrasts));
    if (predictions != nullptr) VELMORA_RETURN_IF_ERROR(reader.read_predictions(predictions));
    return std::move(reader.inputs);
}

}  // namespace velmora::margins
