#include "engine/negbin_sums.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/gamma_functions.hpp"
#include "engine/link_arrays.hpp"
#include "engine/link_domain.hpp"
#include "engine/propagate.hpp"
#include "engine/symmetric_sums.hpp"

namespace velmora::engine {
namespace {

EngineResult<void> bad_value(std::string text) {
    return std::unexpected(EngineFault{FaultKind::bad_value, std::move(text)});
}

EngineResult<void> check_inputs(VectorView params, const DesignRows& x, VectorView y,
                                VectorView weights, VectorView offset, const FitOptions& options) {
    if (params.size != x.cols + 1) {
        return internal_fault("parameters of " + std::to_string(params.size) + " for X of " +
                              shape(x) + " and alpha");
    }
    if (y.size != x.rows || (weights.size != 0 && weights.size != x.rows) ||
        (offset.size != 0 && offset.size != x.rows)) {
        return internal_fault(std::to_string(y.size) + " outcomes, " +
                              std::to_string(weights.size) + " weights and " +
                              std::to_string(offset.size) + " offsets for " +
                              std::to_string(x.rows) + " rows");
    }
    if (options.block_rows < 0) {
        return internal_fault("block of " + std::to_string(options.block_rows) + " rows");
    }
    const double alpha = params[x.cols];
    if (!(alpha > 0.0) || !std::isfinite(alpha)) {
        return bad_value("alpha must be above 0 and finite, got " + number_text(alpha));
    }
    return {};
}

// One call's pass over its rows in cache blocks: per block the means and the rows' terms.
class NegbinPass {
  public:
    NegbinPass(VectorView params, const DesignRows& x, VectorView y, VectorView weights,
               VectorView offset, FitOptions options)
        : x_(x),
          y_(y),
          weights_(weights),
          offset_(offset),
          path_(options.path),
          k_(x.cols),
          beta_(to_index(k_)),
          alpha_(params[x.cols]) {
        for (std::ptrdiff_t l = 0; l < k_; ++l) beta_[to_index(l)] = params[l];
        std::ptrdiff_t b = options.block_rows;
        if (b == 0)
            b = std::clamp<std::ptrdiff_t>((1 << 14) / std::max<std::ptrdiff_t>(k_, 1), 64, 4096);
        block_ = std::max<std::ptrdiff_t>(1, std::min(b, x.rows));
        for (std::vector<double>* v : {&v_, &mu_, &score_, &alpha_score_, &information_, &cross_,
                                       &weight_, &meat_, &meat_cross_}) {
            v->resize(to_index(block_));
        }
    }

    std::ptrdiff_t block() const { return block_; }
    ProductPath path() const { return path_; }

    // Returns the rows of X of the block that block_terms last formed.
    const MatrixView& rows() const { return rows_; }

    // Forms the terms of rows [first, first + m), each times its weight, and the block's
    // scalar sums.
    EngineResult<void> block_terms(std::ptrdiff_t first, std::ptrdiff_t m) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double y = y_[first + i];
            if (!(y >= 0.0) || !std::isfinite(y)) {
                return bad_value(
                    "y must hold counts of at least 0 for the negative binomial "
                    "model; row " +
                    std::to_string(first + i) + " holds " + number_text(y));
            }
        }
        rows_ = x_.block(first, m, gathered_);
        matvec(rows_, beta_.data(), v_.data(), path_);
        const bool offset = offset_.size != 0;
        if (offset) {
            for (std::ptrdiff_t i = 0; i < m; ++i) v_[to_index(i)] += offset_[first + i];
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) mu_[to_index(i)] = std::exp(v_[to_index(i)]);
        VELMORA_RETURN_IF_ERROR(
            check_link_values<ModelKind::log>(v_.data(), mu_.data(), mu_.data(), m, first, offset));
        const double alpha = alpha_, a = 1.0 / alpha;
        const double da1 = -(1.0 / (alpha * alpha)), da2 = 2.0 / (alpha * alpha * alpha);
        const double log_gamma_a = log_gamma(a);  // the same for every row
        loglik_ = alpha_alpha_ = meat_alpha_ = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            const double y = y_[first + i], mu = mu_[r];
            const double n = weights_.size != 0 ? weights_[first + i] : 1.0;
            const double spread = 1.0 + alpha * mu;  // (a + mu) / a
            const double log_prob = -std::log1p(alpha * mu);
            const double log_rest = std::log(mu / (a + mu));
            const double ll = ((log_gamma(y + a) - log_gamma(y + 1.0)) - log_gamma_a) +
                              (a * log_prob + y * log_rest);
            const double residual = y - mu;
            const double score = residual / spread;
            const double inner = (digamma_difference(a, y) + log_prob) - residual / (a + mu);
            const double alpha_score = da1 * inner;
            const double curvature = (trigamma_difference(a, y) + 1.0 / a - 1.0 / (a + mu)) +
                                     residual / ((mu + a) * (mu + a));
            loglik_ += n * ll;
            score_[r] = n * score;
            alpha_score_[r] = n * alpha_score;
            information_[r] = n * ((mu * (1.0 + alpha * y)) / (spread * spread));
            cross_[r] = n * ((mu * residual) / (spread * spread));
            alpha_alpha_ -= n * (da2 * inner + (da1 * da1) * curvature);
            weight_[r] = n;
            meat_[r] = n * (score * score);
            meat_cross_[r] = n * (score * alpha_score);
            meat_alpha_ += n * (alpha_score * alpha_score);
        }
        return {};
    }

    // Per row, times its weight n: the score in b (by x) and in alpha, the information
    // in b (by x x^T), in b and alpha (by x), the meat in b (by x x^T) and in b and
    // alpha (by x: n s_b s_alpha).
    std::vector<double> score_, alpha_score_, information_, cross_, weight_, meat_, meat_cross_;
    // The block's sums: loglik, the information in alpha and the meat in alpha.
    double loglik_ = 0.0, alpha_alpha_ = 0.0, meat_alpha_ = 0.0;

  private:
    const DesignRows& x_;
    MatrixView rows_;
    std::vector<double> gathered_;  // the block's rows, where X is held by columns
    VectorView y_, weights_, offset_;
    ProductPath path_;
    std::ptrdiff_t k_;
    std::vector<double> beta_;
    double alpha_;
    std::ptrdiff_t block_ = 0;
    std::vector<double> v_, mu_;
};

// Adds a k x k row-major matrix, b and its last row and column into a (k + 1) x (k + 1)
// matrix: corner the last diagonal value.
void add_bordered(const std::vector<double>& inner, const std::vector<double>& border,
                  double corner, std::size_t k, std::vector<double>& out) {
    const std::size_t p = k + 1;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) out[i * p + j] += inner[i * k + j];
        out[i * p + k] += border[i];
        out[k * p + i] += border[i];
    }
    out[k * p + k] += corner;
}

}  // namespace

EngineResult<void> add_negbin_sums(VectorView params, const DesignRows& x, VectorView y,
                                   VectorView weights, VectorView offset, FitSums& sums,
                                   FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(params, x, y, weights, offset, options));
    const std::size_t k = to_index(x.cols), p = k + 1;
    const bool with_meat = !sums.meat.empty();
    if (sums.score.size() != p || sums.information.size() != p * p ||
        (with_meat && sums.meat.size() != p * p)) {
        return internal_fault("sums of " + std::to_string(sums.score.size()) +
                              " parameters for X of " + shape(x) + " and alpha");
    }
    if (x.rows == 0) return {};

    NegbinPass pass(params, x, y, weights, offset, options);
    SymmetricSums symmetric(pass.block(), x.cols);
    double loglik = 0.0, alpha_score = 0.0, alpha_alpha = 0.0, meat_alpha = 0.0, weight = 0.0;
    std::vector<double> score(k), information(k * k), cross(k), meat(with_meat ? k * k : 0),
        meat_cross(with_meat ? k : 0), products(k * 2);
    std::vector<double> columns(to_index(pass.block()) * 2);
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        loglik += pass.loglik_;
        alpha_alpha += pass.alpha_alpha_;
        meat_alpha += pass.meat_alpha_;
        const MatrixView& block = pass.rows();
        double block_alpha = 0.0, block_weight = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            block_alpha += pass.alpha_score_[r];
            block_weight += pass.weight_[r];
            columns[r] = pass.score_[r];
            columns[r + to_index(m)] = pass.cross_[r];
        }
        alpha_score += block_alpha;
        weight += block_weight;
        // The score in b and the information's border, one product of two columns.
        std::fill(products.begin(), products.end(), 0.0);
        add_transposed_product(block, columns.data(), m, 2, products.data(), pass.path());
        for (std::size_t l = 0; l < k; ++l) {
            score[l] += products[l];
            cross[l] += products[k + l];
        }
        symmetric.add_weighted(block, pass.information_.data(), pass.path(), information.data());
        if (with_meat) {
            symmetric.add_weighted(block, pass.meat_.data(), pass.path(), meat.data());
            add_transposed_product(block, pass.meat_cross_.data(), m, 1, meat_cross.data(),
                                   pass.path());
        }
    }

    sums.loglik += loglik;
    for (std::size_t l = 0; l < k; ++l) sums.score[l] += score[l];
    sums.score[k] += alpha_score;
    std::vector<double> full(k * k);
    mirror_into(information, x.cols, full);
    add_bordered(full, cross, alpha_alpha, k, sums.information);
    if (with_meat) {
        std::fill(full.begin(), full.end(), 0.0);
        mirror_into(meat, x.cols, full);
        add_bordered(full, meat_cross, meat_alpha, k, sums.meat);
    }
    sums.weight += weight;
    sums.rows += x.rows;
    return {};
}

EngineResult<void> add_negbin_cluster_scores(VectorView params, const DesignRows& x, VectorView y,
                                             VectorView weights, VectorView offset, CodeView codes,
                                             std::ptrdiff_t groups, std::span<double> out,
                                             FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(params, x, y, weights, offset, options));
    const std::ptrdiff_t k = x.cols;
    VELMORA_RETURN_IF_ERROR(check_clusters(x.rows, codes, groups, k + 1, out.size()));
    if (x.rows == 0) return {};
    NegbinPass pass(params, x, y, weights, offset, options);
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        VELMORA_RETURN_IF_ERROR(
            add_cluster_rows(pass.rows(), pass.score_.data(), codes, first, groups, k + 1, out));
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            out[to_index(codes[first + i] * (k + 1) + k)] += pass.alpha_score_[to_index(i)];
        }
    }
    return {};
}

}  // namespace velmora::engine
