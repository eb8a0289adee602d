// ContrastSums, the sums that contrast_sums returns: effects, their gradients and the
// sum of the weights, which add up over disjoint rows and pickle.
#pragma once

#include <Python.h>

#include "engine/contrast_sums.hpp"
#include "margins/kernels_state.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// Makes the type, adds it to the module and keeps it in state.
surface::Result<void> add_contrast_sums_type(PyObject* module, KernelsState& state);

// Returns a new ContrastSums holding the engine's sums over X of k columns.
surface::Result<surface::PyRef> contrast_sums_object(const KernelsState& state,
                                                     const engine::ContrastSums& sums,
                                                     std::ptrdiff_t k);

}  // namespace velmora::margins
