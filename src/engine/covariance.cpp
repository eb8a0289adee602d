#include "engine/covariance.hpp"

#include <climits>
#include <cmath>
#include <string>

#include "engine/cblas.hpp"
#include "engine/products.hpp"

namespace velmora::engine {
namespace {

std::string shape(std::size_t rows, std::ptrdiff_t cols) {
    return std::to_string(rows) + " x " + std::to_string(cols);
}

}  // namespace

EngineResult<FinalEffects> finalise_effects(std::uint64_t n, std::size_t k, SeMethod method,
                                            const EffectAccumulators& acc,
                                            const MatrixView& cov_params) {
    const auto rows = static_cast<std::size_t>(cov_params.rows);
    if (rows != k) {
        return internal_fault("matrix product of " + shape(k, static_cast<std::ptrdiff_t>(k)) +
                              " and " + shape(rows, cov_params.cols) + " operands");
    }
    if (static_cast<std::size_t>(cov_params.cols) != k) {
        return internal_fault("matrix product of " + shape(k, cov_params.cols) + " and " +
                              shape(k, static_cast<std::ptrdiff_t>(k)) + " operands");
    }
    if (acc.ame_sums_per_obs.size() != k || acc.jacobian_per_obs.size() != k * k) {
        return internal_fault("accumulators do not hold " + std::to_string(k) + " columns");
    }
    const bool sm = method == SeMethod::statsmodels_style;
    const std::vector<double>& sums = sm ? acc.ame_sums_sm : acc.ame_sums_per_obs;
    const std::vector<double>& jacobian = sm ? acc.jacobian_sm : acc.jacobian_per_obs;

    const auto count = static_cast<double>(n);
    FinalEffects out{std::vector<double>(k), std::vector<double>(k)};
    for (std::size_t j = 0; j < k; ++j) out.ames[j] = sums[j] / count;
    if (k == 0) return out;

    std::vector<double> mean_jacobian(k * k);
    for (std::size_t i = 0; i < k * k; ++i) mean_jacobian[i] = jacobian[i] / count;

    // Sigma may have any strides; k x k is small, so it is copied row-major for CBLAS.
    std::vector<double> sigma(k * k);
    const auto kk = static_cast<std::ptrdiff_t>(k);
    for (std::ptrdiff_t i = 0; i < kk; ++i) {
        for (std::ptrdiff_t l = 0; l < kk; ++l) {
            sigma[static_cast<std::size_t>(i * kk + l)] = cov_params.at(i, l);
        }
    }
    if (k > INT_MAX) return internal_fault("too many columns for a dense product");
    const cblas::SingleThreaded single_threaded;
    std::vector<double> p(k * k);
    const int ki = static_cast<int>(k);
    cblas::dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, ki, ki, ki, 1.0, mean_jacobian.data(),
                 ki, sigma.data(), ki, 0.0, p.data(), ki);
    // Only the diagonal of V = P J^T is read: V[j][j] is row j of P dotted with row j of J.
    for (std::size_t j = 0; j < k; ++j) {
        const double v = dot(kk, p.data() + j * k, mean_jacobian.data() + j * k);
        out.std_errors[j] = std::sqrt(v > 0.0 ? v : 0.0);
    }
    return out;
}

}  // namespace velmora::engine
