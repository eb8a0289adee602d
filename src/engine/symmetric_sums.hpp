// Sums of weighted outer products of the rows of X, sum_i c_i x_i x_i^T, by symmetric
// rank-k updates over blocks of rows, and the cluster sums sum_{i in g} s_i x_i: what the
// fit kernels (fit_sums.*, glm_sums.*, negbin_sums.*, linear_sums.*) share.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/fault.hpp"
#include "engine/products.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// Adds sign_i (a_i x_i)(a_i x_i)^T over the rows of a view into the upper triangle of
// c, a column-major k x k matrix, where sign_i is -1 for a negative w_i and 1 otherwise.
//
// By CBLAS: the scaled rows are copied into a block, the rows with a negative weight
// after the others, and each part goes to one symmetric rank-k update. The copy takes
// any layout of X; it is laid out row by row when X's rows are its nearer axis and
// column by column otherwise, so that it reads X in the order of its storage.
class SymmetricSums {
  public:
    SymmetricSums(std::ptrdiff_t block, std::ptrdiff_t k)
        : copy_(to_index(block * k)), place_(to_index(block)) {}

    // Adds sign_i (a_i x_i)(a_i x_i)^T for the rows of the view into the upper triangle
    // of c; the sign is that of w_i where weighted, 1 otherwise.
    void add(const MatrixView& rows, const double* a, const double* w, bool weighted,
             ProductPath path, double* c);

    // Adds c_i x_i x_i^T for the rows of the view into the upper triangle of c: a_i is
    // sqrt|c_i| and the sign that of c_i. scratch holds a value per row.
    void add_weighted(const MatrixView& rows, const double* weights, ProductPath path, double* c);

  private:
    static void add_by_loop(const MatrixView& rows, const double* a, const double* w, bool weighted,
                            double* c);

    std::vector<double> copy_, scale_;
    std::vector<std::ptrdiff_t> place_;
};

// Writes the full symmetric matrix of the upper triangle of c (column-major) into out,
// adding to what out holds.
void mirror_into(const std::vector<double>& c, std::ptrdiff_t k, std::vector<double>& out);

// Checks the shapes of a call's cluster sums: one code per row of X, and groups x width
// values in out.
EngineResult<void> check_clusters(std::ptrdiff_t rows, CodeView codes, std::ptrdiff_t groups,
                                  std::ptrdiff_t width, std::size_t out);

// Adds s_i x_i into row codes_i of out, a row-major groups x width matrix whose first
// k = rows.cols columns take x_i, for the rows of a block, the first of them row first
// of the call; a code outside [0, groups) is a bad_value fault. The rows are added one
// by one, in their order.
EngineResult<void> add_cluster_rows(const MatrixView& rows, const double* s, CodeView codes,
                                    std::ptrdiff_t first, std::ptrdiff_t groups,
                                    std::ptrdiff_t width, std::span<double> out);

}  // namespace velmora::engine
