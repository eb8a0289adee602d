#include "engine/linear_sums.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "engine/cblas.hpp"
#include "engine/link_domain.hpp"
#include "engine/propagate.hpp"
#include "engine/symmetric_sums.hpp"

namespace velmora::engine {
namespace {

EngineResult<void> check_inputs(const DesignRows& x, VectorView y, VectorView weights,
                                const FitOptions& options) {
    if (y.size != x.rows || (weights.size != 0 && weights.size != x.rows)) {
        return internal_fault(std::to_string(y.size) + " outcomes and " +
                              std::to_string(weights.size) + " weights for " +
                              std::to_string(x.rows) + " rows");
    }
    if (options.block_rows < 0) {
        return internal_fault("block of " + std::to_string(options.block_rows) + " rows");
    }
    return {};
}

std::ptrdiff_t block_rows(const FitOptions& options, const DesignRows& x) {
    std::ptrdiff_t b = options.block_rows;
    if (b == 0) {
        b = std::clamp<std::ptrdiff_t>((1 << 14) / std::max<std::ptrdiff_t>(x.cols, 1), 64, 4096);
    }
    return std::max<std::ptrdiff_t>(1, std::min(b, x.rows));
}

// Writes the block's outcomes and weights, checked; a bad_value fault names the row.
EngineResult<void> outcomes(VectorView y, VectorView weights, std::ptrdiff_t first,
                            std::ptrdiff_t m, double* ys, double* ws) {
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const double yi = y[first + i], wi = weights.size != 0 ? weights[first + i] : 1.0;
        if (!std::isfinite(yi)) {
            return std::unexpected(EngineFault{
                FaultKind::bad_value, "y must be finite; row " + std::to_string(first + i) +
                                          " holds " + number_text(yi)});
        }
        if (!(wi >= 0.0) || !std::isfinite(wi)) {
            return std::unexpected(EngineFault{
                FaultKind::bad_value, "weights must be finite and at least 0; row " +
                                          std::to_string(first + i) + " holds " + number_text(wi)});
        }
        ys[i] = yi;
        ws[i] = wi;
    }
    return {};
}

// Writes e_i = y_i - x_i b for the block.
void residuals(const MatrixView& block, const double* beta, const double* ys, ProductPath path,
               double* e) {
    matvec(block, beta, e, path);
    for (std::ptrdiff_t i = 0; i < block.rows; ++i) e[i] = ys[i] - e[i];
}

// Writes q_i = x_i B x_i^T for the rows of a block: the rows copied into a contiguous
// row-major block z, Z = z B by CBLAS (or a loop), then q_i = sum_j Z_ij z_ij.
void quadratic_forms(const MatrixView& block, const std::vector<double>& bread, ProductPath path,
                     std::vector<double>& z, std::vector<double>& product, double* q) {
    const std::ptrdiff_t m = block.rows, k = block.cols;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        for (std::ptrdiff_t j = 0; j < k; ++j) z[to_index(i * k + j)] = block.at(i, j);
    }
    if (path == ProductPath::automatic && m <= INT_MAX && k <= INT_MAX && m > 0 && k > 0) {
        const int mi = static_cast<int>(m), ki = static_cast<int>(k);
        cblas::dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, mi, ki, ki, 1.0, z.data(), ki,
                     bread.data(), ki, 0.0, product.data(), ki);
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            for (std::ptrdiff_t j = 0; j < k; ++j) {
                double s = 0.0;
                for (std::ptrdiff_t l = 0; l < k; ++l) {
                    s += z[to_index(i * k + l)] * bread[to_index(l * k + j)];
                }
                product[to_index(i * k + j)] = s;
            }
        }
    }
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        double s = 0.0;
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            s += product[to_index(i * k + j)] * z[to_index(i * k + j)];
        }
        q[i] = s;
    }
}

}  // namespace

EngineResult<void> add_linear_sums(const DesignRows& x, VectorView y, VectorView weights,
                                   LinearSums& sums, FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(x, y, weights, options));
    const std::size_t k = to_index(x.cols);
    if (sums.xtwx.size() != k * k || sums.xtwy.size() != k) {
        return internal_fault("sums of " + std::to_string(sums.xtwy.size()) +
                              " coefficients for X of " + shape(x));
    }
    if (x.rows == 0) return {};
    const std::ptrdiff_t block = block_rows(options, x);
    const std::size_t b = to_index(block);
    std::vector<double> ys(b), ws(b), wy(b), xtwx(k * k), xtwy(k);
    SymmetricSums symmetric(block, x.cols);
    double ytwy = 0.0, weight = 0.0, log_weight = 0.0;
    std::vector<double> gathered;  // a block's rows, where X is held by columns
    for (std::ptrdiff_t first = 0; first < x.rows; first += block) {
        const std::ptrdiff_t m = std::min(block, x.rows - first);
        VELMORA_RETURN_IF_ERROR(outcomes(y, weights, first, m, ys.data(), ws.data()));
        double block_ytwy = 0.0, block_weight = 0.0, block_log = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            wy[r] = ws[r] * ys[r];
            block_ytwy += wy[r] * ys[r];
            block_weight += ws[r];
            block_log += std::log(ws[r]);
        }
        ytwy += block_ytwy;
        weight += block_weight;
        log_weight += block_log;
        const MatrixView rows = x.block(first, m, gathered);
        add_transposed_product(rows, wy.data(), m, 1, xtwy.data(), options.path);
        symmetric.add_weighted(rows, ws.data(), options.path, xtwx.data());
    }
    mirror_into(xtwx, x.cols, sums.xtwx);
    for (std::size_t l = 0; l < k; ++l) sums.xtwy[l] += xtwy[l];
    sums.ytwy += ytwy;
    sums.weight += weight;
    sums.log_weight += log_weight;
    sums.rows += x.rows;
    return {};
}

EngineResult<void> add_linear_meat(VectorView beta, const MatrixView& bread, const DesignRows& x,
                                   VectorView y, VectorView weights, LinearMeat& meat,
                                   FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(x, y, weights, options));
    const std::size_t k = to_index(x.cols);
    if (beta.size != x.cols || bread.rows != x.cols || bread.cols != x.cols) {
        return internal_fault("beta of " + std::to_string(beta.size) + " and bread of " +
                              shape(bread) + " for X of " + shape(x));
    }
    if (meat.hc0.size() != k * k || meat.hc2.size() != k * k || meat.hc3.size() != k * k) {
        return internal_fault("meats of " + std::to_string(meat.hc0.size()) + " values for X of " +
                              shape(x));
    }
    if (x.rows == 0) return {};
    const std::ptrdiff_t block = block_rows(options, x);
    const std::size_t b = to_index(block);
    std::vector<double> beta_values(k), bread_values(k * k);
    for (std::size_t l = 0; l < k; ++l) beta_values[l] = beta[static_cast<std::ptrdiff_t>(l)];
    for (std::ptrdiff_t i = 0; i < x.cols; ++i) {
        for (std::ptrdiff_t j = 0; j < x.cols; ++j)
            bread_values[to_index(i * x.cols) + to_index(j)] = bread.at(i, j);
    }
    std::vector<double> ys(b), ws(b), e(b), q(b), hc0(b), hc2(b), hc3(b), z(b * k), product(b * k);
    std::vector<double> sums0(k * k), sums2(k * k), sums3(k * k);
    SymmetricSums symmetric(block, x.cols);
    double ssr = 0.0, max_leverage = meat.rows > 0 ? meat.max_leverage : 0.0;
    std::vector<double> gathered;  // a block's rows, where X is held by columns
    for (std::ptrdiff_t first = 0; first < x.rows; first += block) {
        const std::ptrdiff_t m = std::min(block, x.rows - first);
        VELMORA_RETURN_IF_ERROR(outcomes(y, weights, first, m, ys.data(), ws.data()));
        const MatrixView rows = x.block(first, m, gathered);
        residuals(rows, beta_values.data(), ys.data(), options.path, e.data());
        quadratic_forms(rows, bread_values, options.path, z, product, q.data());
        double block_ssr = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            const double we = ws[r] * e[r];
            const double h = ws[r] * q[r];
            block_ssr += we * e[r];
            max_leverage = std::max(max_leverage, h);
            hc0[r] = we * we;
            hc2[r] = hc0[r] / (1.0 - h);
            hc3[r] = hc0[r] / ((1.0 - h) * (1.0 - h));
        }
        ssr += block_ssr;
        symmetric.add_weighted(rows, hc0.data(), options.path, sums0.data());
        symmetric.add_weighted(rows, hc2.data(), options.path, sums2.data());
        symmetric.add_weighted(rows, hc3.data(), options.path, sums3.data());
    }
    meat.ssr += ssr;
    mirror_into(sums0, x.cols, meat.hc0);
    mirror_into(sums2, x.cols, meat.hc2);
    mirror_into(sums3, x.cols, meat.hc3);
    meat.max_leverage = max_leverage;
    meat.rows += x.rows;
    return {};
}

EngineResult<void> add_linear_cluster_scores(VectorView beta, const DesignRows& x, VectorView y,
                                             VectorView weights, CodeView codes,
                                             std::ptrdiff_t groups, std::span<double> out,
                                             FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(x, y, weights, options));
    if (beta.size != x.cols) {
        return internal_fault("beta of " + std::to_string(beta.size) + " for X of " + shape(x));
    }
    VELMORA_RETURN_IF_ERROR(check_clusters(x.rows, codes, groups, x.cols, out.size()));
    if (x.rows == 0) return {};
    const std::ptrdiff_t block = block_rows(options, x);
    const std::size_t b = to_index(block);
    std::vector<double> beta_values(to_index(x.cols)), ys(b), ws(b), e(b);
    for (std::ptrdiff_t l = 0; l < x.cols; ++l) beta_values[to_index(l)] = beta[l];
    std::vector<double> gathered;  // a block's rows, where X is held by columns
    for (std::ptrdiff_t first = 0; first < x.rows; first += block) {
        const std::ptrdiff_t m = std::min(block, x.rows - first);
        VELMORA_RETURN_IF_ERROR(outcomes(y, weights, first, m, ys.data(), ws.data()));
        const MatrixView rows = x.block(first, m, gathered);
        residuals(rows, beta_values.data(), ys.data(), options.path, e.data());
        for (std::ptrdiff_t i = 0; i < m; ++i) e[to_index(i)] *= ws[to_index(i)];
        VELMORA_RETURN_IF_ERROR(
            add_cluster_rows(rows, e.data(), codes, first, groups, x.cols, out));
    }
    return {};
}

}  // namespace velmora::engine
