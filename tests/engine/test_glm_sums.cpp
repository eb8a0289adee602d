// The sums of generalized linear models: every family with a link it takes, offsets and
// both kinds of weights, in two layouts, two block sizes and both product paths, against
// a row-by-row evaluation in long double of the definitions written out here; rows split
// between calls; the scores by cluster; and the outcomes, means and linear predictors
// refused by row.
//
// Tolerances: sums agree with the long double ones to 1e-12 of the largest entry of the
// same sum (600 terms added in another order, each a few roundings off).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "engine/glm_sums.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;
using Real = long double;

std::size_t idx(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

struct Case {
    FamilyKind family;
    ModelKind link;
    double parameter;
    std::vector<double> beta;
};

// A design of an intercept and two continuous columns; outcomes in each family's range.
struct Design {
    std::ptrdiff_t n = 600, k = 3;
    std::vector<double> values, offset, frequency, variance, counts, proportions, positive;

    double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const { return values[idx(i * k + j)]; }
};

Design make_design() {
    Design d;
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        d.values.insert(d.values.end(), {1.0, uniform(rng) - 0.5, 2.0 * uniform(rng) - 1.0});
        d.offset.push_back(0.1 * (uniform(rng) - 0.5));
        d.frequency.push_back(1.0 + std::floor(3.0 * uniform(rng)));
        d.variance.push_back(0.5 + uniform(rng));
        d.counts.push_back(std::floor(6.0 * uniform(rng)));
        d.proportions.push_back(i % 5 == 0 ? 0.25 * std::floor(4.0 * uniform(rng))
                                           : (uniform(rng) < 0.4 ? 1.0 : 0.0));
        d.positive.push_back(0.2 + 3.0 * uniform(rng));
    }
    return d;
}

const std::vector<double>& outcomes(const Design& d, FamilyKind family) {
    switch (family) {
        case FamilyKind::binomial:
            return d.proportions;
        case FamilyKind::poisson:
        case FamilyKind::negative_binomial:
        case FamilyKind::tweedie:
            return d.counts;
        default:
            return d.positive;
    }
}

// The definitions, one row at a time in long double.
Real mean_of(ModelKind link, Real v, Real& f, Real& fp) {
    switch (link) {
        case ModelKind::log:
            f = fp = std::exp(v);
            return f;
        case ModelKind::logit: {
            const Real F = 1 / (1 + std::exp(-v));
            f = F * (1 - F);
            fp = f * (1 - 2 * F);
            return F;
        }
        case ModelKind::cloglog: {
            const Real e = std::exp(v);
            f = std::exp(v - e);
            fp = f * (1 - e);
            return 1 - std::exp(-e);
        }
        case ModelKind::inverse_power:
            f = -1 / (v * v);
            fp = 2 / (v * v * v);
            return 1 / v;
        case ModelKind::sqrt:
            f = 2 * v;
            fp = 2;
            return v * v;
        default:  // identity
            f = 1;
            fp = 0;
            return v;
    }
}

Real variance_of(FamilyKind family, Real p, Real mu, Real& slope) {
    switch (family) {
        case FamilyKind::binomial:
            slope = 1 - 2 * mu;
            return mu * (1 - mu);
        case FamilyKind::poisson:
            slope = 1;
            return mu;
        case FamilyKind::gamma:
            slope = 2 * mu;
            return mu * mu;
        case FamilyKind::inverse_gaussian:
            slope = 3 * mu * mu;
            return mu * mu * mu;
        case FamilyKind::negative_binomial:
            slope = 1 + 2 * p * mu;
            return mu + p * mu * mu;
        case FamilyKind::tweedie:
            slope = p * std::pow(mu, p - 1);
            return std::pow(mu, p);
        default:
            slope = 0;
            return 1;
    }
}

// Log-likelihood and unit deviance at the scale phi, for outcomes away from 0 in the
// families that take logarithms of y (the design's own).
void row_terms(FamilyKind family, Real p, Real y, Real mu, Real w, Real phi, Real& ll, Real& dev) {
    const Real r = y - mu;
    const auto xlogy = [](Real a, Real b) { return a == 0 ? Real(0) : a * std::log(b); };
    switch (family) {
        case FamilyKind::binomial:
            ll = w * (std::lgamma(Real(2)) - std::lgamma(y + 1) - std::lgamma(2 - y) +
                      xlogy(y, mu) + xlogy(1 - y, 1 - mu));
            dev = 2 * (xlogy(y, y / mu) + xlogy(1 - y, (1 - y) / (1 - mu)));
            return;
        case FamilyKind::poisson:
            ll = w / phi * (y * std::log(mu) - mu - std::lgamma(y + 1));
            dev = 2 * (xlogy(y, y / mu) - r);
            return;
        case FamilyKind::gaussian:
            ll = -(w * r * r / phi + std::log(phi / w) + std::log(2 * std::acos(Real(-1)))) / 2;
            dev = r * r;
            return;
        case FamilyKind::gamma: {
            const Real a = w / phi;
            ll = a * std::log(a * y / mu) - a * y / mu - std::lgamma(a) - std::log(y);
            dev = 2 * (-std::log(y / mu) + r / mu);
            return;
        }
        case FamilyKind::inverse_gaussian:
            ll = -(w * r * r / (phi * y * mu * mu) + std::log(phi * y * y * y / w) +
                   std::log(2 * std::acos(Real(-1)))) /
                 2;
            dev = r * r / (y * mu * mu);
            return;
        case FamilyKind::negative_binomial: {
            const Real s = 1 / p;
            ll = w / phi *
                 (std::lgamma(y + s) - std::lgamma(s) - std::lgamma(y + 1) +
                  xlogy(y, p * mu / (1 + p * mu)) - s * std::log(1 + p * mu));
            dev = 2 * (xlogy(y, y / mu) - (y + s) * std::log((y + s) / (mu + s)));
            return;
        }
        case FamilyKind::tweedie:
            ll = w / phi * (y * std::pow(mu, 1 - p) / (1 - p) - std::pow(mu, 2 - p) / (2 - p));
            dev = 2 * (std::pow(y, 2 - p) / ((1 - p) * (2 - p)) -
                       y * std::pow(mu, 1 - p) / (1 - p) + std::pow(mu, 2 - p) / (2 - p));
            return;
    }
}

struct Literal {
    Real loglik = 0, deviance = 0, chi2 = 0;
    std::vector<Real> score, information, observed, meat;
};

Literal literal_sums(const Case& c, const Design& d, const std::vector<double>& y, Real phi) {
    const std::size_t k = idx(d.k);
    Literal out{0,
                0,
                0,
                std::vector<Real>(k),
                std::vector<Real>(k * k),
                std::vector<Real>(k * k),
                std::vector<Real>(k * k)};
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        Real v = d.offset[idx(i)];
        for (std::ptrdiff_t j = 0; j < d.k; ++j) v += d(i, j) * Real(c.beta[idx(j)]);
        Real f = 0, fp = 0, slope = 0, ll = 0, dev = 0;
        const Real mu = mean_of(c.link, v, f, fp);
        const Real V = variance_of(c.family, c.parameter, mu, slope);
        const Real yi = y[idx(i)], n = d.frequency[idx(i)], w = d.variance[idx(i)];
        row_terms(c.family, c.parameter, yi, mu, w, phi, ll, dev);
        const Real e = (yi - mu) * f / V;
        const Real expected = f * f / V;
        const Real observed = expected - (yi - mu) * (fp / V - f * f * slope / (V * V));
        out.loglik += n * ll;
        out.deviance += n * w * dev;
        out.chi2 += n * w * (yi - mu) * (yi - mu) / V;
        for (std::size_t a = 0; a < k; ++a) {
            const Real xa = d(i, static_cast<std::ptrdiff_t>(a));
            out.score[a] += n * w * e * xa;
            for (std::size_t b = 0; b < k; ++b) {
                const Real xab = xa * d(i, static_cast<std::ptrdiff_t>(b));
                out.information[a * k + b] += n * w * expected * xab;
                out.observed[a * k + b] += n * w * observed * xab;
                out.meat[a * k + b] += n * (w * e) * (w * e) * xab;
            }
        }
    }
    return out;
}

bool close(const std::vector<double>& got, const std::vector<Real>& want) {
    Real scale = 0;
    for (const Real w : want) scale = std::max(scale, std::fabs(w));
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::fabs(got[i] - want[i]) > 1e-12L * scale) return false;
    }
    return got.size() == want.size();
}

bool close(double got, Real want) { return std::fabs(got - want) <= 1e-12L * std::fabs(want); }

const Case cases[] = {
    {FamilyKind::binomial, ModelKind::logit, 1.0, {-0.3, 0.8, -0.5}},
    {FamilyKind::binomial, ModelKind::cloglog, 1.0, {-0.6, 0.5, 0.4}},
    {FamilyKind::poisson, ModelKind::log, 1.0, {0.7, 0.4, -0.3}},
    {FamilyKind::poisson, ModelKind::sqrt, 1.0, {1.5, 0.2, 0.3}},
    {FamilyKind::gaussian, ModelKind::identity, 1.0, {1.6, 0.5, -0.2}},
    {FamilyKind::gamma, ModelKind::inverse_power, 1.0, {0.6, 0.1, 0.05}},
    {FamilyKind::inverse_gaussian, ModelKind::log, 1.0, {0.4, -0.3, 0.2}},
    {FamilyKind::negative_binomial, ModelKind::log, 0.7, {0.8, 0.3, -0.2}},
    {FamilyKind::tweedie, ModelKind::log, 1.4, {0.6, 0.2, 0.1}},
};

void test_against_the_definitions() {
    const Design d = make_design();
    using velmora::test::laid_out;
    const std::size_t size = idx(d.n * d.k);
    const velmora::test::Layout layouts[] = {
        laid_out("C order", d.n, d.k, d, size, 0, d.k, 1),
        laid_out("F order", d.n, d.k, d, size, 0, 1, d.n),
    };
    const auto view = [](const std::vector<double>& v) {
        return VectorView{v.data(), static_cast<std::ptrdiff_t>(v.size()), 1};
    };
    for (const Case& c : cases) {
        const std::vector<double>& y = outcomes(d, c.family);
        const GlmRows rows{view(y), view(d.offset), view(d.frequency), view(d.variance)};
        const Real phi = 1.7;
        const Literal want = literal_sums(c, d, y, phi);
        const char* name = family_name(c.family).data();
        for (const auto& layout : layouts) {
            for (const FitOptions options :
                 {FitOptions{}, FitOptions{.block_rows = 7, .path = ProductPath::loop}}) {
                GlmSums got(idx(d.k), true, true);
                const auto done = add_glm_sums({c.family, c.parameter}, c.link, view(c.beta),
                                               layout.view, rows, 1.7, got, options);
                CHECK(done.has_value(), "%s: %s", name, done ? "" : done.error().detail.c_str());
                CHECK(close(got.loglik, want.loglik), "%s %s: loglik %.17g, want %.17Lg", name,
                      layout.name, got.loglik, want.loglik);
                CHECK(close(got.deviance, want.deviance), "%s: deviance %.17g, want %.17Lg", name,
                      got.deviance, want.deviance);
                CHECK(close(got.pearson_chi2, want.chi2), "%s: chi2", name);
                CHECK(close(got.score, want.score), "%s %s: score", name, layout.name);
                CHECK(close(got.information, want.information), "%s: information", name);
                CHECK(close(got.observed, want.observed), "%s: observed", name);
                CHECK(close(got.meat, want.meat), "%s: meat", name);
                CHECK(got.rows == d.n, "%s: rows", name);
            }
        }
    }
}

// Calls over parts add up to one over all rows; the scores by cluster add up to the score.
void test_parts_and_clusters() {
    const Design d = make_design();
    const Case& c = cases[7];
    const auto part = [&](const std::vector<double>& v, std::ptrdiff_t a, std::ptrdiff_t b) {
        return VectorView{v.data() + a, b - a, 1};
    };
    const MatrixView x{d.values.data(), d.n, d.k, d.k, 1};
    const VectorView beta{c.beta.data(), 3, 1};
    const auto rows_of = [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        return GlmRows{part(d.counts, a, b), part(d.offset, a, b), part(d.frequency, a, b),
                       part(d.variance, a, b)};
    };
    GlmSums whole(3, false, true), parts(3, false, true);
    CHECK(add_glm_sums({c.family, c.parameter}, c.link, beta, x, rows_of(0, d.n), 1.0, whole)
              .has_value());
    for (const auto& [a, b] : {std::pair{0, 1}, std::pair{1, 250}, std::pair{250, 600}}) {
        CHECK(add_glm_sums({c.family, c.parameter}, c.link, beta, *x.row_slice(a, b), rows_of(a, b),
                           1.0, parts)
                  .has_value());
    }
    CHECK(std::fabs(parts.loglik - whole.loglik) <= 1e-13 * std::fabs(whole.loglik));
    CHECK(parts.rows == whole.rows && parts.weight == whole.weight);
    for (std::size_t l = 0; l < 9; ++l) {
        CHECK(std::fabs(parts.meat[l] - whole.meat[l]) <= 1e-13 * std::fabs(whole.meat[0]));
    }
    std::vector<std::int64_t> codes;
    for (std::ptrdiff_t i = 0; i < d.n; ++i) codes.push_back(i % 4);
    std::vector<double> clusters(12);
    CHECK(add_glm_cluster_scores({c.family, c.parameter}, c.link, beta, x, rows_of(0, d.n),
                                 {codes.data(), d.n, 1}, 4, clusters)
              .has_value());
    for (std::size_t l = 0; l < 3; ++l) {
        const double sum = clusters[l] + clusters[3 + l] + clusters[6 + l] + clusters[9 + l];
        CHECK(std::fabs(sum - whole.score[l]) <= 1e-12 * std::fabs(whole.meat[0]), "%zu", l);
    }
}

// Refusals name the row and the value.
void test_refusals() {
    const std::vector<double> x{1.0, 1.0, 1.0}, beta{0.5};
    const MatrixView view{x.data(), 3, 1, 1, 1};
    const auto fault = [&](FamilyKind family, ModelKind link, std::vector<double> y,
                           std::vector<double> b) {
        GlmSums sums(1, false, false);
        const auto done = add_glm_sums({family, 1.0}, link, {b.data(), 1, 1}, view,
                                       {{y.data(), 3, 1}, {}, {}, {}}, 1.0, sums);
        return done ? std::string("none") : done.error().detail;
    };
    CHECK(fault(FamilyKind::poisson, ModelKind::log, {1.0, 2.0, -1.0}, beta) ==
          "y must be at least 0 for the poisson family; row 2 holds -1");
    CHECK(fault(FamilyKind::binomial, ModelKind::logit, {0.0, 2.0, 1.0}, beta) ==
          "y must lie in [0, 1] for the binomial family; row 1 holds 2");
    CHECK(fault(FamilyKind::gamma, ModelKind::log, {1.0, 0.0, 1.0}, beta) ==
          "y must be above 0 for the gamma family; row 1 holds 0");
    CHECK(fault(FamilyKind::gamma, ModelKind::identity, {1.0, 1.0, 1.0}, {-0.5}) ==
          "the predicted mean must be above 0 for the gamma family; at row 0 it is -0.5 "
          "(linear predictor -0.5)");
    CHECK(fault(FamilyKind::poisson, ModelKind::log, {1.0, 1.0, 1.0}, {710.0}) ==
          "the predicted mean exp(x b) overflows at row 0: x b = 710");
    CHECK(fault(FamilyKind::gamma, ModelKind::inverse_power, {1.0, 1.0, 1.0}, {0.0}) ==
          "x b must be other than 0 for the inverse_power link; at row 0 it is 0");
    CHECK(fault(FamilyKind::gaussian, ModelKind::identity, {1.0, 1.0, 1.0}, beta) == "none");
}

}  // namespace

int main() {
    test_against_the_definitions();
    test_parts_and_clusters();
    test_refusals();
    return velmora::test::finish("test_glm_sums");
}
