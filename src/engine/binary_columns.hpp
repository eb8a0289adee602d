// Which columns of X are binary, and which are left as continuous.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"

namespace velmora::engine {

// Returns the columns, in ascending order, that are not intercepts and hold only 0 and 1.
// Names are enumerated, not columns: a name without a column is an internal fault.
EngineResult<std::vector<std::size_t>> find_binary_columns(
    const DesignRows& x, std::size_t name_count, std::span<const std::size_t> intercept_columns);

// Returns the columns below k, in ascending order, that are neither intercepts nor binary.
std::vector<std::size_t> continuous_columns(std::size_t k,
                                            std::span<const std::size_t> intercept_columns,
                                            std::span<const std::size_t> binary_columns);

}  // namespace velmora::engine
