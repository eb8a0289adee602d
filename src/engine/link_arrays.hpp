// Link values over contiguous arrays of m values. Built from the pieces of
// link.hpp, they give the scalar forms' doubles bit for bit.
//
// The divisions the formulas need run in the loops of the exp calls where
// they can: there the divider works while the next exp is under way, and they
// are mostly hidden (in loops of their own they cost about a tenth as much as
// the calls). The vector erfc seems to need the divider itself, so nothing is
// divided in its loop.
//
// The kernels that call exp are kept out of line, so that their loops compile
// the same whoever calls them: inlined into a larger caller, the Logit loops
// kept fewer values in registers across the calls and the pass ran 2 % slower.
#pragma once

#include <cmath>
#include <cstddef>

#include "engine/link.hpp"

namespace velmora::engine {

// Writes Phi(v_i) into out, given a_i = normal_cdf_argument(v_i). erfc covers
// the special cases of standard_normal_cdf: they need no test of their own.
inline void normal_cdf_from_arguments(const double* a, double* out, std::ptrdiff_t m) {
    std::ptrdiff_t i = 0;
#if VELMORA_VECTOR_ERFC
    for (; i + 2 <= m; i += 2) {
        _mm_storeu_pd(out + i, normal_cdf_from_argument(_mm_loadu_pd(a + i)));
    }
#endif
    for (; i < m; ++i) out[i] = normal_cdf_from_argument(a[i]);
}

// Writes f(v_i) into out.
template <ModelKind K>
[[gnu::noinline]] void pdf_array(const double* v, double* out, std::ptrdiff_t m) {
    if constexpr (K == ModelKind::logit) {
        // The written form, one exp per value; should a denominator overflow,
        // every value is taken again from logit_pdf, which has the exp(-v) form.
        bool overflow = false;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double e = std::exp(v[i]);
            const double d = logit_pdf_denominator(e);
            out[i] = e / d;
            overflow |= !logit_denominator_fits(d);
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
[[gnu::noinline]] void link_values(const double* v, double* cdf, double* pdf, std::ptrdiff_t m,
                                   double* scratch) {
    if constexpr (K == ModelKind::logit) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double t = std::exp(-v[i]);
            scratch[i] = t;
            cdf[i] = logit_cdf_from_exp(t);
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            pdf[i] = logit_pdf_from_exps(v[i], scratch[i], std::exp(v[i]));
        }
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            scratch[i] = normal_cdf_argument(v[i]);
            pdf[i] = probit_pdf(v[i]);
        }
        normal_cdf_from_arguments(scratch, cdf, m);
    }
}

// Writes f'(v_i) into out, given F(v_i) in cdf and f(v_i) in pdf. Logit reads
// cdf and pdf, Probit v and pdf; the other array is not read and may be null.
template <ModelKind K>
void pdf_derivative_array(const double* v, const double* cdf, const double* pdf, double* out,
                          std::ptrdiff_t m) {
    if constexpr (K == ModelKind::logit) {
        for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = logit_pdf_derivative(cdf[i], pdf[i]);
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = probit_pdf_derivative(v[i], pdf[i]);
    }
}

}  // namespace velmora::engine
