// The only file that includes NumPy's headers.
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmora_ARRAY_API
#include "surface/numpy_view.hpp"

#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora::surface {
namespace {

// Loads NumPy's C-API table on first need; it is kept for the life of the process.
Result<void> ensure_numpy_api() {
    if (PyArray_API != nullptr) return {};
    PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();  // NumPy 1.x keeps the module under numpy.core
        module = PyRef::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!module) {
        PyError cause = PyError::fetch();
        PyError error = PyError::panic("Failed to import NumPy module");
        error.set_cause(cause.value());
        return std::unexpected(std::move(error));
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    void* table = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (table == nullptr) {
        PyError cause = PyError::fetch();
        PyError error = PyError::panic("Failed to get NumPy API capsule");
        error.set_cause(cause.value());
        return std::unexpected(std::move(error));
    }
    PyArray_API = static_cast<void**>(table);
    // The checks NumPy's own import_array makes: an ABI no newer than the
    // headers, and at least the C-API feature level this module was built for.
    const unsigned int abi = PyArray_GetNDArrayCVersion();
    const unsigned int feature = PyArray_GetNDArrayCFeatureVersion();
    if (abi > NPY_VERSION || feature < NPY_FEATURE_VERSION) {
        PyArray_API = nullptr;
        return std::unexpected(PyError::panic("NumPy C-API version " + std::to_string(feature) +
                                              " (ABI " + std::to_string(abi) +
                                              ") does not fit this build of velmora (feature " +
                                              std::to_string(NPY_FEATURE_VERSION) + ")"));
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    return {};
}

struct ArrayLayout {
    const void* data;
    std::array<std::ptrdiff_t, 2> shape{};
    std::array<std::ptrdiff_t, 2> strides{};  // in elements
};

// Returns the name of an item type that arrays are read as, and how to convert to it.
std::pair<std::string, std::string> item_type(int type) {
    switch (type) {
        case NPY_DOUBLE:
            return {"float64", ".astype(float)"};
        case NPY_INT64:
            return {"int64", ".astype(numpy.int64)"};
        default:
            return {"uint8", ".astype(numpy.uint8)"};
    }
}

// Checks that obj is an array of ndim dimensions of items of the given type (NPY_DOUBLE,
// NPY_INT64 or NPY_UINT8) that can be read in place; its strides are counted in items.
Result<ArrayLayout> array_layout(PyObject* obj, int ndim, int type, std::string_view label) {
    VELMORA_RETURN_IF_ERROR(ensure_numpy_api());
    if (!PyArray_Check(obj)) return std::unexpected(PyError::cannot_convert(obj, "PyArray<T, D>"));
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) {
        return std::unexpected(PyError::cannot_convert(obj, "PyArray<T, D>"));
    }
    PyArray_Descr* descr = PyArray_DESCR(array);
    PyRef wanted_type = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
    if (!wanted_type) return fetched();
    auto* wanted = reinterpret_cast<PyArray_Descr*>(wanted_type.get());
    if (descr != wanted && !PyArray_EquivTypes(descr, wanted)) {
        return std::unexpected(PyError::cannot_convert(obj, "PyArray<T, D>"));
    }
    const std::string name(label);
    const auto [item, conversion] = item_type(type);
    if (!PyArray_ISNOTSWAPPED(array)) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, name + ": " + item +
                                                " array is not in the machine's byte order; pass " +
                                                name + conversion + " instead"));
    }
    const auto size = static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(array));
    ArrayLayout layout{PyArray_DATA(array)};
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    for (int d = 0; d < ndim; ++d) {
        const auto step = static_cast<std::ptrdiff_t>(strides[d]);
        if (dims[d] > 1 && step % size != 0) {
            return std::unexpected(
                PyError::make(PyExc_ValueError, name + ": " + item + " array has a stride of " +
                                                    std::to_string(step) +
                                                    " bytes, not a whole number of elements; pass "
                                                    "numpy.ascontiguousarray(" +
                                                    name + ") instead"));
        }
        layout.shape[static_cast<std::size_t>(d)] = static_cast<std::ptrdiff_t>(dims[d]);
        layout.strides[static_cast<std::size_t>(d)] = dims[d] > 1 ? step / size : 0;
    }
    if (!PyArray_ISALIGNED(array)) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, name + ": " + item +
                                                " array data is not aligned in memory; pass "
                                                "numpy.ascontiguousarray(" +
                                                name + ") instead"));
    }
    return layout;
}

}  // namespace

Result<engine::VectorView> as_vector_view(PyObject* obj, std::string_view label) {
    VELMORA_ASSIGN_OR_RETURN(const ArrayLayout layout, array_layout(obj, 1, NPY_DOUBLE, label));
    return engine::VectorView{static_cast<const double*>(layout.data), layout.shape[0],
                              layout.strides[0]};
}

Result<engine::MatrixView> as_matrix_view(PyObject* obj, std::string_view label) {
    VELMORA_ASSIGN_OR_RETURN(const ArrayLayout layout, array_layout(obj, 2, NPY_DOUBLE, label));
    return engine::MatrixView{static_cast<const double*>(layout.data), layout.shape[0],
                              layout.shape[1], layout.strides[0], layout.strides[1]};
}

namespace {

// The largest of the codes last scanned, and where they are: a factor's columns share
// their codes, which are scanned once for all of them.
struct ScannedCodes {
    const std::uint8_t* data = nullptr;
    std::ptrdiff_t size = 0;
    std::ptrdiff_t stride = 0;
    std::uint8_t largest = 0;
};

// Returns the largest of codes, from scanned where they were scanned last.
std::uint8_t largest_code(const std::uint8_t* data, std::ptrdiff_t size, std::ptrdiff_t stride,
                          ScannedCodes& scanned) {
    if (data == scanned.data && size == scanned.size && stride == scanned.stride) {
        return scanned.largest;
    }
    std::uint8_t largest = 0;
    if (stride == 1) {  // the usual case, in a loop the compiler vectorizes
        for (std::ptrdiff_t i = 0; i < size; ++i) largest = std::max(largest, data[i]);
    } else {
        for (std::ptrdiff_t i = 0; i < size; ++i) largest = std::max(largest, data[i * stride]);
    }
    scanned = {data, size, stride, largest};
    return largest;
}

// Returns a design column held as level codes: a tuple (codes, table) of a uint8 array of
// the rows' codes and a float64 array of the column's value for each code, which every
// code must index.
Result<engine::DesignColumn> as_coded_column(PyObject* obj, const std::string& label,
                                             ScannedCodes& scanned) {
    if (PyTuple_GET_SIZE(obj) != 2) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, label + ": a tuple of " + std::to_string(PyTuple_GET_SIZE(obj)) +
                                  " items, not (codes, table)"));
    }
    VELMORA_ASSIGN_OR_RETURN(const ArrayLayout codes, array_layout(PyTuple_GET_ITEM(obj, 0), 1,
                                                                   NPY_UINT8, label + " codes"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView table,
                             as_vector_view(PyTuple_GET_ITEM(obj, 1), label + " table"));
    engine::DesignColumn column{{nullptr, codes.shape[0], 1},
                                static_cast<const std::uint8_t*>(codes.data),
                                codes.strides[0],
                                table};
    const std::uint8_t largest =
        largest_code(column.codes, codes.shape[0], column.code_stride, scanned);
    if (codes.shape[0] > 0 && largest >= table.size) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, label + ": code " + std::to_string(largest) +
                                                " is outside its table of " +
                                                std::to_string(table.size) + " values"));
    }
    return column;
}

}  // namespace

Result<engine::DesignRows> as_design_rows(PyObject* obj, std::string_view label) {
    if (!PyTuple_Check(obj)) {
        VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView matrix, as_matrix_view(obj, label));
        return engine::DesignRows(matrix);
    }
    const std::string name(label);
    const Py_ssize_t count = PyTuple_GET_SIZE(obj);
    if (count == 0) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, name + ": a tuple of no columns; pass a rows x 0 array instead"));
    }
    std::vector<engine::DesignColumn> columns;
    columns.reserve(static_cast<std::size_t>(count));
    ScannedCodes scanned;
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = PyTuple_GET_ITEM(obj, j);
        const std::string column_label = name + " column " + std::to_string(j);
        engine::DesignColumn column;
        if (PyTuple_Check(item)) {
            VELMORA_ASSIGN_OR_RETURN(column, as_coded_column(item, column_label, scanned));
        } else {
            VELMORA_ASSIGN_OR_RETURN(column.values, as_vector_view(item, column_label));
        }
        if (!columns.empty() && column.values.size != columns.front().values.size) {
            return std::unexpected(
                PyError::make(PyExc_ValueError, name + ": column " + std::to_string(j) + " holds " +
                                                    std::to_string(column.values.size) +
                                                    " rows, column 0 holds " +
                                                    std::to_string(columns.front().values.size)));
        }
        columns.push_back(column);
    }
    const std::ptrdiff_t rows = columns.front().values.size;
    return engine::DesignRows(std::move(columns), rows);
}

Result<engine::CodeView> as_code_view(PyObject* obj, std::string_view label) {
    VELMORA_ASSIGN_OR_RETURN(const ArrayLayout layout, array_layout(obj, 1, NPY_INT64, label));
    return engine::CodeView{static_cast<const std::int64_t*>(layout.data), layout.shape[0],
                            layout.strides[0]};
}

Result<NewArray> new_float64_array(std::initializer_list<std::ptrdiff_t> shape) {
    VELMORA_RETURN_IF_ERROR(ensure_numpy_api());
    std::array<npy_intp, 2> dims{};
    int ndim = 0;
    for (const std::ptrdiff_t d : shape) dims[static_cast<std::size_t>(ndim++)] = d;
    PyRef array = PyRef::steal(PyArray_ZEROS(ndim, dims.data(), NPY_DOUBLE, 0));
    if (!array) return fetched();
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return NewArray{std::move(array), data};
}

Result<NewBoolArray> new_bool_array(std::ptrdiff_t size) {
    VELMORA_RETURN_IF_ERROR(ensure_numpy_api());
    npy_intp dims[1] = {size};
    PyRef array = PyRef::steal(PyArray_ZEROS(1, dims, NPY_BOOL, 0));
    if (!array) return fetched();
    auto* data =
        static_cast<unsigned char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return NewBoolArray{std::move(array), data};
}

}  // namespace velmora::surface
