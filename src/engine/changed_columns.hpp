// Views of a contrast's changed columns, one row per row of X or one row for all, and
// the sums the contrasts take over them.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/strided.hpp"

namespace velmora::engine {

// True when every row of the view holds the same values: a row stride of 0, or one row.
bool constant_rows(const MatrixView& m);

// Returns rows [first, first + m) of a view, or its one row m times when all are alike.
MatrixView rows_of(const MatrixView& v, std::ptrdiff_t first, std::ptrdiff_t m);

// Writes out_i = sum_s b[columns[s]] v(i, s) for the rows of v.
void combine(const MatrixView& v, const std::vector<std::ptrdiff_t>& columns, const double* b,
             double* out);

// Adds sum_i w_i v(i, s) into out[s] for every column s of v.
void add_weighted_columns(const MatrixView& v, const double* w, double* out);

}  // namespace velmora::engine
