// Link functions of the Logit and Probit models: the formulas and their scalar forms.
//
// Every step is one double operation in the order written, with exp and erfc
// from the C library; the build keeps the compiler from fusing or reordering
// them, so these functions give the same doubles wherever they are called.
// Each formula is written once, in the pieces below; the scalar forms here and
// the array forms of link_arrays.hpp are built from them.
//
// erfc: where the C library has a vector erfc (glibc's libmvec on x86-64; at
// most 2 units in the last place from the exact value over a million arguments
// we checked, where its scalar erfc was 4 off), every erfc here is
// taken from it, which costs about a third of the scalar erfc on data in no
// particular order; otherwise the scalar erfc. Scalar and array forms use
// the same function either way, so they still agree bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#if VELMORA_VECTOR_ERFC
#include <emmintrin.h>
#endif

#if VELMORA_VECTOR_ERFC
// libmvec's erfc of two doubles, by its name under the x86-64 vector function ABI.
extern "C" __m128d _ZGVbN2v_erfc(__m128d);
#endif

namespace velmora::engine {

enum class ModelKind : std::uint8_t { probit = 0, logit = 1 };

inline constexpr double sqrt_two_pi = 2.5066282746310002;  // one ulp below the rounded sqrt(2*pi)
inline constexpr double sqrt_two = 1.4142135623730951;

// Logit: F(v) = 1 / (exp(-v) + 1), f(v) = exp(v) / (exp(v) + 1)^2, f' = (1 - 2F) f.

// Returns F(v) = 1 / (t + 1), given t = exp(-v).
inline double logit_cdf_from_exp(double exp_minus_v) { return 1.0 / (exp_minus_v + 1.0); }

// Returns (e + 1)^2, the denominator of the density e / (e + 1)^2.
inline double logit_pdf_denominator(double e) { return (e + 1.0) * (e + 1.0); }

// Returns whether the denominator d = (exp(v) + 1)^2 is finite, so that exp(v) / d is the density.
inline bool logit_denominator_fits(double d) { return d <= std::numeric_limits<double>::max(); }

// Returns f(v), given exp(-v) and exp(v).
//
// The squared denominator overflows for v above about 354.89 (and exp(v) itself
// above about 709.78), which would give 0 or NaN for a finite v. There the same
// density is taken as t / (t + 1)^2 from t = exp(-v), which stays finite; for
// every other v the written form is used unchanged. Selects, not branches, so
// that it costs the same for every v.
inline double logit_pdf_from_exps(double v, double exp_minus_v, double exp_v) {
    const double e = exp_v, t = exp_minus_v;
    const double d = logit_pdf_denominator(e);
    const bool written =
        logit_denominator_fits(d) | !(std::fabs(v) < std::numeric_limits<double>::infinity());
    return (written ? e : t) / (written ? d : logit_pdf_denominator(t));
}

// Returns f'(v) = (1 - 2F(v)) f(v) of the logistic distribution, given F(v) and f(v).
inline double logit_pdf_derivative(double cdf, double pdf) { return (1.0 - (cdf + cdf)) * pdf; }

// Returns the logistic distribution function 1 / (exp(-v) + 1).
inline double logit_cdf(double v) { return logit_cdf_from_exp(std::exp(-v)); }

// Returns the logistic density exp(v) / (exp(v) + 1)^2; where the denominator
// overflows, what logit_pdf_from_exps makes of it. exp(-v) is called only there.
inline double logit_pdf(double v) {
    const double e = std::exp(v);
    const double d = logit_pdf_denominator(e);
    if (logit_denominator_fits(d)) return e / d;
    return logit_pdf_from_exps(v, std::exp(-v), e);
}

// Probit: Phi(v) = 0.5 erfc(-v / sqrt 2), phi(v) = exp(-v^2 / 2) / sqrt(2 pi), phi' = -v phi.

// Returns the argument of erfc in Phi(x): (mean - x) / (standard deviation * sqrt 2).
inline double normal_cdf_argument(double x) { return (0.0 - x) / (1.0 * sqrt_two); }

#if VELMORA_VECTOR_ERFC
// Returns erfc of two values.
inline __m128d erfc_of(__m128d a) { return _ZGVbN2v_erfc(a); }
// Returns erfc(a).
inline double erfc_of(double a) { return _mm_cvtsd_f64(erfc_of(_mm_set1_pd(a))); }
#else
// Returns erfc(a).
inline double erfc_of(double a) { return std::erfc(a); }
#endif

// Returns Phi = 0.5 erfc(a), given a = normal_cdf_argument(x), of one value or of
// two. erfc takes NaN to NaN, +inf to 0 and -inf to 2, which are Phi's values there.
template <class T>
T normal_cdf_from_argument(T a) {
    return 0.5 * erfc_of(a);
}

// Returns Phi(x), the standard normal distribution function.
inline double standard_normal_cdf(double x) {
    const double a = normal_cdf_argument(x);
    if (std::isnan(a)) return a;
    if (a == std::numeric_limits<double>::infinity()) return 0.0;
    if (a == -std::numeric_limits<double>::infinity()) return 1.0;
    return normal_cdf_from_argument(a);
}

// Returns the standard normal density exp(-v^2 / 2) / sqrt(2 pi).
inline double probit_pdf(double v) {
    const double y = (-0.5 * v) * v;
    return std::exp(y) / sqrt_two_pi;
}

// Returns -v phi(v), given phi(v).
inline double probit_pdf_derivative(double v, double pdf) { return pdf * (-v); }

// Returns F(v) of the given model.
inline double cdf(ModelKind kind, double v) {
    return kind == ModelKind::logit ? logit_cdf(v) : standard_normal_cdf(v);
}

// Returns f(v) of the given model.
inline double pdf(ModelKind kind, double v) {
    return kind == ModelKind::logit ? logit_pdf(v) : probit_pdf(v);
}

// Returns f'(v) of the given model.
inline double pdf_derivative(ModelKind kind, double v) {
    return kind == ModelKind::logit ? logit_pdf_derivative(logit_cdf(v), logit_pdf(v))
                                    : probit_pdf_derivative(v, probit_pdf(v));
}

}  // namespace velmora::engine
