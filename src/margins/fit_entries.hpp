// The entry routines of velmora_margins._kernels behind a Newton fit: the sums of the
// log-likelihood, score, information and robust middle over a block of rows, and the
// scores by cluster. module.cpp wraps them at its one error boundary.
#pragma once

#include <Python.h>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// fit_sums(kind, beta, x, y, weights, with_meat)
//   -> (loglik, score, information, meat or None, weight_sum, rows)
surface::Result<surface::PyRef> fit_sums(PyObject* args);

// cluster_scores(kind, beta, x, y, weights, codes, groups) -> groups x k array
surface::Result<surface::PyRef> cluster_scores(PyObject* args);

}  // namespace velmora::margins
