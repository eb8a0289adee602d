// Sum types described by a table of fields (GlmSums, LinearSums, LinearMeat): immutable
// instances that add up over disjoint rows with + and pickle, each field a float, a
// count, a largest value, or a float64 array of k values or k x k, or such an array or
// None. A type of its own per table, made by the module from its RecordSpec.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

enum class FieldKind {
    number,           // a float, added
    largest,          // a float, the larger of two
    count,            // an int of at least 0, added
    vector,           // k values, added
    matrix,           // k x k, added
    optional_matrix,  // k x k or None, added; None adds only to None
};

struct FieldSpec {
    const char* name;
    FieldKind kind;
    const char* doc;
};

struct RecordSpec {
    const char* name;  // the type's name, "GlmSums"
    const char* qualified_name;
    const char* doc;  // its docstring, with the signature line
    std::span<const FieldSpec> fields;
};

namespace detail {
// The tables a type points to, which live as long as the process.
struct RecordTables {
    std::vector<PyGetSetDef> getset;
    std::vector<PyType_Slot> slots;
    PyType_Spec type_spec{};
};

PyObject* construct_record(const RecordSpec& spec, PyTypeObject* type, PyObject* args,
                           PyObject* kwargs);
surface::Result<surface::PyRef> add_record_type(PyObject* module, const RecordSpec& spec,
                                                newfunc construct, RecordTables& tables);
}  // namespace detail

// Makes the type of the record S, adds it to the module and returns it.
template <const RecordSpec& S>
surface::Result<surface::PyRef> add_record_type(PyObject* module) {
    static detail::RecordTables tables;
    constexpr newfunc construct = [](PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return detail::construct_record(S, type, args, kwargs);
    };
    return detail::add_record_type(module, S, construct, tables);
}

// Returns a new record of the given type (made by add_record_type for spec) holding values,
// one per field in the record's declared order: a null reference for None.
surface::Result<surface::PyRef> record_object(PyObject* type, const RecordSpec& spec,
                                              std::vector<surface::PyRef> values);

// Returns a new float, an int, a vector of values and a k x k array of a row-major matrix.
surface::Result<surface::PyRef> float_value(double value);
surface::Result<surface::PyRef> count_value(std::ptrdiff_t value);
surface::Result<surface::PyRef> vector_value(const std::vector<double>& values);
surface::Result<surface::PyRef> matrix_value(const std::vector<double>& values, std::ptrdiff_t k);

}  // namespace velmora::margins
