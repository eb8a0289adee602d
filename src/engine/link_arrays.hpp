// Link values over contiguous arrays of m values. Built from the pieces of
// link.hpp, they give the scalar forms' doubles bit for bit: a link's generic
// forms call its formulas value by value, and Logit and Probit have loops of
// their own, tuned for the passes.
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
    if (vector_erfc != nullptr) {
        for (; i + 2 <= m; i += 2) {
            _mm_storeu_pd(out + i, normal_cdf_from_argument(_mm_loadu_pd(a + i)));
        }
    }
#endif
    for (; i < m; ++i) out[i] = normal_cdf_from_argument(a[i]);
}

// Writes f(v_i) into out.
template <ModelKind K>
[[gnu::noinline]] void pdf_array(const double* v, double* out, std::ptrdiff_t m) {
    if constexpr (K == ModelKind::logit) {
        // The written form, one exp per value; should a denominator overflow,
        // every value is taken again from Logit::pdf, which has the exp(-v) form.
        bool overflow = false;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double e = std::exp(v[i]);
            const double d = Logit::pdf_denominator(e);
            out[i] = e / d;
            overflow |= !Logit::denominator_fits(d);
        }
        if (overflow) {
            for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = Logit::pdf(v[i]);
        }
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = LinkFormulas<K>::pdf(v[i]);
    }
}

// Writes F(v_i) into cdf and f(v_i) into pdf; scratch holds m values: Logit
// keeps each exp(-v) there for the density's fallback, Probit the erfc
// arguments, divided in the loop of the exp calls; other links leave it alone.
template <ModelKind K>
[[gnu::noinline]] void link_values(const double* v, double* cdf, double* pdf, std::ptrdiff_t m,
                                   double* scratch) {
    if constexpr (K == ModelKind::logit) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double t = std::exp(-v[i]);
            scratch[i] = t;
            cdf[i] = Logit::cdf_from_exp(t);
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            pdf[i] = Logit::pdf_from_exps(v[i], scratch[i], std::exp(v[i]));
        }
    } else if constexpr (K == ModelKind::probit) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            scratch[i] = normal_cdf_argument(v[i]);
            pdf[i] = Probit::pdf(v[i]);
        }
        normal_cdf_from_arguments(scratch, cdf, m);
    } else {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            cdf[i] = LinkFormulas<K>::cdf(v[i]);
            pdf[i] = LinkFormulas<K>::pdf(v[i]);
        }
    }
}

// Writes f'(v_i) into out, given F(v_i) in cdf and f(v_i) in pdf. cdf is read
// only where the link's derivative_reads_cdf; otherwise it may be null.
template <ModelKind K>
void pdf_derivative_array(const double* v, const double* cdf, const double* pdf, double* out,
                          std::ptrdiff_t m) {
    using Formulas = LinkFormulas<K>;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const double cdf_i = Formulas::derivative_reads_cdf ? cdf[i] : 0.0;
        out[i] = Formulas::pdf_derivative_from(v[i], cdf_i, pdf[i]);
    }
}

// Writes F(v_i), f(v_i) and f'(v_i) of the given link into cdf, pdf and
// pdf_derivative; scratch holds m values.
inline void all_link_values(ModelKind kind, const double* v, double* cdf, double* pdf,
                            double* pdf_derivative, std::ptrdiff_t m, double* scratch) {
    with_link(kind, [&]<ModelKind K>(LinkTag<K>) {
        link_values<K>(v, cdf, pdf, m, scratch);
        pdf_derivative_array<K>(v, cdf, pdf, pdf_derivative, m);
    });
}

}  // namespace velmora::engine
