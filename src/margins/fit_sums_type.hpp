// FitSums, the sums that fit_sums returns: log-likelihood, score, information, the
// robust middle when asked for, the sum of the weights and the rows, which add up over
// disjoint rows and pickle.
#pragma once

#include <Python.h>

#include "engine/fit_sums.hpp"
#include "margins/kernels_state.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// Makes the type, adds it to the module and keeps it in state.
surface::Result<void> add_fit_sums_type(PyObject* module, KernelsState& state);

// Returns a new FitSums holding the engine's sums over X of k columns.
surface::Result<surface::PyRef> fit_sums_object(const KernelsState& state,
                                                const engine::FitSums& sums, std::ptrdiff_t k);

}  // namespace velmora::margins
