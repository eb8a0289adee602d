// Sums behind fitting the negative binomial model NB2 (variance mu + alpha mu^2) by
// Newton steps in its coefficients b and its dispersion alpha together.
//
// Row i has the design row x_i, the count y_i, a frequency weight n_i (1 without one), an
// offset o_i (0 without), the mean mu_i = exp(x_i b + o_i) and, with a = 1 / alpha, the
// log-likelihood
//
//   l_i = log Gamma(y + a) - log Gamma(y + 1) - log Gamma(a) + a log(a / (a + mu))
//         + y log(mu / (a + mu)),
//
// as statsmodels' NegativeBinomial(loglike_method="nb2") defines it. The sums hold
// (b, alpha), alpha last: loglik sum n l, score sum n dl/d(b, alpha), information
// minus sum n d^2 l / d(b, alpha)^2 (the observed information), meat
// sum n s_i s_i^T with s_i the row's score, all (k + 1) x (k + 1).
#pragma once

#include <cstddef>
#include <span>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"
#include "engine/fit_sums.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// Adds the sums of the rows of x to sums, which hold k + 1 parameters: params holds
// b then alpha, y one count per row, weights and offset one value per row or none.
// A count that is negative or not finite, alpha not above 0 or a mean that overflows
// is a bad_value fault.
EngineResult<void> add_negbin_sums(VectorView params, const DesignRows& x, VectorView y,
                                   VectorView weights, VectorView offset, FitSums& sums,
                                   FitOptions options = {});

// Adds the scores n_i s_i of the rows of cluster g into row g of out, a row-major
// groups x (k + 1) matrix, for every g; codes holds each row's cluster in [0, groups).
EngineResult<void> add_negbin_cluster_scores(VectorView params, const DesignRows& x, VectorView y,
                                             VectorView weights, VectorView offset, CodeView codes,
                                             std::ptrdiff_t groups, std::span<double> out,
                                             FitOptions options = {});

}  // namespace velmora::engine
