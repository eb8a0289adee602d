#include "margins/record_type.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "margins/sums_object.hpp"
#include "surface/boundary.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::PyError;
using surface::PyRef;
using surface::Result;

struct RecordFields {
    const RecordSpec* spec = nullptr;
    std::vector<PyRef> values;  // null for None
};

RecordFields& fields(PyObject* self) { return fields_of<RecordFields>(self); }

bool is_array(FieldKind kind) {
    return kind == FieldKind::vector || kind == FieldKind::matrix ||
           kind == FieldKind::optional_matrix;
}

std::unexpected<PyError> invalid(const RecordSpec& spec, const std::string& message) {
    return std::unexpected(
        PyError::make(PyExc_ValueError, std::string(spec.name) + ": " + message));
}

// Returns a field's value read from its argument, checked; k is the length of the first
// vector (or the rows of the first matrix), set by the first array read.
Result<PyRef> read_field(const RecordSpec& spec, const FieldSpec& field, PyObject* value,
                         std::ptrdiff_t& k) {
    switch (field.kind) {
        case FieldKind::number:
        case FieldKind::largest: {
            PyRef number = PyRef::steal(PyNumber_Float(value));
            if (!number) return surface::fetched();
            return number;
        }
        case FieldKind::count: {
            PyRef number = PyRef::steal(PyNumber_Index(value));
            if (!number) return surface::fetched();
            const Py_ssize_t n = PyLong_AsSsize_t(number.get());
            if (n == -1 && PyErr_Occurred()) return surface::fetched();
            if (n < 0) {
                return invalid(spec, std::string(field.name) + " must be at least 0, got " +
                                         std::to_string(n));
            }
            return number;
        }
        default:
            break;
    }
    if (field.kind == FieldKind::optional_matrix && value == Py_None) return PyRef();
    if (field.kind == FieldKind::vector) {
        VELMORA_ASSIGN_OR_RETURN(const engine::VectorView v,
                                 surface::as_vector_view(value, field.name));
        if (k < 0) k = v.size;
        if (v.size != k) {
            return invalid(spec, std::string(field.name) + " of " + std::to_string(v.size) +
                                     " values for " + std::to_string(k) + " coefficients");
        }
        return PyRef::borrow(value);
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView m,
                             surface::as_matrix_view(value, field.name));
    if (k < 0) k = m.rows;
    if (m.rows != k || m.cols != k) {
        return invalid(spec, std::string(field.name) + " of shape " + engine::shape(m) + " for " +
                                 std::to_string(k) + " coefficients");
    }
    return PyRef::borrow(value);
}

// Returns the sum of one field of two records.
Result<PyRef> added_field(const RecordSpec& spec, const FieldSpec& field, PyObject* a,
                          PyObject* b) {
    switch (field.kind) {
        case FieldKind::number:
            return float_value(PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b));
        case FieldKind::largest:
            return float_value(std::max(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b)));
        case FieldKind::count: {
            PyRef sum = PyRef::steal(PyNumber_Add(a, b));
            if (!sum) return surface::fetched();
            return sum;
        }
        case FieldKind::optional_matrix:
            if ((a == nullptr) != (b == nullptr)) {
                return std::unexpected(PyError::make(
                    PyExc_ValueError, "cannot add " + std::string(spec.name) + " with " +
                                          field.name + " to " + spec.name + " without one"));
            }
            if (a == nullptr) return PyRef();
            [[fallthrough]];
        case FieldKind::matrix:
            return added_arrays(a, b, 2, spec.name, field.name);
        case FieldKind::vector:
            return added_arrays(a, b, 1, spec.name, field.name);
    }
    return PyRef();
}

PyObject* add(PyObject* a, PyObject* b) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        if (Py_TYPE(a) != Py_TYPE(b)) return PyRef::borrow(Py_NotImplemented);
        const RecordFields &x = fields(a), &y = fields(b);
        const RecordSpec& spec = *x.spec;
        std::vector<PyRef> values;
        for (std::size_t i = 0; i < spec.fields.size(); ++i) {
            VELMORA_ASSIGN_OR_RETURN(
                PyRef value,
                added_field(spec, spec.fields[i], x.values[i].get(), y.values[i].get()));
            values.push_back(std::move(value));
        }
        return record_object(reinterpret_cast<PyObject*>(Py_TYPE(a)), spec, std::move(values));
    });
}

// Returns a field's value, None for a null reference, as a new reference.
PyObject* value_or_none(const PyRef& value) { return Py_NewRef(value ? value.get() : Py_None); }

PyObject* reduce(PyObject* self, PyObject*) {
    const RecordFields& f = fields(self);
    PyRef args = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(f.values.size())));
    if (!args) return nullptr;
    for (std::size_t i = 0; i < f.values.size(); ++i) {
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), value_or_none(f.values[i]));
    }
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
}

PyObject* repr(PyObject* self) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        const RecordFields& f = fields(self);
        const RecordSpec& spec = *f.spec;
        std::string text("<");
        text.append(spec.name).append(":");
        const char* separator = " ";
        for (std::size_t i = 0; i < spec.fields.size(); ++i) {
            const FieldSpec& field = spec.fields[i];
            std::string value;
            if (!f.values[i]) {
                value = "None";
            } else if (field.kind == FieldKind::vector) {
                VELMORA_ASSIGN_OR_RETURN(value, array_shape(f.values[i].get(), 1, field.name));
            } else if (is_array(field.kind)) {
                VELMORA_ASSIGN_OR_RETURN(value, array_shape(f.values[i].get(), 2, field.name));
            } else {
                PyRef r = PyRef::steal(PyObject_Repr(f.values[i].get()));
                if (!r) return surface::fetched();
                VELMORA_ASSIGN_OR_RETURN(value, surface::utf8(r.get()));
            }
            text.append(separator).append(field.name).append(" ").append(value);
            separator = ", ";
        }
        text += ">";
        PyRef out = PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!out) return surface::fetched();
        return out;
    });
}

PyObject* get_field(PyObject* self, void* closure) {
    return value_or_none(fields(self).values[reinterpret_cast<std::uintptr_t>(closure)]);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "Returns how to make the record again, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace detail {

PyObject* construct_record(const RecordSpec& spec, PyTypeObject* type, PyObject* args,
                           PyObject* kwargs) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        std::vector<char*> keywords;
        for (const FieldSpec& field : spec.fields)
            keywords.push_back(const_cast<char*>(field.name));
        keywords.push_back(nullptr);
        const std::string format = std::string(spec.fields.size(), 'O') + ":" + spec.name;
        // PyArg_ParseTupleAndKeywords takes one pointer per field; records have at most 10.
        if (spec.fields.size() > 10) {
            return std::unexpected(PyError::panic("a record of more than 10 fields"));
        }
        std::vector<PyObject*> given(10, nullptr);
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &given[0],
                                         &given[1], &given[2], &given[3], &given[4], &given[5],
                                         &given[6], &given[7], &given[8], &given[9])) {
            return surface::fetched();
        }
        std::vector<PyRef> values;
        std::ptrdiff_t k = -1;
        for (std::size_t i = 0; i < spec.fields.size(); ++i) {
            VELMORA_ASSIGN_OR_RETURN(PyRef value, read_field(spec, spec.fields[i], given[i], k));
            values.push_back(std::move(value));
        }
        return new_object(type, RecordFields{&spec, std::move(values)});
    });
}

Result<PyRef> add_record_type(PyObject* module, const RecordSpec& spec, newfunc construct,
                              RecordTables& tables) {
    std::vector<PyGetSetDef>* getset = &tables.getset;
    getset->clear();
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        getset->push_back({spec.fields[i].name, get_field, nullptr, spec.fields[i].doc,
                           reinterpret_cast<void*>(static_cast<std::uintptr_t>(i))});
    }
    getset->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    tables.slots = {
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_new, reinterpret_cast<void*>(construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<RecordFields>)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_getset, getset->data()},
        {Py_tp_methods, methods},
        {Py_nb_add, reinterpret_cast<void*>(add)},
        {0, nullptr},
    };
    tables.type_spec = {spec.qualified_name, sizeof(SumsObject<RecordFields>), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tables.slots.data()};
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &tables.type_spec, nullptr));
    if (!type) return surface::fetched();
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) {
        return surface::fetched();
    }
    return type;
}

}  // namespace detail

Result<PyRef> record_object(PyObject* type, const RecordSpec& spec, std::vector<PyRef> values) {
    return new_object(reinterpret_cast<PyTypeObject*>(type),
                      RecordFields{&spec, std::move(values)});
}

Result<PyRef> float_value(double value) {
    PyRef out = PyRef::steal(PyFloat_FromDouble(value));
    if (!out) return surface::fetched();
    return out;
}

Result<PyRef> count_value(std::ptrdiff_t value) {
    PyRef out = PyRef::steal(PyLong_FromSsize_t(value));
    if (!out) return surface::fetched();
    return out;
}

Result<PyRef> vector_value(const std::vector<double>& values) {
    VELMORA_ASSIGN_OR_RETURN(
        surface::NewArray out,
        surface::new_float64_array({static_cast<std::ptrdiff_t>(values.size())}));
    std::copy(values.begin(), values.end(), out.data);
    return std::move(out.array);
}

Result<PyRef> matrix_value(const std::vector<double>& values, std::ptrdiff_t k) {
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out, surface::new_float64_array({k, k}));
    std::copy(values.begin(), values.end(), out.data);
    return std::move(out.array);
}

}  // namespace velmora::margins
