// The derivative effect of the continuous columns, beta_j times the mean of f(xb),
// and its gradient under either standard-error method.
#pragma once

#include <cstddef>
#include <span>

#include "engine/accumulators.hpp"
#include "engine/block_scratch.hpp"
#include "engine/link.hpp"

namespace velmora::engine {

// Writes, for the first m rows of a block, the weights whose product with X
// gives the continuous columns' shared gradient sums: xb f(xb) under
// per_observation ("kova"), f'(xb) under statsmodels_style ("sm"), read from
// the rows' own xb, F and f in scratch. Adds the sum of f(xb) into pdf_sum.
template <ModelKind K>
void add_continuous_block(SeMethod method, std::ptrdiff_t m, const BlockScratch& scratch,
                          double* weights, double& pdf_sum);

// Adds a chunk's sums into the pair of accumulators of method
// (per_observation or statsmodels_style), for each continuous column j with
// coefficient beta[j]: beta_j S into element j, and into row j of the Jacobian,
// from the shared gradient sums t (k values), S on the diagonal and
// -beta_j t_l elsewhere under "kova", beta_j t_l plus S on the diagonal under
// "sm". S is the chunk's sum of f(xb).
void add_continuous_sums(SeMethod method, std::span<const std::size_t> columns,
                         std::span<const double> beta, double pdf_sum,
                         std::span<const double> gradient_sums, EffectAccumulators& acc);

}  // namespace velmora::engine
