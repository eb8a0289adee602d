#include "engine/fit_sums.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/link_arrays.hpp"
#include "engine/propagate.hpp"
#include "engine/symmetric_sums.hpp"

namespace velmora::engine {
namespace {

// Probit rows with t at or below probit_tail take lambda = phi(t) / Phi(t) from
// Laplace's continued fraction for the Mills ratio: with z = -t,
//
//   lambda = z + d,   d = 1 / (z + 2 / (z + 3 / (z + ...))),
//
// evaluated from its tail_terms-th term back. For z >= 5 the 32 terms give d to within
// a unit in the last place (checked against 50-digit values for z from 5 to 15; the
// error falls as z grows). There lambda + t = d comes without the cancellation of
// lambda and -z, so h = lambda d stays accurate however far out t lies, and
// log Phi(t) = -t^2 / 2 - log sqrt(2 pi) - log lambda needs neither Phi nor phi, which
// underflow below t = -38 or so. Above the tail, Phi(t) is 0.5 erfc(-t / sqrt 2) for
// t < 0 and 1 - Phi(-t) for t >= 0, both accurate to a few units in the last place; the
// log is log Phi(t), or log1p(-Phi(-t)) for t >= 0, and h = lambda (lambda + t) loses
// at most about t^2 units in the last place to the sum, 25 at the tail's edge.
//
// statsmodels' Probit clips Phi(t) at FLOAT_EPS = 2^-52 inside the log of its
// loglike and in the score weight (the hessian is unclipped), so its terms differ
// from these for t below about -8.1, where Phi(t) < 2^-52: there it takes log(2^-52)
// and phi(t) / 2^-52 where these are log Phi(t) and lambda. Above that they agree to
// rounding.
constexpr double probit_tail = -5.0;
constexpr int tail_terms = 32;
constexpr double log_sqrt_two_pi = 0.91893853320467274178;

// The per-row terms of one block of rows, each array of the block's length.
struct BlockTerms {
    std::vector<double> xb, t, sign, u, cdf, pdf, scratch;  // working values
    std::vector<double> ell, r, h;                          // the row's terms
    std::vector<std::ptrdiff_t> tail;                       // Probit rows in the tail

    explicit BlockTerms(std::size_t b)
        : xb(b), t(b), sign(b), u(b), cdf(b), pdf(b), scratch(b), ell(b), r(b), h(b) {}
};

// Writes t_i = q_i xb_i, the sign q_i and u_i = -|t_i| for the block's outcomes.
// Returns the index of the first outcome other than 0 and 1, or -1.
std::ptrdiff_t signed_predictors(VectorView y, std::ptrdiff_t first, std::ptrdiff_t m,
                                 BlockTerms& b) {
    double bad = 0.0;  // a select, not a branch, so that the loop is vector code
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const std::size_t r = to_index(i);
        const double yi = y[first + i];
        const double q = yi == 1.0 ? 1.0 : -1.0;
        bad = (yi != 0.0) & (yi != 1.0) ? 1.0 : bad;
        b.sign[r] = q;
        b.t[r] = q * b.xb[r];
        b.u[r] = -std::fabs(b.t[r]);
    }
    if (bad == 0.0) return -1;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const double yi = y[first + i];
        if (yi != 0.0 && yi != 1.0) return i;
    }
    return -1;
}

// Writes the Logit terms from F(u) and f(u), u = -|t|, and scratch = exp(-u).
void logit_terms(std::ptrdiff_t m, BlockTerms& b) {
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const std::size_t r = to_index(i);
        const double t = b.t[r], c = b.cdf[r];
        // log F(t) = min(t, 0) - log1p(exp(-|t|)): no overflow and no loss for any t.
        b.ell[r] = std::min(t, 0.0) - std::log1p(1.0 / b.scratch[r]);
        // F(-t) is F(u) for t >= 0 and 1 - F(u) otherwise, where F(u) <= 1/2.
        b.r[r] = b.sign[r] * (t >= 0.0 ? c : 1.0 - c);
        b.h[r] = b.pdf[r];  // f(t) = f(u) = F(t) F(-t), without the cancellation of 1 - F
    }
}

// Writes the Probit terms from Phi(u) and phi(u), u = -|t|; rows in the tail are
// finished by probit_tail_terms.
void probit_terms(std::ptrdiff_t m, BlockTerms& b) {
    bool tail = false;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const std::size_t r = to_index(i);
        const double t = b.t[r], c = b.cdf[r];
        const bool upper = t >= 0.0;
        const double lambda = b.pdf[r] / (upper ? 1.0 - c : c);
        b.ell[r] = upper ? std::log1p(-c) : std::log(c);
        b.r[r] = b.sign[r] * lambda;
        b.h[r] = lambda * (lambda + t);
        tail |= t <= probit_tail;
    }
    if (!tail) return;
    b.tail.clear();
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        if (b.t[to_index(i)] <= probit_tail) b.tail.push_back(i);
    }
    // The continued fraction, one term at a time over all tail rows, so that the
    // divisions of different rows overlap.
    const std::size_t count = b.tail.size();
    double* z = b.u.data();  // reused: u is not read again in this block
    double* d = b.scratch.data();
    for (std::size_t s = 0; s < count; ++s) {
        z[s] = -b.t[to_index(b.tail[s])];
        d[s] = 0.0;
    }
    for (int term = tail_terms; term >= 1; --term) {
        const double a = term;
        for (std::size_t s = 0; s < count; ++s) d[s] = a / (z[s] + d[s]);
    }
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t r = to_index(b.tail[s]);
        const double t = b.t[r];
        const double lambda = z[s] + d[s];
        b.ell[r] = (((-0.5 * t) * t) - log_sqrt_two_pi) - std::log(lambda);
        b.r[r] = b.sign[r] * lambda;
        b.h[r] = lambda * d[s];
    }
}

// Writes the rows' terms of link K from its F(u) and f(u), u = -|t|.
template <ModelKind K>
void fit_terms(std::ptrdiff_t m, BlockTerms& b) {
    static_assert(fit_takes(K), "no fit terms for this link");
    if constexpr (K == ModelKind::logit) {
        logit_terms(m, b);
    } else {
        probit_terms(m, b);
    }
}

EngineResult<void> check_inputs(ModelKind kind, VectorView beta, const DesignRows& x, VectorView y,
                                VectorView weights, VectorView offset, const FitOptions& options) {
    if (!fit_takes(kind)) {
        return internal_fault("no fit terms for the link " + std::string(link_name(kind)));
    }
    if (beta.size != x.cols) {
        return internal_fault("beta of " + std::to_string(beta.size) + " for X of " + shape(x));
    }
    if (y.size != x.rows) {
        return internal_fault(std::to_string(y.size) + " outcomes for " + std::to_string(x.rows) +
                              " rows");
    }
    if (weights.size != 0 && weights.size != x.rows) {
        return internal_fault(std::to_string(weights.size) + " weights for " +
                              std::to_string(x.rows) + " rows");
    }
    if (offset.size != 0 && offset.size != x.rows) {
        return internal_fault(std::to_string(offset.size) + " offsets for " +
                              std::to_string(x.rows) + " rows");
    }
    if (options.block_rows < 0) {
        return internal_fault("block of " + std::to_string(options.block_rows) + " rows");
    }
    return {};
}

EngineResult<void> bad_outcome(std::ptrdiff_t row, double value) {
    return std::unexpected(EngineFault{FaultKind::bad_value, "y must hold only 0 and 1; row " +
                                                                 std::to_string(row) + " holds " +
                                                                 std::to_string(value)});
}

// One call's pass over its rows in cache blocks: per block the linear predictors, the
// rows' terms and their sums.
class FitPass {
  public:
    FitPass(ModelKind kind, VectorView beta, const DesignRows& x, VectorView y, VectorView weights,
            VectorView offset, FitOptions options)
        : kind_(kind),
          x_(x),
          y_(y),
          weights_(weights),
          offset_(offset),
          path_(options.path),
          k_(x.cols),
          beta_(to_index(k_)),
          block_(block_rows(options.block_rows, x.rows, x.cols)),
          terms_(to_index(block_)),
          weight_(to_index(block_), 1.0),
          weighted_(to_index(block_)) {
        for (std::ptrdiff_t l = 0; l < k_; ++l) beta_[to_index(l)] = beta[l];
    }

    std::ptrdiff_t block() const { return block_; }

    // Returns the rows of X of the block that block_terms last formed.
    const MatrixView& rows() const { return rows_; }

    // Forms the terms of rows [first, first + m) and their weights; a bad_value fault
    // for an outcome other than 0 and 1.
    EngineResult<void> block_terms(std::ptrdiff_t first, std::ptrdiff_t m) {
        BlockTerms& b = terms_;
        rows_ = x_.block(first, m, gathered_);
        matvec(rows_, beta_.data(), b.xb.data(), path_);
        if (offset_.size != 0) {
            for (std::ptrdiff_t i = 0; i < m; ++i) b.xb[to_index(i)] += offset_[first + i];
        }
        if (const std::ptrdiff_t bad = signed_predictors(y_, first, m, b); bad >= 0) {
            return bad_outcome(first + bad, y_[first + bad]);
        }
        with_link(kind_, [&]<ModelKind K>(LinkTag<K>) {
            if constexpr (fit_takes(K)) {
                link_values<K>(b.u.data(), b.cdf.data(), b.pdf.data(), m, b.scratch.data());
                fit_terms<K>(m, b);
            }
        });
        if (weights_.size != 0) {
            for (std::ptrdiff_t i = 0; i < m; ++i) weight_[to_index(i)] = weights_[first + i];
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            weighted_[to_index(i)] = weight_[to_index(i)] * b.r[to_index(i)];
        }
        return {};
    }

    const BlockTerms& terms() const { return terms_; }
    const double* weights() const { return weight_.data(); }
    // The block's w_i r_i.
    const double* weighted_scores() const { return weighted_.data(); }
    ProductPath path() const { return path_; }

  private:
    // Returns the rows per block: about 128 KiB of X's values at a time.
    static std::ptrdiff_t block_rows(std::ptrdiff_t asked, std::ptrdiff_t n, std::ptrdiff_t k) {
        std::ptrdiff_t b = asked;
        if (b == 0)
            b = std::clamp<std::ptrdiff_t>((1 << 14) / std::max<std::ptrdiff_t>(k, 1), 64, 4096);
        return std::max<std::ptrdiff_t>(1, std::min(b, n));
    }

    ModelKind kind_;
    const DesignRows& x_;
    MatrixView rows_;
    std::vector<double> gathered_;  // the block's rows, where X is held by columns
    VectorView y_, weights_, offset_;
    ProductPath path_;
    std::ptrdiff_t k_;
    std::vector<double> beta_;
    std::ptrdiff_t block_;
    BlockTerms terms_;
    std::vector<double> weight_, weighted_;
};

}  // namespace

EngineResult<void> add_fit_sums(ModelKind kind, VectorView beta, const DesignRows& x, VectorView y,
                                VectorView weights, FitSums& sums, FitOptions options,
                                VectorView offset) {
    VELMORA_RETURN_IF_ERROR(check_inputs(kind, beta, x, y, weights, offset, options));
    const std::size_t k = to_index(x.cols);
    const bool with_meat = !sums.meat.empty();
    if (sums.score.size() != k || sums.information.size() != k * k ||
        (with_meat && sums.meat.size() != k * k)) {
        return internal_fault("sums of " + std::to_string(sums.score.size()) +
                              " coefficients for X of " + shape(x));
    }
    if (x.rows == 0) return {};

    FitPass pass(kind, beta, x, y, weights, offset, options);
    SymmetricSums symmetric(pass.block(), x.cols);
    const bool weighted = weights.size != 0;
    double loglik = 0.0, weight = 0.0;
    std::vector<double> score(k), information(k * k), meat(with_meat ? k * k : 0);
    std::vector<double> scale(to_index(pass.block()));
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        const BlockTerms& b = pass.terms();
        const double* w = pass.weights();
        double block_loglik = 0.0, block_weight = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            block_loglik += w[i] * b.ell[to_index(i)];
            block_weight += w[i];
        }
        loglik += block_loglik;
        weight += block_weight;

        const MatrixView& rows = pass.rows();
        add_transposed_product(rows, pass.weighted_scores(), m, 1, score.data(), pass.path());
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            scale[to_index(i)] = std::sqrt(std::fabs(w[i]) * b.h[to_index(i)]);
        }
        symmetric.add(rows, scale.data(), w, weighted, pass.path(), information.data());
        if (with_meat) {
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                scale[to_index(i)] = std::fabs(b.r[to_index(i)]) * std::sqrt(std::fabs(w[i]));
            }
            symmetric.add(rows, scale.data(), w, weighted, pass.path(), meat.data());
        }
    }

    sums.loglik += loglik;
    for (std::size_t l = 0; l < k; ++l) sums.score[l] += score[l];
    mirror_into(information, x.cols, sums.information);
    if (with_meat) mirror_into(meat, x.cols, sums.meat);
    sums.weight += weight;
    sums.rows += x.rows;
    return {};
}

EngineResult<void> add_cluster_scores(ModelKind kind, VectorView beta, const DesignRows& x,
                                      VectorView y, VectorView weights, CodeView codes,
                                      std::ptrdiff_t groups, std::span<double> out,
                                      FitOptions options, VectorView offset) {
    VELMORA_RETURN_IF_ERROR(check_inputs(kind, beta, x, y, weights, offset, options));
    const std::ptrdiff_t k = x.cols;
    VELMORA_RETURN_IF_ERROR(check_clusters(x.rows, codes, groups, k, out.size()));
    if (x.rows == 0) return {};

    FitPass pass(kind, beta, x, y, weights, offset, options);
    for (std::ptrdiff_t first = 0; first < x.rows; first += pass.block()) {
        const std::ptrdiff_t m = std::min(pass.block(), x.rows - first);
        VELMORA_RETURN_IF_ERROR(pass.block_terms(first, m));
        VELMORA_RETURN_IF_ERROR(
            add_cluster_rows(pass.rows(), pass.weighted_scores(), codes, first, groups, k, out));
    }
    return {};
}

}  // namespace velmora::engine
