// The entry routines of velmora_margins._kernels behind a Newton fit: the sums of the
// log-likelihood, score, information and robust middle over a block of rows, and the
// scores by cluster. module.cpp wraps them at its one error boundary.
#pragma once

#include <Python.h>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// fit_sums(link, beta, x, y, weights, with_meat, offset=None) -> FitSums
surface::Result<surface::PyRef> fit_sums(PyObject* module, PyObject* args, PyObject* kwargs);

// cluster_scores(link, beta, x, y, weights, codes, groups, offset=None) -> groups x k array
surface::Result<surface::PyRef> cluster_scores(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace velmora::margins
