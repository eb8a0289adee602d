// The sums of least squares: the normal equations and the residuals' sums (the meats of
// HC0, HC2 and HC3 with their leverages) against a row-by-row evaluation in long double,
// with and without weights, in two layouts and both product paths; rows split between
// calls; the scores by cluster; and the faults.
//
// Tolerances: 1e-12 of the largest entry of the same sum.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/linear_sums.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;
using Real = long double;

struct Data {
    std::ptrdiff_t n = 500, k = 4;
    std::vector<double> x, y, w, beta{1.0, -0.5, 0.25, 2.0}, bread;

    double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
        return x[static_cast<std::size_t>(i * k + j)];
    }
};

Data make_data() {
    Data d;
    std::mt19937_64 rng(37);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        d.x.insert(d.x.end(), {1.0, normal(rng), normal(rng), i % 2 == 0 ? 1.0 : 0.0});
        d.y.push_back(normal(rng) + 0.5 * d.x.back());
        d.w.push_back(0.5 + static_cast<double>(i % 4));
    }
    // Any symmetric positive matrix serves as the bread: the sums are defined for it.
    d.bread = {0.02, 0.001,  0.0,   -0.003, 0.001,  0.01, 0.0005, 0.0,
               0.0,  0.0005, 0.012, 0.0,    -0.003, 0.0,  0.0,    0.03};
    return d;
}

bool close(const std::vector<double>& got, const std::vector<Real>& want) {
    Real scale = 0;
    for (const Real v : want) scale = std::max(scale, std::fabs(v));
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::fabs(got[i] - want[i]) > 1e-12L * scale) return false;
    }
    return got.size() == want.size();
}

void test_against_the_definitions() {
    const Data d = make_data();
    const std::size_t k = 4;
    using velmora::test::laid_out;
    const std::size_t size = static_cast<std::size_t>(d.n * d.k);
    const velmora::test::Layout layouts[] = {laid_out("C", d.n, d.k, d, size, 0, d.k, 1),
                                             laid_out("F", d.n, d.k, d, size, 0, 1, d.n)};
    for (const bool weighted : {false, true}) {
        std::vector<Real> xtwx(k * k), xtwy(k), hc0(k * k), hc2(k * k), hc3(k * k);
        Real ytwy = 0, ssr = 0, largest = 0;
        for (std::ptrdiff_t i = 0; i < d.n; ++i) {
            const std::size_t r = static_cast<std::size_t>(i);
            const Real w = weighted ? d.w[r] : 1;
            Real e = d.y[r], q = 0;
            for (std::size_t a = 0; a < k; ++a) e -= d(i, std::ptrdiff_t(a)) * Real(d.beta[a]);
            for (std::size_t a = 0; a < k; ++a) {
                for (std::size_t b = 0; b < k; ++b) {
                    q += d(i, std::ptrdiff_t(a)) * Real(d.bread[a * k + b]) *
                         d(i, std::ptrdiff_t(b));
                }
            }
            const Real h = w * q;
            largest = std::max(largest, h);
            ytwy += w * d.y[r] * d.y[r];
            ssr += w * e * e;
            for (std::size_t a = 0; a < k; ++a) {
                xtwy[a] += w * d.y[r] * d(i, std::ptrdiff_t(a));
                for (std::size_t b = 0; b < k; ++b) {
                    const Real xab = Real(d(i, std::ptrdiff_t(a))) * d(i, std::ptrdiff_t(b));
                    xtwx[a * k + b] += w * xab;
                    hc0[a * k + b] += w * w * e * e * xab;
                    hc2[a * k + b] += w * w * e * e / (1 - h) * xab;
                    hc3[a * k + b] += w * w * e * e / ((1 - h) * (1 - h)) * xab;
                }
            }
        }
        const VectorView weights = weighted ? VectorView{d.w.data(), d.n, 1} : VectorView{};
        for (const auto& layout : layouts) {
            for (const FitOptions options :
                 {FitOptions{}, FitOptions{.block_rows = 9, .path = ProductPath::loop}}) {
                LinearSums sums(k);
                CHECK(add_linear_sums(layout.view, {d.y.data(), d.n, 1}, weights, sums, options)
                          .has_value());
                CHECK(close(sums.xtwx, xtwx) && close(sums.xtwy, xtwy), "%s %d", layout.name,
                      weighted);
                CHECK(std::fabs(sums.ytwy - ytwy) <= 1e-12L * ytwy);
                LinearMeat meat(k);
                CHECK(add_linear_meat({d.beta.data(), 4, 1}, {d.bread.data(), 4, 4, 4, 1},
                                      layout.view, {d.y.data(), d.n, 1}, weights, meat, options)
                          .has_value());
                CHECK(close(meat.hc0, hc0) && close(meat.hc2, hc2) && close(meat.hc3, hc3),
                      "meats %s %d", layout.name, weighted);
                CHECK(std::fabs(meat.ssr - ssr) <= 1e-12L * ssr);
                CHECK(std::fabs(meat.max_leverage - largest) <= 1e-14L * largest);
            }
        }
    }
}

void test_parts_clusters_and_faults() {
    const Data d = make_data();
    LinearSums whole(4), parts(4);
    const MatrixView x{d.x.data(), d.n, 4, 4, 1};
    CHECK(add_linear_sums(x, {d.y.data(), d.n, 1}, {d.w.data(), d.n, 1}, whole).has_value());
    CHECK(add_linear_sums(*x.row_slice(0, 123), {d.y.data(), 123, 1}, {d.w.data(), 123, 1}, parts)
              .has_value());
    CHECK(add_linear_sums(*x.row_slice(123, d.n), {d.y.data() + 123, d.n - 123, 1},
                          {d.w.data() + 123, d.n - 123, 1}, parts)
              .has_value());
    CHECK(parts.rows == whole.rows &&
          std::fabs(parts.weight - whole.weight) <= 1e-13 * whole.weight);
    CHECK(std::fabs(parts.log_weight - whole.log_weight) <= 1e-13 * std::fabs(whole.log_weight));
    for (std::size_t l = 0; l < 16; ++l) {
        CHECK(std::fabs(parts.xtwx[l] - whole.xtwx[l]) <= 1e-13 * whole.xtwx[0]);
    }
    // The cluster scores add up to X'W(y - X b).
    std::vector<std::int64_t> codes(static_cast<std::size_t>(d.n));
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::int64_t>(i % 5);
    std::vector<double> clusters(20);
    CHECK(add_linear_cluster_scores({d.beta.data(), 4, 1}, x, {d.y.data(), d.n, 1},
                                    {d.w.data(), d.n, 1}, {codes.data(), d.n, 1}, 5, clusters)
              .has_value());
    for (std::size_t a = 0; a < 4; ++a) {
        double want = whole.xtwy[a];
        for (std::size_t b = 0; b < 4; ++b) want -= whole.xtwx[a * 4 + b] * d.beta[b];
        double sum = 0.0;
        for (std::size_t g = 0; g < 5; ++g) sum += clusters[g * 4 + a];
        CHECK(std::fabs(sum - want) <= 1e-11 * whole.xtwx[0], "%zu: %g vs %g", a, sum, want);
    }
    const std::vector<double> bad_y{1.0, NAN}, bad_w{1.0, -2.0}, ones{1.0, 1.0};
    LinearSums s(1);
    const auto detail = [](const EngineResult<void>& r) {
        return r ? std::string("none") : r.error().detail;
    };
    CHECK(detail(add_linear_sums(MatrixView{ones.data(), 2, 1, 1, 1}, {bad_y.data(), 2, 1}, {},
                                 s)) == "y must be finite; row 1 holds nan");
    CHECK(detail(add_linear_sums(MatrixView{ones.data(), 2, 1, 1, 1}, {ones.data(), 2, 1},
                                 {bad_w.data(), 2, 1}, s)) ==
          "weights must be finite and at least 0; row 1 holds -2");
}

}  // namespace

int main() {
    test_against_the_definitions();
    test_parts_clusters_and_faults();
    return velmora::test::finish("test_linear_sums");
}
