// The entry routines of velmora_margins._kernels behind least squares (OLS and WLS): the
// normal equations' sums, the residuals' sums with the robust meats, and the scores by
// cluster, with the LinearSums and LinearMeat types. module.cpp wraps them at its one
// error boundary.
#pragma once

#include <Python.h>

#include "margins/record_type.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

extern const RecordSpec linear_sums_spec;
extern const RecordSpec linear_meat_spec;

// ols_sums(x, y, weights) -> LinearSums
surface::Result<surface::PyRef> ols_sums(PyObject* module, PyObject* args, PyObject* kwargs);

// ols_meat(beta, bread, x, y, weights) -> LinearMeat
surface::Result<surface::PyRef> ols_meat(PyObject* module, PyObject* args, PyObject* kwargs);

// ols_cluster_scores(beta, x, y, weights, codes, groups) -> groups x k array
surface::Result<surface::PyRef> ols_cluster_scores(PyObject* module, PyObject* args,
                                                   PyObject* kwargs);

}  // namespace velmora::margins
