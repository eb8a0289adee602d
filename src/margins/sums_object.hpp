// What the sum types of velmora_margins._kernels (ContrastSums, FitSums) share: their
// instances' layout, which keeps the fields as C++ members with owned references, and
// the arrays that two sums add.
#pragma once

#include <Python.h>

#include <memory>
#include <string_view>
#include <utility>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// An instance of a sum type: the object header, then the fields. The fields are
// constructed by new_object and destroyed by dealloc_object, the type's tp_dealloc.
template <class Fields>
struct SumsObject {
    PyObject ob_base;  // PyObject_HEAD
    Fields fields;
};

// Returns the fields of an instance of the type of Fields.
template <class Fields>
Fields& fields_of(PyObject* self) {
    return reinterpret_cast<SumsObject<Fields>*>(self)->fields;
}

// Returns a new instance of type holding fields.
template <class Fields>
surface::Result<surface::PyRef> new_object(PyTypeObject* type, Fields fields) {
    surface::PyRef object = surface::PyRef::steal(type->tp_alloc(type, 0));
    if (!object) return surface::fetched();
    std::construct_at(&fields_of<Fields>(object.get()), std::move(fields));
    return object;
}

// Destroys an instance: its fields, then the object, then its reference to its type.
template <class Fields>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&fields_of<Fields>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// Returns the shape of a float64 array of ndim (1 or 2) dimensions as text ("3", "3 x 4"),
// or a TypeError if it is not one; label names it.
surface::Result<std::string> array_shape(PyObject* array, int ndim, std::string_view label);

// Returns a new array a + b of two float64 arrays of ndim (1 or 2) dimensions; a
// ValueError naming what, the field of the type named owner, when their shapes differ.
surface::Result<surface::PyRef> added_arrays(PyObject* a, PyObject* b, int ndim,
                                             std::string_view owner, std::string_view what);

// Returns a float as the text of its repr.
surface::Result<std::string> float_text(double value);

}  // namespace velmora::margins
