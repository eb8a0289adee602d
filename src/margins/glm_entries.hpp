// The entry routines of velmora_margins._kernels behind generalized linear models and the
// negative binomial model: their sums over a block of rows and their scores by cluster,
// and the GlmSums type. module.cpp wraps them at its one error boundary.
#pragma once

#include <Python.h>

#include "margins/kernels_state.hpp"
#include "margins/record_type.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

extern const RecordSpec glm_sums_spec;

// glm_sums(family, link, beta, x, y, offset=None, freq_weights=None, var_weights=None,
//          scale=1.0, alpha=1.0, var_power=1.0, with_observed=False, with_meat=False,
//          with_constants=True) -> GlmSums
surface::Result<surface::PyRef> glm_sums(PyObject* module, PyObject* args, PyObject* kwargs);

// glm_cluster_scores(family, link, beta, x, y, codes, groups, offset=None,
//                    freq_weights=None, var_weights=None, alpha=1.0, var_power=1.0)
//     -> groups x k array
surface::Result<surface::PyRef> glm_cluster_scores(PyObject* module, PyObject* args,
                                                   PyObject* kwargs);

// negbin_sums(params, x, y, weights, with_meat, offset=None) -> FitSums of k + 1
surface::Result<surface::PyRef> negbin_sums(PyObject* module, PyObject* args, PyObject* kwargs);

// negbin_cluster_scores(params, x, y, weights, codes, groups, offset=None)
//     -> groups x (k + 1) array
surface::Result<surface::PyRef> negbin_cluster_scores(PyObject* module, PyObject* args,
                                                      PyObject* kwargs);

// Returns a tuple of the families' names.
surface::Result<surface::PyRef> family_name_tuple();

}  // namespace velmora::margins
