// Sums behind least squares, ordinary (every weight 1) and weighted (w_i the weight of
// row i), over blocks of rows: a first pass for the normal equations, and a second, given
// the coefficients b and the bread B = (X^T W X)^-1, for the residuals, the robust meats
// and the scores by cluster, as statsmodels' OLS and WLS define them. With e_i = y_i - x_i b
// and the leverage h_i = w_i x_i B x_i^T:
//
//   HC0 (and HC1, which scales it)  sum w_i^2 e_i^2 x_i x_i^T
//   HC2                             sum w_i^2 e_i^2 / (1 - h_i) x_i x_i^T
//   HC3                             sum w_i^2 e_i^2 / (1 - h_i)^2 x_i x_i^T
//   cluster scores                  sum over the rows of cluster g of w_i e_i x_i
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"
#include "engine/fit_sums.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// The normal equations' sums; matrices full symmetric k x k, row-major.
struct LinearSums {
    std::vector<double> xtwx, xtwy;
    double ytwy = 0.0;
    double weight = 0.0;      // sum w_i
    double log_weight = 0.0;  // sum log w_i, of WLS's log-likelihood
    std::ptrdiff_t rows = 0;

    explicit LinearSums(std::size_t k) : xtwx(k * k), xtwy(k) {}
};

// The residuals' sums at b.
struct LinearMeat {
    double ssr = 0.0;  // sum w_i e_i^2
    std::vector<double> hc0, hc2, hc3;
    double max_leverage = 0.0;  // the largest h_i
    std::ptrdiff_t rows = 0;

    explicit LinearMeat(std::size_t k) : hc0(k * k), hc2(k * k), hc3(k * k) {}
};

// Adds the sums of the rows of x to sums: y one outcome per row, weights one weight per
// row or none. An outcome that is not finite, or a weight that is negative or not
// finite, is a bad_value fault that names the row.
EngineResult<void> add_linear_sums(const DesignRows& x, VectorView y, VectorView weights,
                                   LinearSums& sums, FitOptions options = {});

// Adds the residuals' sums of the rows of x at beta to meat, with bread the k x k matrix
// B; faults as add_linear_sums.
EngineResult<void> add_linear_meat(VectorView beta, const MatrixView& bread, const DesignRows& x,
                                   VectorView y, VectorView weights, LinearMeat& meat,
                                   FitOptions options = {});

// Adds w_i e_i x_i over the rows of cluster g into row g of out, a row-major groups x k
// matrix, for every g; codes holds each row's cluster in [0, groups).
EngineResult<void> add_linear_cluster_scores(VectorView beta, const DesignRows& x, VectorView y,
                                             VectorView weights, CodeView codes,
                                             std::ptrdiff_t groups, std::span<double> out,
                                             FitOptions options = {});

}  // namespace velmora::engine
