// Sums behind fitting a Logit or Probit model by Newton steps over blocks of rows.
// Other links have no terms here (see fit_links).
//
// Row i has the design row x_i, the outcome y_i (0 or 1), a frequency weight w_i
// (1 when the call has none) and the linear predictor v_i = x_i b. With q_i = 2 y_i - 1
// and t_i = q_i v_i, the row's log-likelihood is l_i = log F(t_i); its score weight is
// r_i = dl_i / dv_i and its information weight h_i = -d^2 l_i / dv_i^2:
//
//   Logit:  l = log F(t),   r = y - F(v) = q F(-t),   h = F(v) (1 - F(v)) = f(t)
//   Probit: l = log Phi(t), r = q lambda,             h = lambda (lambda + t),
//           lambda = phi(t) / Phi(t)
//
// Every call forms its sums block by block, adds each block's into its totals, and
// adds the totals into the caller's sums; the sums of several calls over parts of the
// rows add up to the sums of one call over all of them, up to rounding.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/products.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// The links whose terms the fit has, in the order of ModelKind. Another link is an
// internal fault: the caller checks the link it is given against these.
inline constexpr std::array fit_links{ModelKind::probit, ModelKind::logit};

// Returns whether the fit has the terms of the given link.
constexpr bool fit_takes(ModelKind kind) {
    return std::find(fit_links.begin(), fit_links.end(), kind) != fit_links.end();
}

// The sums over a set of rows; information and meat are full symmetric k x k matrices,
// row-major.
struct FitSums {
    double loglik = 0.0;              // sum w_i l_i
    std::vector<double> score;        // sum w_i r_i x_i
    std::vector<double> information;  // sum w_i h_i x_i x_i^T
    std::vector<double> meat;         // sum w_i r_i^2 x_i x_i^T; empty unless asked for
    double weight = 0.0;              // sum w_i
    std::ptrdiff_t rows = 0;

    FitSums(std::size_t k, bool with_meat)
        : score(k), information(k * k), meat(with_meat ? k * k : 0) {}
};

// How a call works through its rows; the defaults suit every use but the tests, which
// compare block sizes and force the loop in place of CBLAS.
struct FitOptions {
    std::ptrdiff_t block_rows = 0;  // rows per block; 0 picks a size by the number of columns
    ProductPath path = ProductPath::automatic;
};

// Adds the sums of the rows of x to sums: beta holds k coefficients, y one outcome per
// row, weights one weight per row or no values, offset one value per row added to its
// linear predictor (v_i = x_i b + offset_i) or no values. The meat is formed when sums
// holds room for it. An outcome other than 0 and 1 is a bad_value fault.
EngineResult<void> add_fit_sums(ModelKind kind, VectorView beta, const DesignRows& x, VectorView y,
                                VectorView weights, FitSums& sums, FitOptions options = {},
                                VectorView offset = {});

// Adds sum w_i r_i x_i over the rows of cluster g into row g of out, a row-major
// groups x k matrix, for every g: codes holds each row's cluster in [0, groups). A
// code outside that range, or an outcome other than 0 and 1, is a bad_value fault.
// The rows are added into out one by one, in their order.
EngineResult<void> add_cluster_scores(ModelKind kind, VectorView beta, const DesignRows& x,
                                      VectorView y, VectorView weights, CodeView codes,
                                      std::ptrdiff_t groups, std::span<double> out,
                                      FitOptions options = {}, VectorView offset = {});

}  // namespace velmora::engine
