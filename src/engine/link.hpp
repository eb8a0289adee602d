// Link functions of the Logit and Probit models.
//
// Every step is one double operation in the order written, with exp and erfc
// from the C library; the build keeps the compiler from fusing or reordering
// them, so these functions give the same doubles wherever they are called.
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
#include <span>

#if VELMORA_VECTOR_ERFC
#include <emmintrin.h>
#endif

#include "engine/strided.hpp"

#if VELMORA_VECTOR_ERFC
// libmvec's erfc of two doubles, by its name under the x86-64 vector function ABI.
extern "C" __m128d _ZGVbN2v_erfc(__m128d);
#endif

namespace velmora::engine {

enum class ModelKind : std::uint8_t { probit = 0, logit = 1 };

inline constexpr double sqrt_two_pi = 2.5066282746310002;  // one ulp below the rounded sqrt(2*pi)
inline constexpr double sqrt_two = 1.4142135623730951;

// Returns erfc(a).
inline double erfc_of(double a) {
#if VELMORA_VECTOR_ERFC
    return _mm_cvtsd_f64(_ZGVbN2v_erfc(_mm_set1_pd(a)));
#else
    return std::erfc(a);
#endif
}

// Returns the argument of erfc in Phi(x): (mean - x) / (standard deviation * sqrt 2).
inline double normal_cdf_argument(double x) { return (0.0 - x) / (1.0 * sqrt_two); }

// Returns Phi(x), the standard normal distribution function.
inline double standard_normal_cdf(double x) {
    const double a = normal_cdf_argument(x);
    if (std::isnan(a)) return a;
    if (a == std::numeric_limits<double>::infinity()) return 0.0;
    if (a == -std::numeric_limits<double>::infinity()) return 1.0;
    return 0.5 * erfc_of(a);
}

// Returns the logistic distribution function 1 / (exp(-v) + 1).
inline double logit_cdf(double v) {
    const double t = std::exp(-v);
    return 1.0 / (t + 1.0);
}

// Returns the logistic density exp(v) / (exp(v) + 1)^2.
//
// The squared denominator overflows for v above about 354.89 (and exp(v) itself
// above about 709.78), which would give 0 or NaN for a finite v. There the same
// density is taken from exp(-v), which stays finite; below that point the
// written form is used unchanged.
inline double logit_pdf(double v) {
    const double e = std::exp(v);
    const double d = (e + 1.0) * (e + 1.0);
    if (d <= std::numeric_limits<double>::max() || !std::isfinite(v)) return e / d;
    const double t = std::exp(-v);
    return t / ((t + 1.0) * (t + 1.0));
}

// Returns f'(v) = (1 - 2F(v)) f(v) of the logistic distribution, given F(v) and f(v).
inline double logit_pdf_derivative(double cdf, double pdf) { return (1.0 - (cdf + cdf)) * pdf; }

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

// Returns f(v) of the Logit model from exp(-v) and exp(v): logit_pdf, whose
// fallback for an overflowing denominator needs exp(-v). Selects, not
// branches, so that it costs the same for every v.
inline double logit_pdf_from_calls(double v, double exp_minus_v, double exp_v) {
    const double e = exp_v, t = exp_minus_v;
    const double d = (e + 1.0) * (e + 1.0);
    const bool written = (d <= std::numeric_limits<double>::max()) |
                         !(std::fabs(v) < std::numeric_limits<double>::infinity());
    return (written ? e : t) / (written ? d : (t + 1.0) * (t + 1.0));
}

// Array forms of the link values, over m contiguous values. They give the same
// doubles as the scalar forms above.
//
// The divisions the formulas need run in the loops of the exp calls where
// they can: there the divider works while the next exp is under way, and they
// are mostly hidden (in loops of their own they cost about a tenth as much as
// the calls). The vector erfc seems to need the divider itself, so nothing is
// divided in its loop.

// Writes Phi(v_i) = 0.5 erfc(a_i) into out, given a_i = normal_cdf_argument(v_i). erfc
// takes NaN to NaN, +inf to 0 and -inf to 2: the special cases of
// standard_normal_cdf need no test of their own.
inline void normal_cdf_from_arguments(const double* a, double* out, std::ptrdiff_t m) {
    std::ptrdiff_t i = 0;
#if VELMORA_VECTOR_ERFC
    const __m128d half = _mm_set1_pd(0.5);
    for (; i + 2 <= m; i += 2) {
        _mm_storeu_pd(out + i, _mm_mul_pd(half, _ZGVbN2v_erfc(_mm_loadu_pd(a + i))));
    }
#endif
    for (; i < m; ++i) out[i] = 0.5 * erfc_of(a[i]);
}

// Writes f(v_i) into out.
template <ModelKind K>
void pdf_array(const double* v, double* out, std::ptrdiff_t m) {
    if constexpr (K == ModelKind::logit) {
        bool overflow = false;  // whether a squared denominator overflowed
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double e = std::exp(v[i]);
            const double d = (e + 1.0) * (e + 1.0);
            out[i] = e / d;
            overflow |= !(d <= std::numeric_limits<double>::max());
        }
        if (overflow) {
            for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = logit_pdf(v[i]);
        }
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = probit_pdf(v[i]);
    }
}

// Writes F(v_i) into cdf and f(v_i) into pdf; scratch holds m values: Logit
// keeps each exp(-v) there for the density's fallback, Probit the erfc
// arguments, divided in the loop of the exp calls.
template <ModelKind K>
void link_values(const double* v, double* cdf, double* pdf, std::ptrdiff_t m, double* scratch) {
    if constexpr (K == ModelKind::logit) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double t = std::exp(-v[i]);
            scratch[i] = t;
            cdf[i] = 1.0 / (t + 1.0);
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            pdf[i] = logit_pdf_from_calls(v[i], scratch[i], std::exp(v[i]));
        }
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            scratch[i] = normal_cdf_argument(v[i]);
            pdf[i] = probit_pdf(v[i]);
        }
        normal_cdf_from_arguments(scratch, cdf, m);
    }
}

// Writes F(v_i) into out; out must hold v.size values.
EngineResult<void> link_cdf(ModelKind kind, VectorView v, std::span<double> out);
// Writes f(v_i) into out; out must hold v.size values.
EngineResult<void> link_pdf(ModelKind kind, VectorView v, std::span<double> out);
// Writes f'(v_i) into out; out must hold v.size values.
EngineResult<void> link_pdf_derivative(ModelKind kind, VectorView v, std::span<double> out);

}  // namespace velmora::engine
