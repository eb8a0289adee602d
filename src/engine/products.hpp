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
                            std::ptrdiff_t q, double* c,
                            ProductPath path = ProductPath::automatic);

// Returns the dot product of two contiguous vectors of n values.
double dot(std::ptrdiff_t n, const double* x, const double* y);

}  // namespace velmora::engine
