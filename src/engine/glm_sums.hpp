// Sums behind fitting a generalized linear model by Fisher scoring (iteratively
// reweighted least squares) over blocks of rows, and behind its covariances.
//
// Row i has the design row x_i, the outcome y_i, a frequency weight n_i and a variance
// weight w_i (1 each where the call has none), an offset o_i (0 without), the linear
// predictor v_i = x_i b + o_i and the mean mu_i = F(v_i) of the link's inverse F, with
// f = F' and f' = F''. With V the family's variance function and a_i = n_i w_i:
//
//   e_i = (y_i - mu_i) f(v_i) / V(mu_i)     the derivative of the row's log-likelihood by
//                                          v_i, times the scale
//   score        sum a_i e_i x_i
//   information  sum a_i f^2 / V x_i x_i^T                          (expected)
//   observed     sum a_i (f^2 / V - (y - mu) (f' / V - f^2 V' / V^2)) x_i x_i^T
//   meat         sum n_i (w_i e_i)^2 x_i x_i^T
//
// so that a Fisher step is information^-1 score, the same for every scale phi; the
// covariances divide the information by phi, and the meat by phi^2. loglik is
// sum n_i l(y_i, mu_i, w_i, phi) at the phi given, deviance sum n_i w_i d(y_i, mu_i) and
// pearson_chi2 sum n_i w_i (y_i - mu_i)^2 / V(mu_i) (see glm_family.hpp). constant is
// the part of loglik in the outcomes, weights and phi alone (sum n_i loglik_constant);
// sums without constants leave it out of loglik, and hold 0: the iterations of a fit
// compare their sums on the same rows, and need not take a log-gamma function of every
// row's outcome at every step.
//
// Every call forms its sums block by block and adds them into the caller's; the sums of
// calls over parts of the rows add up to those of one call over all of them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"
#include "engine/fit_sums.hpp"
#include "engine/glm_family.hpp"
#include "engine/link.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// What a row holds besides its design row: views of one value per row, or of none.
struct GlmRows {
    VectorView y, offset, frequency, variance;
};

// The sums over a set of rows; the matrices are full symmetric k x k, row-major, and
// observed and meat are empty unless asked for.
struct GlmSums {
    double loglik = 0.0, deviance = 0.0, pearson_chi2 = 0.0;
    std::vector<double> score, information, observed, meat;
    double weight = 0.0;  // sum n_i
    std::ptrdiff_t rows = 0;
    double constant = 0.0;
    bool with_constants = true;

    GlmSums(std::size_t k, bool with_observed, bool with_meat, bool constants = true)
        : score(k),
          information(k * k),
          observed(with_observed ? k * k : 0),
          meat(with_meat ? k * k : 0),
          with_constants(constants) {}
};

// Adds the sums of the rows of x to sums at the scale phi. An outcome or a mean the
// family does not take, or a linear predictor the link refuses, is a bad_value fault
// that names the row.
EngineResult<void> add_glm_sums(Family family, ModelKind link, VectorView beta, const DesignRows& x,
                                const GlmRows& rows, double scale, GlmSums& sums,
                                FitOptions options = {});

// Adds sum a_i e_i x_i over the rows of cluster g into row g of out, a row-major
// groups x k matrix, for every g; codes holds each row's cluster in [0, groups).
EngineResult<void> add_glm_cluster_scores(Family family, ModelKind link, VectorView beta,
                                          const DesignRows& x, const GlmRows& rows, CodeView codes,
                                          std::ptrdiff_t groups, std::span<double> out,
                                          FitOptions options = {});

}  // namespace velmora::engine
