// One block of rows of the pass of contrast_sums, as its kinds of terms (level_terms.*,
// point_terms.*) see it: what the pass has formed for the block, and where the terms
// write the weight columns of the product X_block^T W.
#pragma once

#include <cstddef>

#include "engine/strided.hpp"

namespace velmora::engine {

struct ContrastBlock {
    std::ptrdiff_t first = 0;  // the block is rows [first, first + m) of X
    std::ptrdiff_t m = 0;
    MatrixView rows;               // those rows of X
    const double* beta = nullptr;  // k coefficients
    const double* xb = nullptr;    // the rows' linear predictors, with their offsets
    const double* w = nullptr;     // their weights (1 without weights)
    bool weighted = false;         // whether the call has weights
    bool offset = false;           // whether xb holds an offset too
    // F and f of xb, where the pass takes them (see the terms' own_cdf and own_pdf).
    const double* cdf = nullptr;
    const double* pdf = nullptr;
    double* weight_columns = nullptr;  // W, column-major
    std::ptrdiff_t leading = 0;        // its leading dimension

    // Returns weight column c of W.
    double* column(std::ptrdiff_t c) const { return weight_columns + c * leading; }

    // Returns column j of the block's rows of X.
    const double* x_column(std::ptrdiff_t j) const { return rows.data + j * rows.col_stride; }
};

// Returns the sum of m values, added in order.
inline double ordered_sum(const double* v, std::ptrdiff_t m) {
    double sum = 0.0;
    for (std::ptrdiff_t i = 0; i < m; ++i) sum += v[i];
    return sum;
}

}  // namespace velmora::engine
