// Dense products over strided views: CBLAS where the layout allows, plain loops otherwise.
#pragma once

#include <cstddef>

#include "engine/strided.hpp"

namespace velmora::engine {

// Which kernel a product takes; the loop can be forced to test one path against the other.
enum class ProductPath { automatic, loop };

// Writes y = A x, for A of m x k, x contiguous of k values and y contiguous of m values.
void matvec(const MatrixView& a, const double* x, double* y,
            ProductPath path = ProductPath::automatic);

// Adds A^T W into C, for A of m x k, W column-major m x q with leading dimension ldw,
// and C column-major k x q with leading dimension k.
void add_transposed_product(const MatrixView& a, const double* w, std::ptrdiff_t ldw,
                            std::ptrdiff_t q, double* c, ProductPath path = ProductPath::automatic);

// Returns how many weight columns add_transposed_product should be given for q
// columns of A^T W: q, or more when zero columns appended to W make the product
// faster. OpenBLAS's x86-64 kernels work on panels of 8 and then 4, 2 and 1
// columns of W, and at k = 21 and 1024 rows its product with 8 columns takes
// about 0.7 of the time of one with 7 (0.85 of one with 6); 4 columns likewise
// beat 3. A product that takes the loop gets q.
std::ptrdiff_t padded_product_width(const MatrixView& a, std::ptrdiff_t q,
                                    ProductPath path = ProductPath::automatic);

// Returns the dot product of two contiguous vectors of n values.
double dot(std::ptrdiff_t n, const double* x, const double* y);

}  // namespace velmora::engine
