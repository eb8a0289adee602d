// Reading a fitted Logit or Probit results object (or one shaped like it).
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "engine/link.hpp"
#include "engine/strided.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::surface {

struct ModelInputs {
    engine::ModelKind kind = engine::ModelKind::logit;
    engine::VectorView beta;        // k coefficients
    engine::MatrixView cov_params;  // k x k
    engine::MatrixView x;           // n x k design matrix, read in place
    std::vector<std::string> names;
    std::vector<std::size_t> intercept_columns;
    // The arrays behind the views, kept alive for the call.
    PyRef beta_owner, cov_owner, x_owner;
};

// Reads the model's kind, arrays and regressor names, and checks that their sizes fit.
Result<ModelInputs> read_model_inputs(PyObject* model);

// Returns the indices of the names that are "const" or "intercept" in any letter case.
std::vector<std::size_t> find_intercept_columns(const std::vector<std::string>& names);

}  // namespace velmora::surface
