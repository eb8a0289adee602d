// The state of the module velmora_margins._kernels: the types it makes when imported.
#pragma once

#include <Python.h>

#include "surface/py_ref.hpp"

namespace velmora::margins {

struct KernelsState {
    surface::PyRef contrast_sums_type;  // ContrastSums
    surface::PyRef fit_sums_type;       // FitSums
    surface::PyRef glm_sums_type;       // GlmSums
    surface::PyRef linear_sums_type;    // LinearSums
    surface::PyRef linear_meat_type;    // LinearMeat
    surface::PyRef link_values_type;    // LinkValues, a struct sequence

    // Drops the references (the module's m_clear).
    void clear() {
        contrast_sums_type = surface::PyRef();
        fit_sums_type = surface::PyRef();
        glm_sums_type = surface::PyRef();
        linear_sums_type = surface::PyRef();
        linear_meat_type = surface::PyRef();
        link_values_type = surface::PyRef();
    }
};

// Returns the state of the module object (the first argument of its functions).
inline KernelsState& state_of(PyObject* module) {
    return *static_cast<KernelsState*>(PyModule_GetState(module));
}

// Returns one of the state's types as a type object.
inline PyTypeObject* as_type(const surface::PyRef& type) {
    return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace velmora::margins
