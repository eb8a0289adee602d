// Link functions against their written formulas, named values, a long double
// reference and each other, and the dispatch from a link to its code.
//
// Tolerances: "identical" means the same bits; where the written logistic density
// overflows, the result must lie within 4 units in the last place of a long double
// evaluation of exp(-v) / (1 + exp(-v))^2; identities that hold only mathematically
// (Logit f = F (1 - F), symmetry) are allowed 4 units in the last place, and
// F(v) + F(-v) = 1 an absolute 2^-52. The complementary log-log functions must lie
// within 4 units in the last place of a long double evaluation times the function's
// condition number |v g'(v) / g(v)| where that exceeds 1: f = exp(v - exp(v)) carries
// the rounding of v - exp(v) into its relative error, which grows as the condition
// number does (f is ill-conditioned for large |v|, f' near its zero at v = 0 is not).
#include <cmath>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "engine/link_arrays.hpp"

namespace {

using namespace velmora::engine;
using velmora::test::identical;
using velmora::test::ulps_apart;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The formulas as written, one rounded operation per step.
double written_logit_cdf(double v) {
    const double t = std::exp(-v);
    return 1.0 / (t + 1.0);
}

double written_logit_pdf(double v) {
    const double e = std::exp(v);
    const double d = (e + 1.0) * (e + 1.0);
    return e / d;
}

double written_logit_pdf_derivative(double v) {
    const double f = written_logit_pdf(v);
    const double F = written_logit_cdf(v);
    return (1.0 - (F + F)) * f;
}

double written_probit_pdf(double v) {
    const double y = (-0.5 * v) * v;
    return std::exp(y) / 2.5066282746310002;
}

// True where the written logistic density overflows for a finite v.
bool written_form_overflows(double v) {
    const double e = std::exp(v);
    return std::isfinite(v) && !std::isfinite((e + 1.0) * (e + 1.0));
}

// The logistic density in long double, from exp(-|v|), rounded once to double.
double accurate_logit_pdf(double v) {
    const long double t = std::exp(-std::fabs(static_cast<long double>(v)));
    return static_cast<double>(t / ((1.0L + t) * (1.0L + t)));
}

// Linear predictors to sweep: a grid over the overflow points, their negatives and random values.
std::vector<double> sweep() {
    std::vector<double> v;
    for (double x = -800.0; x <= 800.0; x += 0.37) v.push_back(x);
    for (double x : {0.0, 1e-300, 1.0, 36.0, 37.0, 38.6, 40.0, 354.0, 354.8, 354.9, 355.0, 700.0,
                     709.7, 709.8, 710.0, 745.0, 746.0, 1e4, 1e300}) {
        v.push_back(x);
        v.push_back(-x);
    }
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> uniform(-900.0, 900.0);
    for (int i = 0; i < 2000; ++i) v.push_back(uniform(rng));
    return v;
}

double at(ModelKind kind, double v, int which) {
    switch (which) {
        case 0:
            return cdf(kind, v);
        case 1:
            return pdf(kind, v);
        default:
            return pdf_derivative(kind, v);
    }
}

void test_logit_matches_written_form_or_stays_finite() {
    for (const double v : sweep()) {
        CHECK(identical(Logit::cdf(v), written_logit_cdf(v)), "v=%.17g", v);
        const double f = pdf(ModelKind::logit, v);
        const double d = pdf_derivative(ModelKind::logit, v);
        if (!written_form_overflows(v)) {
            CHECK(identical(f, written_logit_pdf(v)), "v=%.17g", v);
            CHECK(identical(d, written_logit_pdf_derivative(v)), "v=%.17g", v);
            continue;
        }
        // 4 ulps of the accurate density; beyond about 745 both underflow to 0.
        CHECK(std::isfinite(f) && f >= 0.0 && ulps_apart(f, accurate_logit_pdf(v)) <= 4,
              "v=%.17g f=%.17g", v, f);
        // F is exactly 1 here, so f' = (1 - 2) f = -f.
        CHECK(identical(d, -f), "v=%.17g f'=%.17g", v, d);
    }
}

void test_probit_matches_written_form() {
    for (const double v : sweep()) {
        CHECK(identical(pdf(ModelKind::probit, v), written_probit_pdf(v)), "v=%.17g", v);
        CHECK(identical(pdf_derivative(ModelKind::probit, v), written_probit_pdf(v) * (-v)),
              "v=%.17g", v);
        CHECK(!std::isnan(pdf_derivative(ModelKind::probit, v)), "v=%.17g", v);
    }
}

struct Expected {
    double v, logit[3], probit[3];
};

void test_named_values() {
    const double phi0 = 1.0 / 2.5066282746310002;
    const Expected table[] = {
        {0.0, {0.5, 0.25, 0.0}, {0.5, phi0, -0.0}},
        {inf, {1.0, nan, nan}, {1.0, 0.0, nan}},
        {-inf, {0.0, 0.0, 0.0}, {0.0, 0.0, nan}},
        {nan, {nan, nan, nan}, {nan, nan, nan}},
        {40.0,
         {1.0, written_logit_pdf(40.0), written_logit_pdf_derivative(40.0)},
         {1.0, 0.0, -0.0}},
        {-40.0,
         {written_logit_cdf(-40.0), written_logit_pdf(-40.0), written_logit_pdf_derivative(-40.0)},
         {0.0, 0.0, 0.0}},
        {1e4, {1.0, 0.0, -0.0}, {1.0, 0.0, -0.0}},
        {-1e4, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}},
    };
    for (const Expected& e : table) {
        for (int which = 0; which < 3; ++which) {
            CHECK(identical(at(ModelKind::logit, e.v, which), e.logit[which]), "logit v=%g #%d",
                  e.v, which);
            CHECK(identical(at(ModelKind::probit, e.v, which), e.probit[which]), "probit v=%g #%d",
                  e.v, which);
        }
    }
}

void test_logit_overflow_points() {
    // The written form is finite at 354, 0 at 355 and 700, and NaN at 710.
    CHECK(written_logit_pdf(354.0) > 0.0);
    CHECK(written_logit_pdf(355.0) == 0.0 && written_logit_pdf(700.0) == 0.0);
    CHECK(std::isnan(written_logit_pdf(710.0)));
    CHECK(identical(Logit::pdf(354.0), written_logit_pdf(354.0)));
    for (const double v : {355.0, 700.0, 710.0}) {
        const double f = Logit::pdf(v);
        CHECK(f > 0.0 && ulps_apart(f, accurate_logit_pdf(v)) <= 4, "v=%g f=%.17g", v, f);
        CHECK(identical(pdf_derivative(ModelKind::logit, v), -f), "v=%g", v);
        CHECK(Logit::cdf(v) == 1.0, "v=%g", v);
    }
}

void test_identities_at_one() {
    const double F = Logit::cdf(1.0);
    const double f = Logit::pdf(1.0);
    CHECK(ulps_apart(f, F * (1.0 - F)) <= 4);
    CHECK(ulps_apart(pdf_derivative(ModelKind::logit, 1.0), (1.0 - 2.0 * F) * f) <= 4);
    CHECK(pdf_derivative(ModelKind::probit, 1.0) == -Probit::pdf(1.0));
}

void test_symmetry() {
    for (const double v : sweep()) {
        if (!std::isfinite(v)) continue;
        CHECK(identical(Probit::pdf(-v), Probit::pdf(v)), "v=%.17g", v);
        CHECK(ulps_apart(Logit::pdf(-v), Logit::pdf(v)) <= 4, "v=%.17g", v);
        CHECK(std::fabs(Logit::cdf(-v) - (1.0 - Logit::cdf(v))) <= 0x1p-52, "v=%.17g", v);
    }
}

void test_standard_normal_cdf() {
    CHECK(standard_normal_cdf(inf) == 1.0);
    CHECK(standard_normal_cdf(-inf) == 0.0);
    CHECK(std::isnan(standard_normal_cdf(nan)));
    CHECK(standard_normal_cdf(0.0) == 0.5);
    // 4 ulps of a long double erfc at the same rounded argument, from deep in the lower
    // tail to where Phi rounds to 1. (Rounding the argument itself moves Phi by up to
    // about 2 a^2 ulps, which the written formula accepts.)
    for (double x = -37.5; x <= 9.0; x += 0.125) {
        const double a = (0.0 - x) / (1.0 * 1.4142135623730951);
        const auto expected = static_cast<double>(0.5L * std::erfc(static_cast<long double>(a)));
        CHECK(ulps_apart(standard_normal_cdf(x), expected) <= 4, "x=%g", x);
        CHECK(identical(cdf(ModelKind::probit, x), standard_normal_cdf(x)), "x=%g", x);
    }
}

// The array forms give the scalar forms' doubles bit for bit, across the Logit
// overflow points, infinities and NaN, and write exactly m values whatever m is
// (the vector erfc takes values in pairs).
template <ModelKind K>
void check_array_forms(const std::vector<double>& values, std::ptrdiff_t m) {
    const double sentinel = 12345.0;
    const auto size = values.size() + 1;
    std::vector<double> F(size, sentinel), f(size, sentinel), f_alone(size, sentinel),
        f_prime(size, sentinel), scratch(size);
    std::vector<double> all_F(size, sentinel), all_f(size, sentinel), all_f_prime(size, sentinel);
    link_values<K>(values.data(), F.data(), f.data(), m, scratch.data());
    pdf_array<K>(values.data(), f_alone.data(), m);
    pdf_derivative_array<K>(values.data(), F.data(), f.data(), f_prime.data(), m);
    all_link_values(K, values.data(), all_F.data(), all_f.data(), all_f_prime.data(), m,
                    scratch.data());
    const int kind = static_cast<int>(K);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const auto r = static_cast<std::size_t>(i);
        const double v = values[r];
        CHECK(identical(F[r], cdf(K, v)) && identical(f[r], pdf(K, v)),
              "link_values, kind=%d v=%.17g", kind, v);
        CHECK(identical(f_alone[r], pdf(K, v)), "pdf_array, kind=%d v=%.17g", kind, v);
        CHECK(identical(f_prime[r], pdf_derivative(K, v)), "pdf_derivative_array, kind=%d v=%.17g",
              kind, v);
        CHECK(identical(all_F[r], F[r]) && identical(all_f[r], f[r]) &&
                  identical(all_f_prime[r], f_prime[r]),
              "all_link_values, kind=%d v=%.17g", kind, v);
    }
    const auto past = static_cast<std::size_t>(m);
    CHECK(F[past] == sentinel && f[past] == sentinel && f_alone[past] == sentinel &&
              f_prime[past] == sentinel && all_F[past] == sentinel && all_f[past] == sentinel &&
              all_f_prime[past] == sentinel,
          "kind=%d m=%td", kind, m);
}

void test_array_forms_match_scalar_forms() {
    std::vector<double> v = sweep();
    for (const double x : {inf, -inf, nan}) v.push_back(x);
    // Short lengths, whose pairs end anywhere among the special values up front.
    const std::vector<double> front{nan, 800.0, -inf, 355.0, inf, -1.5};
    for (const ModelKind kind : all_links) {
        with_link(kind, [&]<ModelKind K>(LinkTag<K>) {
            for (std::ptrdiff_t m = 0; m <= 6; ++m) check_array_forms<K>(front, m);
            for (const std::ptrdiff_t m : {static_cast<std::ptrdiff_t>(v.size()) - 1,
                                           static_cast<std::ptrdiff_t>(v.size())}) {
                check_array_forms<K>(v, m);
            }
        });
    }
}

// Every link's name leads back to it, the dispatch calls the code of the link it is
// given, and the scalar forms by link are the link's formulas, bit for bit.
void test_dispatch() {
    CHECK(link_names.size() == all_links.size());
    for (std::size_t i = 0; i < all_links.size(); ++i) {
        const ModelKind kind = all_links[i];
        CHECK(static_cast<std::size_t>(kind) == i);
        CHECK(link_named(link_name(kind)) == kind, "%s", link_names[i].data());
        for (std::size_t j = 0; j < i; ++j) CHECK(link_names[j] != link_names[i]);
        const ModelKind dispatched = with_link(kind, []<ModelKind K>(LinkTag<K>) { return K; });
        CHECK(dispatched == kind, "%s", link_names[i].data());
    }
    CHECK(link_named("logit") == ModelKind::logit && link_named("probit") == ModelKind::probit &&
          link_named("cloglog") == ModelKind::cloglog);
    for (const std::string_view other : {"Logit", "", "logit ", "exp", "Log"}) {
        CHECK(!link_named(other).has_value());
    }
    // The values zarn's one-byte flag has always had: probit 0, logit 1.
    CHECK(static_cast<int>(ModelKind::probit) == 0 && static_cast<int>(ModelKind::logit) == 1);

    std::vector<double> v = sweep();
    for (const double x : {inf, -inf, nan, 0.0, -0.0}) v.push_back(x);
    for (const ModelKind kind : all_links) {
        with_link(kind, [&]<ModelKind K>(LinkTag<K>) {
            using Formulas = LinkFormulas<K>;
            for (const double x : v) {
                CHECK(identical(cdf(kind, x), Formulas::cdf(x)), "kind=%d v=%.17g", int(K), x);
                CHECK(identical(pdf(kind, x), Formulas::pdf(x)), "kind=%d v=%.17g", int(K), x);
                CHECK(identical(pdf_derivative(kind, x), Formulas::pdf_derivative(x)),
                      "kind=%d v=%.17g", int(K), x);
                const double from_values =
                    Formulas::pdf_derivative_from(x, Formulas::cdf(x), Formulas::pdf(x));
                CHECK(identical(from_values, Formulas::pdf_derivative(x)), "kind=%d v=%.17g",
                      int(K), x);
            }
        });
    }
}

// The complementary log-log functions and their condition numbers, in long double.
struct LongDoubleCloglog {
    double value[3];      // F, f, f'
    double condition[3];  // |v g'(v) / g(v)| of each
};

LongDoubleCloglog cloglog_in_long_double(double v) {
    const long double x = v, e = std::exp(x);
    const long double g = -std::expm1(x);  // 1 - exp(v), without cancellation near 0
    const long double F = -std::expm1(-e), f = std::exp(x - e), d = f * g;
    const auto condition = [](long double c) { return static_cast<double>(std::fabs(c)); };
    return {{static_cast<double>(F), static_cast<double>(f), static_cast<double>(d)},
            {F == 0.0L ? 1.0 : condition(x * f / F), condition(x * g),
             g == 0.0L ? 1.0 : condition(x * (g * g - e) / g)}};
}

void test_cloglog_against_long_double() {
    std::vector<double> v;
    for (double x = -745.0; x <= 710.0; x += 0.01) v.push_back(x);
    for (double x = -4.0; x <= 4.0; x += 1.0 / 4096.0) v.push_back(x);
    for (double x = 1e-300; x < 1.0; x *= 1.7) {
        v.push_back(x);
        v.push_back(-x);
    }
    const char* names[] = {"F", "f", "f'"};
    for (const double x : v) {
        const LongDoubleCloglog want = cloglog_in_long_double(x);
        const double got[] = {Cloglog::cdf(x), Cloglog::pdf(x), Cloglog::pdf_derivative(x)};
        for (int i = 0; i < 3; ++i) {
            const double tolerance = 4.0 * std::max(1.0, want.condition[i]);
            CHECK(static_cast<double>(ulps_apart(got[i], want.value[i])) <= tolerance,
                  "%s at v=%.17g: %.17g, want %.17g", names[i], x, got[i], want.value[i]);
        }
    }
}

// The limits: no NaN for finite v, and the functions' limits at the infinities.
void test_cloglog_limits() {
    struct Limit {
        double v, F, f, f_prime;
    };
    const Limit table[] = {
        {-inf, 0.0, 0.0, 0.0},   {inf, 1.0, 0.0, -0.0},
        {nan, nan, nan, nan},    {0.0, -std::expm1(-1.0), std::exp(-1.0), 0.0},
        {710.0, 1.0, 0.0, -0.0}, {1e300, 1.0, 0.0, -0.0},
        {-1e300, 0.0, 0.0, 0.0}, {-746.0, 0.0, 0.0, 0.0},
    };
    for (const Limit& l : table) {
        CHECK(identical(Cloglog::cdf(l.v), l.F), "F at v=%g", l.v);
        CHECK(identical(Cloglog::pdf(l.v), l.f), "f at v=%g", l.v);
        CHECK(identical(Cloglog::pdf_derivative(l.v), l.f_prime), "f' at v=%g", l.v);
    }
    for (double x = -800.0; x <= 800.0; x += 0.25) {
        CHECK(!std::isnan(Cloglog::cdf(x)) && !std::isnan(Cloglog::pdf(x)) &&
                  !std::isnan(Cloglog::pdf_derivative(x)),
              "v=%g", x);
    }
}

}  // namespace

int main() {
    test_logit_matches_written_form_or_stays_finite();
    test_probit_matches_written_form();
    test_named_values();
    test_logit_overflow_points();
    test_identities_at_one();
    test_symmetry();
    test_standard_normal_cdf();
    test_array_forms_match_scalar_forms();
    test_dispatch();
    test_cloglog_against_long_double();
    test_cloglog_limits();
    return velmora::test::finish("test_link");
}
