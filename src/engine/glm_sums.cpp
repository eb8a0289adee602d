#include "engine/glm_sums.hpp"

#include <algorithm>
#include <string>

#include "engine/link_arrays.hpp"
#include "engine/link_domain.hpp"
#include "engine/propagate.hpp"
#include "engine/symmetric_sums.hpp"

namespace velmora::engine {
namespace {

EngineResult<void> check_inputs(VectorView beta, const DesignRows& x, const GlmRows& rows,
                                const FitOptions& options) {
    if (beta.size != x.cols) {
        return internal_fault("beta of " + std::to_string(beta.size) + " for X of " + shape(x));
    }
    const auto fits = [&](VectorView v, const char* what, bool required) -> EngineResult<void> {
        if ((required || v.size != 0) && v.size != x.rows) {
            return internal_fault(std::to_string(v.size) + " " + what + " for " +
                                  std::to_string(x.rows) + " rows");
        }
        return {};
    };
    VELMORA_RETURN_IF_ERROR(fits(rows.y, "outcomes", true));
    VELMORA_RETURN_IF_ERROR(fits(rows.offset, "offsets", false));
    VELMORA_RETURN_IF_ERROR(fits(rows.frequency, "frequency weights", false));
    VELMORA_RETURN_IF_ERROR(fits(rows.variance, "variance weights", false));
    if (options.block_rows < 0) {
        return internal_fault("block of " + std::to_string(options.block_rows) + " rows");
    }
    return {};
}

EngineResult<void> bad_value(std::string text) {
    return std::unexpected(EngineFault{FaultKind::bad_value, std::move(text)});
}

// One call's pass over its rows in cache blocks: per block the linear predictors, the
// link's values, the rows' terms and the block's scalar sums.
class GlmPass {
  public:
    GlmPass(Family family, ModelKind link, VectorView beta, const DesignRows& x,
            const GlmRows& rows, double scale, FitOptions options, bool observed, bool meat,
            bool constants)
        : family_(family),
          link_(link),
          x_(x),
          rows_(rows),
          scale_(scale),
          path_(options.path),
          observed_(observed),
          meat_(meat),
          constants_(constants),
          beta_(to_index(x.cols)) {
        for (std::ptrdiff_t l = 0; l < x.cols; ++l) beta_[to_index(l)] = beta[l];
        std::ptrdiff_t b = options.block_rows;
        if (b == 0) {
            b = std::clamp<std::ptrdiff_t>((1 << 14) / std::max<std::ptrdiff_t>(x.cols, 1), 64,
                                           4096);
        }
        block_ = std::max<std::ptrdiff_t>(1, std::min(b, x.rows));
        for (std::vector<double>* v : {&v_, &mu_, &f_, &fp_, &scratch_, &score_, &information_,
                                       &observed_weights_, &meat_weights_}) {
            v->resize(to_index(block_));
        }
    }

    std::ptrdiff_t block() const { return block_; }
    ProductPath path() const { return path_; }

    // Returns the rows of X of the block that block_terms last formed.
    const MatrixView& rows() const { return block_rows_; }

    // Forms the terms of rows [first, first + m) and the block's scalar sums.
    EngineResult<void> block_terms(std::ptrdiff_t first, std::ptrdiff_t m) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double y = rows_.y[first + i];
            if (!family_.takes_outcome(y)) return bad_value(family_.outcome_fault(first + i, y));
        }
        block_rows_ = x_.block(first, m, gathered_);
        matvec(block_rows_, beta_.data(), v_.data(), path_);
        const bool offset = rows_.offset.size != 0;
        if (offset) {
            for (std::ptrdiff_t i = 0; i < m; ++i) v_[to_index(i)] += rows_.offset[first + i];
        }
        VELMORA_RETURN_IF_ERROR(with_link(link_, [&]<ModelKind K>(LinkTag<K>) {
            link_values<K>(v_.data(), mu_.data(), f_.data(), m, scratch_.data());
            pdf_derivative_array<K>(v_.data(), mu_.data(), f_.data(), fp_.data(), m);
            return check_link_values<K>(v_.data(), mu_.data(), f_.data(), m, first, offset);
        }));
        loglik_ = constant_ = deviance_ = pearson_chi2_ = weight_ = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            const double y = rows_.y[first + i], mu = mu_[r], f = f_[r];
            if (!family_.takes_mean(mu)) {
                return bad_value(family_.mean_fault(first + i, mu, v_[r]));
            }
            const double n = rows_.frequency.size != 0 ? rows_.frequency[first + i] : 1.0;
            const double w = rows_.variance.size != 0 ? rows_.variance[first + i] : 1.0;
            const double a = n * w;
            const double variance = family_.variance(mu);
            const double residual = y - mu;
            const double e = (residual * f) / variance;
            const double expected = (f * f) / variance;
            score_[r] = a * e;
            information_[r] = a * expected;
            if (observed_) {
                const double slope =
                    fp_[r] / variance - (expected * family_.variance_derivative(mu)) / variance;
                observed_weights_[r] = a * (expected - residual * slope);
            }
            if (meat_) meat_weights_[r] = n * ((w * e) * (w * e));
            loglik_ += n * family_.loglik_of_mean(y, mu, w, scale_);
            if (constants_) constant_ += n * family_.loglik_constant(y, w, scale_);
            deviance_ += a * family_.unit_deviance(y, mu);
            pearson_chi2_ += a * ((residual * residual) / variance);
            weight_ += n;
        }
        return {};
    }

    // The block's per-row weights of the score and of each matrix.
    const double* score() const { return score_.data(); }
    const double* information() const { return information_.data(); }
    const double* observed() const { return observed_weights_.data(); }
    const double* meat() const { return meat_weights_.data(); }

    // The block's scalar sums.
    double loglik_ = 0.0, constant_ = 0.0, deviance_ = 0.0, pearson_chi2_ = 0.0, weight_ = 0.0;

  private:
    Family family_;
    ModelKind link_;
    const DesignRows& x_;
    MatrixView block_rows_;
    std::vector<double> gathered_;  // the block's rows, where X is held by columns
    GlmRows rows_;
    double scale_;
    ProductPath path_;
    bool observed_, meat_, constants_;
    std::vector<double> beta_;
    std::ptrdiff_t block_ = 0;
    std::vector<double> v_, mu_, f_, fp_, scratch_, score_, information_, observed_weights_,
        meat_weights_;
};

}  // namespace

EngineResult<void> add_glm_sums(Family family, ModelKind link, VectorView beta, const DesignRows& x,
                                const GlmRows& rows, double scale, GlmSums& sums,
                                FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(beta, x, rows, options));
    const std::size_t k = to_index(x.cols);
    const bool with_observed = !sums.observed.empty(), with_meat = !sums.meat.empty();
    if (sums.score.size() != k || sums.information.size() != k * k ||
        (with_observed && sums.observed.size() != k * k) ||
        (with_meat && sums.meat.size() != k * k)) {
        return internal_fault("sums of " + std::to_string(sums.score.size()) +
                              " coefficients for X of " + shape(x));
    }
    if (x.rows == 0) return {};

    GlmPass pass(family, link, beta, x, rows, scale, options, with_observed, with_meat,
                 sums.with_constants);
    SymmetricSums symmetric(pass.block(), x.cols);
    double loglik = 0.0, constant = 0.0, deviance = 0.0, pearson_chi2 = 0.0, weight = 0.0;
    std::vector<double> score(k), information(k * k), observed(with_observed ? k * k : 0),
        meat(with_meat ? k * k : 0);
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        loglik += pass.loglik_;
        constant += pass.constant_;
        deviance += pass.deviance_;
        pearson_chi2 += pass.pearson_chi2_;
        weight += pass.weight_;
        const MatrixView& block = pass.rows();
        add_transposed_product(block, pass.score(), m, 1, score.data(), pass.path());
        symmetric.add_weighted(block, pass.information(), pass.path(), information.data());
        if (with_observed) {
            symmetric.add_weighted(block, pass.observed(), pass.path(), observed.data());
        }
        if (with_meat) symmetric.add_weighted(block, pass.meat(), pass.path(), meat.data());
    }

    // The constant is added to loglik as one sum, so that the parts' sums add up alike
    // with and without constants.
    sums.loglik += loglik + constant;
    sums.constant += constant;
    sums.deviance += deviance;
    sums.pearson_chi2 += pearson_chi2;
    for (std::size_t l = 0; l < k; ++l) sums.score[l] += score[l];
    mirror_into(information, x.cols, sums.information);
    if (with_observed) mirror_into(observed, x.cols, sums.observed);
    if (with_meat) mirror_into(meat, x.cols, sums.meat);
    sums.weight += weight;
    sums.rows += x.rows;
    return {};
}

EngineResult<void> add_glm_cluster_scores(Family family, ModelKind link, VectorView beta,
                                          const DesignRows& x, const GlmRows& rows, CodeView codes,
                                          std::ptrdiff_t groups, std::span<double> out,
                                          FitOptions options) {
    VELMORA_RETURN_IF_ERROR(check_inputs(beta, x, rows, options));
    const std::ptrdiff_t k = x.cols;
    VELMORA_RETURN_IF_ERROR(check_clusters(x.rows, codes, groups, k, out.size()));
    if (x.rows == 0) return {};
    GlmPass pass(family, link, beta, x, rows, 1.0, options, false, false, false);
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        VELMORA_RETURN_IF_ERROR(
            add_cluster_rows(pass.rows(), pass.score(), codes, first, groups, k, out));
    }
    return {};
}

}  // namespace velmora::engine
