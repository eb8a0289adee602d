// The pandas DataFrame that zarn returns.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::surface {

// Returns the star text of a two-sided p-value.
std::string_view significance_stars(double p);

// Returns DataFrame(data={"dy/dx": ..., ..., "Significance": ...}, index=names)
// with one row per column that is not an intercept.
Result<PyRef> build_results_table(std::span<const double> ames, std::span<const double> std_errors,
                                  const std::vector<std::string>& names,
                                  std::span<const std::size_t> intercept_columns);

}  // namespace velmora::surface
