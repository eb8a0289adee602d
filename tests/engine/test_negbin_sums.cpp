// The negative binomial (NB2) sums: the log-likelihood against its definition in long
// double, the score against central differences of the log-likelihood and the
// information against central differences of the score, with an offset and frequency
// weights; rows split between calls; the meat against the row scores; digamma and
// trigamma at known values and by their recurrences; and the faults.
//
// Tolerances: the log-likelihood 1e-13 relative; a central difference with step
// h = 1e-5 times the parameter's size lies within about 1e-9 of the derivative here, and
// must within 1e-7 of the largest entry; digamma and trigamma within 2e-15 of the
// reference, relative to its size or 1 (the recurrence adds up to ten reciprocals, each
// rounded, before the series: a few units in the last place of their sum).
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/gamma_functions.hpp"
#include "engine/negbin_sums.hpp"

namespace {

using namespace velmora::engine;

struct Data {
    std::ptrdiff_t n = 400, k = 3;
    std::vector<double> x, y, offset, weights;
};

Data make_data() {
    Data d;
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::poisson_distribution<int> counts(3.0);
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        d.x.insert(d.x.end(), {1.0, uniform(rng) - 0.5, uniform(rng) < 0.5 ? 1.0 : 0.0});
        d.y.push_back(static_cast<double>(counts(rng) * (i % 9 == 0 ? 30 : 1)));  // some past 64
        d.offset.push_back(0.2 * (uniform(rng) - 0.5));
        d.weights.push_back(1.0 + static_cast<double>(i % 3));
    }
    return d;
}

FitSums sums_at(const Data& d, const std::vector<double>& params, bool meat = true) {
    FitSums s(4, meat);
    const auto done = add_negbin_sums(
        {params.data(), 4, 1}, MatrixView{d.x.data(), d.n, d.k, d.k, 1}, {d.y.data(), d.n, 1},
        {d.weights.data(), d.n, 1}, {d.offset.data(), d.n, 1}, s);
    CHECK(done.has_value(), "%s", done ? "" : done.error().detail.c_str());
    return s;
}

long double literal_loglik(const Data& d, const std::vector<double>& p) {
    const long double alpha = p[3], a = 1 / alpha;
    long double total = 0;
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        const std::size_t r = static_cast<std::size_t>(i);
        long double v = d.offset[r];
        for (std::size_t j = 0; j < 3; ++j) v += d.x[r * 3 + j] * static_cast<long double>(p[j]);
        const long double mu = std::exp(v), y = d.y[r];
        total += d.weights[r] * (std::lgamma(y + a) - std::lgamma(y + 1) - std::lgamma(a) +
                                 a * std::log(a / (a + mu)) + y * std::log(mu / (a + mu)));
    }
    return total;
}

void test_against_definitions_and_differences() {
    const Data d = make_data();
    const std::vector<double> params{1.0, 0.4, -0.3, 0.6};
    const FitSums at = sums_at(d, params);
    const long double want = literal_loglik(d, params);
    CHECK(std::fabs(at.loglik - want) <= 1e-13L * std::fabs(want), "%.17g vs %.17Lg", at.loglik,
          want);
    double largest = 0.0;
    for (const double v : at.information) largest = std::max(largest, std::fabs(v));
    for (std::size_t l = 0; l < 4; ++l) {
        const double h = 1e-5 * std::max(1.0, std::fabs(params[l]));
        std::vector<double> up = params, down = params;
        up[l] += h;
        down[l] -= h;
        const FitSums above = sums_at(d, up, false), below = sums_at(d, down, false);
        const double score = (above.loglik - below.loglik) / (up[l] - down[l]);
        CHECK(std::fabs(score - at.score[l]) <= 1e-7 * largest, "score %zu: %.12g vs %.12g", l,
              at.score[l], score);
        for (std::size_t m = 0; m < 4; ++m) {
            const double curvature = -(above.score[m] - below.score[m]) / (up[l] - down[l]);
            CHECK(std::fabs(curvature - at.information[m * 4 + l]) <= 1e-7 * largest,
                  "information %zu %zu: %.12g vs %.12g", m, l, at.information[m * 4 + l],
                  curvature);
        }
    }
    // The meat is sum n s s^T, of the rows' scores: one row of weight n at a time.
    std::vector<double> meat(16, 0.0);
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        Data one;
        one.n = 1;
        const std::size_t r = static_cast<std::size_t>(i);
        one.x.assign(d.x.begin() + static_cast<std::ptrdiff_t>(3 * r),
                     d.x.begin() + static_cast<std::ptrdiff_t>(3 * r + 3));
        one.y = {d.y[r]};
        one.offset = {d.offset[r]};
        one.weights = {1.0};
        const FitSums s = sums_at(one, params, false);
        for (std::size_t j = 0; j < 16; ++j)
            meat[j] += d.weights[r] * s.score[j / 4] * s.score[j % 4];
    }
    for (std::size_t j = 0; j < 16; ++j) {
        CHECK(std::fabs(meat[j] - at.meat[j]) <= 1e-12 * std::fabs(at.meat[0]), "meat %zu", j);
    }
}

void test_parts_and_clusters() {
    const Data d = make_data();
    const std::vector<double> params{1.0, 0.4, -0.3, 0.6};
    const FitSums whole = sums_at(d, params);
    FitSums parts(4, true);
    for (const auto& [a, b] : {std::pair<std::ptrdiff_t, std::ptrdiff_t>{0, 150}, {150, 400}}) {
        CHECK(add_negbin_sums({params.data(), 4, 1}, MatrixView{d.x.data() + 3 * a, b - a, 3, 3, 1},
                              {d.y.data() + a, b - a, 1}, {d.weights.data() + a, b - a, 1},
                              {d.offset.data() + a, b - a, 1}, parts)
                  .has_value());
    }
    CHECK(std::fabs(parts.loglik - whole.loglik) <= 1e-13 * std::fabs(whole.loglik));
    std::vector<std::int64_t> codes(static_cast<std::size_t>(d.n));
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::int64_t>(i % 3);
    std::vector<double> clusters(12);
    CHECK(add_negbin_cluster_scores({params.data(), 4, 1}, MatrixView{d.x.data(), d.n, 3, 3, 1},
                                    {d.y.data(), d.n, 1}, {d.weights.data(), d.n, 1},
                                    {d.offset.data(), d.n, 1}, {codes.data(), d.n, 1}, 3, clusters)
              .has_value());
    for (std::size_t l = 0; l < 4; ++l) {
        const double sum = clusters[l] + clusters[4 + l] + clusters[8 + l];
        CHECK(std::fabs(sum - whole.score[l]) <= 1e-11 * std::fabs(whole.information[0]),
              "cluster sum %zu", l);
    }
}

void test_special_functions() {
    const double euler = 0.57721566490153286061, pi = 3.14159265358979323846;
    const auto near = [](double got, double want) {
        return std::fabs(got - want) <= 2e-15 * std::max(1.0, std::fabs(want));
    };
    CHECK(near(digamma(1.0), -euler));
    CHECK(near(digamma(0.5), -euler - 2.0 * std::log(2.0)));
    CHECK(near(trigamma(1.0), pi * pi / 6.0));
    CHECK(near(trigamma(0.5), pi * pi / 2.0));
    for (const double x : {0.01, 0.3, 2.5, 9.99, 10.0, 37.0, 1e4}) {
        CHECK(near(digamma(x + 1.0) - digamma(x), 1.0 / x), "digamma at %g", x);
        CHECK(std::fabs((trigamma(x) - trigamma(x + 1.0)) - 1.0 / (x * x)) <=
                  2e-15 * std::max(1.0, trigamma(x)),
              "trigamma at %g", x);
        // The finite sums and the differences of the functions agree.
        for (const double y : {3.0, 70.0, 2.5}) {
            CHECK(std::fabs(digamma_difference(x, y) - (digamma(x + y) - digamma(x))) <=
                      1e-14 * std::max(1.0, std::fabs(digamma(x))),
                  "digamma difference %g %g", x, y);
        }
    }
}

void test_faults() {
    const std::vector<double> x{1.0, 1.0}, y{1.0, -1.0}, params{0.1, 0.5}, bad_alpha{0.1, 0.0};
    FitSums s(2, false);
    const auto run = [&](const std::vector<double>& p, const std::vector<double>& ys) {
        const auto done = add_negbin_sums({p.data(), 2, 1}, MatrixView{x.data(), 2, 1, 1, 1},
                                          {ys.data(), 2, 1}, {}, {}, s);
        return done ? std::string("none") : done.error().detail;
    };
    CHECK(run(params, y) ==
          "y must hold counts of at least 0 for the negative binomial model; row 1 holds -1");
    CHECK(run(bad_alpha, {1.0, 1.0}) == "alpha must be above 0 and finite, got 0");
    CHECK(run({800.0, 0.5}, {1.0, 1.0}) ==
          "the predicted mean exp(x b) overflows at row 0: x b = 800");
}

}  // namespace

int main() {
    test_against_definitions_and_differences();
    test_parts_and_clusters();
    test_special_functions();
    test_faults();
    return velmora::test::finish("test_negbin_sums");
}
