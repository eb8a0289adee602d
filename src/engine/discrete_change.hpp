// The discrete change of a binary column: the mean of F(xb with x = 1) - F(xb with
// x = 0) over the rows, and its gradient.
#pragma once

#include <cstddef>
#include <span>

#include "engine/accumulators.hpp"
#include "engine/block_scratch.hpp"
#include "engine/link.hpp"

namespace velmora::engine {

// The sums of one binary column's per-row terms over a chunk.
struct DiscreteChangeSums {
    double cdf_one = 0.0;   // F with x set to 1
    double cdf_zero = 0.0;  // F with x set to 0
    double pdf_one = 0.0;   // f with x set to 1
};

// Adds a binary column's per-row terms over the first m rows of a block into
// sums, and writes f(x = 1) - f(x = 0), its weights in X^T W, into
// pdf_difference. x holds the column's m values and b is its coefficient;
// scratch holds the rows' own xb, F and f, and lends its counterfactual arrays
// and link scratch. Returns false, having added nothing, if x holds a value
// other than 0 and 1.
template <ModelKind K>
bool add_discrete_change(const double* x, double b, std::ptrdiff_t m, BlockScratch& scratch,
                         double* pdf_difference, DiscreteChangeSums& sums);

// Adds a chunk's sums of binary column j into both pairs of accumulators:
// F(x = 1) - F(x = 0) into element j, and into row j of each Jacobian the
// column's gradient sums (its k columns of X^T W), but for entry j, which gets
// the sum of f(x = 1).
void add_discrete_change_sums(std::size_t j, const DiscreteChangeSums& sums,
                              std::span<const double> gradient_sums, EffectAccumulators& acc);

}  // namespace velmora::engine
