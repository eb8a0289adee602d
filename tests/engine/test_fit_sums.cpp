// The sums behind a Newton fit: every layout, block size and product path against a
// plain row-by-row evaluation of the definitions, rows split between calls, the terms
// far out in the tails against 60-digit reference values, and the faults.
//
// Tolerances: sums agree with the row-by-row ones to 1e-12 of the largest entry of the
// same sum (a few hundred terms added in another order); single-row terms agree with the
// reference values to the relative error stated at each check.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/fit_sums.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::size_t idx(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

double relative(double got, double want) { return std::fabs(got - want) / std::fabs(want); }

// A design of n rows: an intercept, a 0/1 column and three continuous columns, with
// outcomes drawn from the model, positive weights and a few negative ones.
struct Design {
    std::ptrdiff_t n = 0, k = 5;
    std::vector<double> values;  // row-major n x k
    std::vector<double> y, weights, signed_weights, beta{-0.4, 0.9, 0.6, -0.8, 0.3};

    double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const { return values[idx(i * k + j)]; }
};

Design make_design(std::ptrdiff_t n, unsigned seed) {
    Design d;
    d.n = n;
    d.values.resize(idx(n * d.k));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* row = d.values.data() + i * d.k;
        row[0] = 1.0;
        row[1] = uniform(rng) < 0.4 ? 1.0 : 0.0;
        row[2] = normal(rng);
        row[3] = 1.5 * normal(rng);  // reaches the Probit tail now and then
        row[4] = 2.0 + normal(rng);
        double v = 0.0;
        for (std::ptrdiff_t j = 0; j < d.k; ++j) v += row[j] * d.beta[idx(j)];
        d.y.push_back(uniform(rng) < 1.0 / (1.0 + std::exp(-v)) ? 1.0 : 0.0);
        d.weights.push_back(1.0 + std::floor(3.0 * uniform(rng)));
        d.signed_weights.push_back(i % 7 == 3 ? -d.weights.back() : d.weights.back());
    }
    return d;
}

using velmora::test::Layout;

std::vector<Layout> layouts(const Design& d) {
    const std::ptrdiff_t n = d.n, k = d.k;
    std::vector<Layout> out;
    auto add = [&](const char* name, std::size_t size, std::ptrdiff_t offset,
                   std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
        out.push_back(velmora::test::laid_out(name, n, k, d, size, offset, row_stride, col_stride));
    };
    const auto size = idx(n * k);
    add("C order", size, 0, k, 1);
    add("F order", size, 0, 1, n);
    add("every other row and column", 4 * size, 0, 4 * k, 2);
    add("rows reversed", size, (n - 1) * k, -k, 1);
    add("columns reversed, F order", size, (k - 1) * n, 1, -n);
    return out;
}

// The sums from the definitions, row by row, in the plainest form.
FitSums reference_sums(ModelKind kind, const Design& d, const std::vector<double>* w) {
    const auto k = idx(d.k);
    FitSums s(k, true);
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        double v = 0.0;
        for (std::ptrdiff_t j = 0; j < d.k; ++j) v += d(i, j) * d.beta[idx(j)];
        const double y = d.y[idx(i)], q = 2.0 * y - 1.0, wi = w ? (*w)[idx(i)] : 1.0;
        double ell, r, h;
        if (kind == ModelKind::logit) {
            const double F = 1.0 / (1.0 + std::exp(-v));
            ell = std::log(y == 1.0 ? F : 1.0 - F);
            r = y - F;
            h = F * (1.0 - F);
        } else {
            const double Phi = 0.5 * std::erfc(-(q * v) / std::sqrt(2.0));
            const double lambda = q * std::exp(-0.5 * v * v) / std::sqrt(2.0 * M_PI) / Phi;
            ell = std::log(Phi);
            r = lambda;
            h = lambda * (lambda + v);
        }
        s.loglik += wi * ell;
        s.weight += wi;
        for (std::size_t a = 0; a < k; ++a) {
            const double xa = d(i, static_cast<std::ptrdiff_t>(a));
            s.score[a] += wi * r * xa;
            for (std::size_t b = 0; b < k; ++b) {
                const double xb = d(i, static_cast<std::ptrdiff_t>(b));
                s.information[a * k + b] += wi * h * xa * xb;
                s.meat[a * k + b] += wi * r * r * xa * xb;
            }
        }
    }
    s.rows = d.n;
    return s;
}

double largest(const std::vector<double>& v) {
    double m = 0.0;
    for (const double x : v) m = std::max(m, std::fabs(x));
    return m;
}

// True when every entry of got is within tol times the largest entry of want.
bool close(const std::vector<double>& got, const std::vector<double>& want, double tol) {
    if (got.size() != want.size()) return false;
    const double scale = largest(want);
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!(std::fabs(got[i] - want[i]) <= tol * scale)) return false;
    }
    return true;
}

bool symmetric(const std::vector<double>& m, std::size_t k) {
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = 0; b < a; ++b) {
            if (!velmora::test::identical(m[a * k + b], m[b * k + a])) return false;
        }
    }
    return true;
}

void check_sums(const FitSums& got, const FitSums& want, const char* what) {
    const auto k = got.score.size();
    CHECK(relative(got.loglik, want.loglik) < 1e-12, "%s: loglik %.17g vs %.17g", what, got.loglik,
          want.loglik);
    CHECK(close(got.score, want.score, 1e-12), "%s: score", what);
    CHECK(close(got.information, want.information, 1e-12), "%s: information", what);
    CHECK(close(got.meat, want.meat, 1e-12), "%s: meat", what);
    CHECK(symmetric(got.information, k) && symmetric(got.meat, k), "%s: not symmetric", what);
    CHECK(got.weight == want.weight && got.rows == want.rows, "%s: weight or rows", what);
}

VectorView vector_of(const std::vector<double>& v) {
    return {v.data(), static_cast<std::ptrdiff_t>(v.size()), 1};
}

void test_layouts_blocks_and_paths() {
    const Design d = make_design(301, 11);
    for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
        for (const std::vector<double>* w :
             {static_cast<const std::vector<double>*>(nullptr), &d.weights, &d.signed_weights}) {
            const FitSums want = reference_sums(kind, d, w);
            const VectorView weights = w ? vector_of(*w) : VectorView{nullptr, 0, 1};
            for (const Layout& layout : layouts(d)) {
                for (const std::ptrdiff_t block : {0, 1, 7, 64, 1000}) {
                    for (const ProductPath path : {ProductPath::automatic, ProductPath::loop}) {
                        FitSums got(idx(d.k), true);
                        const auto done =
                            add_fit_sums(kind, vector_of(d.beta), layout.view, vector_of(d.y),
                                         weights, got, FitOptions{block, path});
                        CHECK(done.has_value(), "%s: fault", layout.name);
                        check_sums(got, want, layout.name);
                    }
                }
            }
        }
    }
}

// Sums over parts of the rows, added into one FitSums, make the sums over all of them;
// without room for the meat none is formed.
void test_parts_add_up() {
    const Design d = make_design(257, 12);
    const Layout whole = std::move(layouts(d)[0]);
    for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
        FitSums all(idx(d.k), false), parts(idx(d.k), false);
        const auto done = add_fit_sums(kind, vector_of(d.beta), whole.view, vector_of(d.y),
                                       vector_of(d.weights), all);
        CHECK(done.has_value());
        for (const auto& [begin, end] : {std::pair{0, 100}, {100, 101}, {101, 101}, {101, 257}}) {
            const MatrixView rows = *whole.view.row_slice(begin, end);
            const VectorView y{d.y.data() + begin, end - begin, 1};
            const VectorView w{d.weights.data() + begin, end - begin, 1};
            CHECK(add_fit_sums(kind, vector_of(d.beta), rows, y, w, parts).has_value());
        }
        CHECK(parts.meat.empty() && all.meat.empty());
        CHECK(relative(parts.loglik, all.loglik) < 1e-14);
        CHECK(close(parts.score, all.score, 1e-13) &&
              close(parts.information, all.information, 1e-13));
        CHECK(parts.rows == all.rows && parts.weight == all.weight);
    }
}

// The terms of one row with linear predictor v and outcome y.
struct Terms {
    double ell, r, h;
};

Terms terms_of(ModelKind kind, double v, double y) {
    const double one = 1.0;
    FitSums s(1, false);
    const auto done =
        add_fit_sums(kind, {&v, 1, 1}, MatrixView{&one, 1, 1, 1, 1}, {&y, 1, 1}, {}, s);
    CHECK(done.has_value());
    return {s.loglik, s.score[0], s.information[0]};
}

// Far out in the tails, where Phi, phi and 1 - F lose everything, the terms against
// 60-digit values (log Phi(t), lambda(t), lambda (lambda + t); log F(t), F(-t), f(t)).
void test_tails() {
    struct Case {
        double t, ell, lambda, h;
    };
    const Case probit[] = {
        {-40.0, -804.60844201375378817, 40.024968847207263723, 0.99937733162140861123},
        {-38.5, -745.69527029041108133, 38.525939096854493696, 0.99932806564363411868},
        {-20.0, -203.91715537109726394, 20.049753068527850542, 0.9975367383849478364},
        {-8.0, -35.013437159914549896, 8.1213681122361126807, 0.98567511655665908982},
        {-5.0, -15.064998393988725736, 5.1865039671258421156, 0.96730356538288777465},
        {-4.999, -15.059812373671578079, 5.1855366689741895796, 0.96729273707396008949},
        {-3.0, -6.6077262215103495433, 3.2830986549304365069, 0.92944081321473188314},
        {-0.5, -1.1759117615936186089, 1.1410777703680644809, 0.73151959284412105382},
        {0.0, -0.69314718055994530942, 0.79788456080286535588, 0.63661977236758134308},
        {2.0, -0.023012909328963488465, 0.055247862678989959102, 0.11354805168857644979},
        {9.0, -1.1285884059538406478e-19, 1.0279773571668914796e-18, 9.2517962145020233179e-18},
    };
    for (const Case& c : probit) {
        // y = 1 puts t = v; y = 0 puts t = -v and turns the sign of r.
        for (const double y : {1.0, 0.0}) {
            const double q = 2.0 * y - 1.0;
            const Terms got = terms_of(ModelKind::probit, q * c.t, y);
            CHECK(relative(got.ell, c.ell) < 4e-15, "probit t=%g: ell %.17g", c.t, got.ell);
            CHECK(relative(q * got.r, c.lambda) < 4e-15, "probit t=%g: r %.17g", c.t, got.r);
            // Above the tail lambda + t cancels: t^2 units in the last place.
            const double tol = c.t > -5.0 ? 4e-15 * std::max(1.0, c.t * c.t) : 4e-15;
            CHECK(relative(got.h, c.h) < tol, "probit t=%g: h %.17g", c.t, got.h);
        }
    }
    const Case logit[] = {
        {-800.0, -800.0, 1.0, 0.0},
        {-30.0, -30.000000000000093576, 0.99999999999990642377, 9.3576229688384233028e-14},
        {0.5, -0.47407698418010668087, 0.37754066879814543536, 0.23500371220159448907},
        {40.0, -4.2483542552915889863e-18, 4.2483542552915889773e-18, 4.2483542552915889592e-18},
    };
    for (const Case& c : logit) {
        for (const double y : {1.0, 0.0}) {
            const double q = 2.0 * y - 1.0;
            const Terms got = terms_of(ModelKind::logit, q * c.t, y);
            CHECK(relative(got.ell, c.ell) < 4e-16, "logit t=%g: ell %.17g", c.t, got.ell);
            CHECK(relative(q * got.r, c.lambda) < 4e-16, "logit t=%g: r %.17g", c.t, got.r);
            CHECK(c.h == 0.0 ? got.h == 0.0 : relative(got.h, c.h) < 4e-16, "logit t=%g: h %.17g",
                  c.t, got.h);
        }
    }
    // NaN flows through.
    const Terms bad = terms_of(ModelKind::probit, nan, 1.0);
    CHECK(std::isnan(bad.ell) && std::isnan(bad.r) && std::isnan(bad.h));
}

void test_cluster_scores() {
    const Design d = make_design(203, 13);
    std::vector<std::int64_t> codes;
    for (std::ptrdiff_t i = 0; i < d.n; ++i) codes.push_back((i * 5) % 9);
    const std::ptrdiff_t groups = 10;  // the last group holds no rows
    for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
        const FitSums whole = reference_sums(kind, d, &d.signed_weights);
        for (const Layout& layout : layouts(d)) {
            std::vector<double> out(idx(groups * d.k));
            const auto done = add_cluster_scores(
                kind, vector_of(d.beta), layout.view, vector_of(d.y), vector_of(d.signed_weights),
                {codes.data(), d.n, 1}, groups, out, FitOptions{16, ProductPath::automatic});
            CHECK(done.has_value(), "%s", layout.name);
            // Group 2 against its own rows; all groups together make the score.
            std::vector<double> group_two(idx(d.k)), total(idx(d.k));
            for (std::ptrdiff_t i = 0; i < d.n; ++i) {
                if (codes[idx(i)] != 2) continue;
                Design one = d;
                one.n = 1;
                one.values.assign(d.values.begin() + i * d.k, d.values.begin() + (i + 1) * d.k);
                one.y = {d.y[idx(i)]};
                const std::vector<double> w{d.signed_weights[idx(i)]};
                const FitSums row = reference_sums(kind, one, &w);
                for (std::size_t j = 0; j < idx(d.k); ++j) group_two[j] += row.score[j];
            }
            for (std::ptrdiff_t g = 0; g < groups; ++g) {
                for (std::size_t j = 0; j < idx(d.k); ++j) total[j] += out[idx(g * d.k) + j];
            }
            CHECK(close({out.begin() + 2 * d.k, out.begin() + 3 * d.k}, group_two, 1e-12),
                  "%s: group 2", layout.name);
            CHECK(close(total, whole.score, 1e-12), "%s: total", layout.name);
            CHECK(std::all_of(out.end() - d.k, out.end(), [](double v) { return v == 0.0; }));
        }
    }
}

void test_faults() {
    const Design d = make_design(20, 14);
    const Layout whole = std::move(layouts(d)[0]);
    std::vector<double> y = d.y;
    y[13] = 0.5;
    FitSums s(idx(d.k), false);
    auto bad_y = add_fit_sums(ModelKind::logit, vector_of(d.beta), whole.view, vector_of(y), {}, s);
    CHECK(!bad_y && bad_y.error().kind == FaultKind::bad_value &&
          bad_y.error().detail == "y must hold only 0 and 1; row 13 holds 0.500000");
    y[13] = nan;
    bad_y = add_fit_sums(ModelKind::probit, vector_of(d.beta), whole.view, vector_of(y), {}, s,
                         {4, ProductPath::automatic});
    CHECK(!bad_y && bad_y.error().kind == FaultKind::bad_value);

    std::vector<std::int64_t> codes(idx(d.n), 0);
    codes[17] = 3;
    std::vector<double> out(idx(3 * d.k));
    auto bad_code = add_cluster_scores(ModelKind::logit, vector_of(d.beta), whole.view,
                                       vector_of(d.y), {}, {codes.data(), d.n, 1}, 3, out);
    CHECK(!bad_code && bad_code.error().kind == FaultKind::bad_value &&
          bad_code.error().detail == "codes must lie in [0, 3); row 17 holds 3");
    codes[17] = -1;
    bad_code = add_cluster_scores(ModelKind::logit, vector_of(d.beta), whole.view, vector_of(d.y),
                                  {}, {codes.data(), d.n, 1}, 3, out);
    CHECK(!bad_code && bad_code.error().kind == FaultKind::bad_value);

    // Sizes that do not fit are internal faults.
    const std::vector<double> short_beta(d.beta.begin(), d.beta.end() - 1);
    const auto short_y = VectorView{d.y.data(), d.n - 1, 1};
    CHECK(add_fit_sums(ModelKind::logit, vector_of(short_beta), whole.view, vector_of(d.y), {}, s)
              .error()
              .kind == FaultKind::internal);
    CHECK(!add_fit_sums(ModelKind::logit, vector_of(d.beta), whole.view, short_y, {}, s));
    CHECK(
        !add_fit_sums(ModelKind::logit, vector_of(d.beta), whole.view, vector_of(d.y), short_y, s));
    FitSums wrong(idx(d.k) + 1, false);
    CHECK(
        !add_fit_sums(ModelKind::logit, vector_of(d.beta), whole.view, vector_of(d.y), {}, wrong));
    codes[17] = 0;
    CHECK(!add_cluster_scores(ModelKind::logit, vector_of(d.beta), whole.view, vector_of(d.y), {},
                              {codes.data(), d.n, 1}, 2, out));

    // A link without the fit's terms is refused, and nothing is added.
    for (const ModelKind kind : all_links) {
        if (fit_takes(kind)) continue;
        FitSums none(idx(d.k), true);
        const auto refused =
            add_fit_sums(kind, vector_of(d.beta), whole.view, vector_of(d.y), {}, none);
        CHECK(!refused && refused.error().kind == FaultKind::internal);
        CHECK(none.rows == 0 && none.loglik == 0.0);
        std::vector<double> scores(idx(d.k), 0.0);
        CHECK(!add_cluster_scores(kind, vector_of(d.beta), whole.view, vector_of(d.y), {},
                                  {codes.data(), d.n, 1}, 1, scores));
    }
    CHECK(fit_takes(ModelKind::logit) && fit_takes(ModelKind::probit) &&
          !fit_takes(ModelKind::cloglog));
}

}  // namespace

int main() {
    test_layouts_blocks_and_paths();
    test_parts_add_up();
    test_tails();
    test_cluster_scores();
    test_faults();
    return velmora::test::finish("test_fit_sums");
}
