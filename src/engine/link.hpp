// Link functions: the list of links, each link's formulas and their scalar forms, and
// the dispatch from a link chosen at run time to code compiled for it.
//
// Adding a link takes one entry in VELMORA_LINKS and a LinkFormulas specialisation
// here: its name, the dispatch, the array forms of link_arrays.hpp and the passes'
// explicit instantiations follow from them.
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

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#if VELMORA_VECTOR_ERFC
#include <emmintrin.h>
#endif

#if VELMORA_VECTOR_ERFC
// libmvec's erfc of two doubles, by its name under the x86-64 vector function ABI.
extern "C" __m128d _ZGVbN2v_erfc(__m128d);
#endif

// The links, X(name) for each, in the order of their values: probit is 0 and logit 1;
// a new link goes last, so that the others keep their values. A file that instantiates
// a template for every link defines a macro of one name and passes it here.
#define VELMORA_LINKS(X) \
    X(probit)            \
    X(logit)             \
    X(cloglog) X(identity) X(log) X(loglog) X(cauchy) X(sqrt) X(inverse_power) X(inverse_squared)

namespace velmora::engine {

enum class ModelKind : std::uint8_t {
#define VELMORA_LINK_ENUMERATOR(name) name,
    VELMORA_LINKS(VELMORA_LINK_ENUMERATOR)
#undef VELMORA_LINK_ENUMERATOR
};

// Every link, in the order of ModelKind.
inline constexpr std::array all_links{
#define VELMORA_LINK_VALUE(name) ModelKind::name,
    VELMORA_LINKS(VELMORA_LINK_VALUE)
#undef VELMORA_LINK_VALUE
};

// The links' names ("probit", "logit", ...), in the order of ModelKind.
inline constexpr std::array link_names{
#define VELMORA_LINK_NAME(name) std::string_view(#name),
    VELMORA_LINKS(VELMORA_LINK_NAME)
#undef VELMORA_LINK_NAME
};

// Returns the name of a link.
constexpr std::string_view link_name(ModelKind kind) {
    return link_names[static_cast<std::size_t>(kind)];
}

// Returns the link of the given name, or none.
constexpr std::optional<ModelKind> link_named(std::string_view name) {
    for (const ModelKind kind : all_links) {
        if (link_name(kind) == name) return kind;
    }
    return std::nullopt;
}

// A link as a type, for a generic lambda to take it as a template argument.
template <ModelKind K>
struct LinkTag {
    static constexpr ModelKind kind = K;
};

// Returns visit(LinkTag<kind>{}): calls the code compiled for the given link.
template <class Visit>
decltype(auto) with_link(ModelKind kind, Visit&& visit) {
    switch (kind) {
#define VELMORA_LINK_CASE(name) \
    case ModelKind::name:       \
        return std::forward<Visit>(visit)(LinkTag<ModelKind::name>{});
        VELMORA_LINKS(VELMORA_LINK_CASE)
#undef VELMORA_LINK_CASE
    }
    std::unreachable();  // every ModelKind is one of the links
}

inline constexpr double sqrt_two_pi = 2.5066282746310002;  // one ulp below the rounded sqrt(2*pi)
inline constexpr double sqrt_two = 1.4142135623730951;

// Phi, the standard normal distribution function: 0.5 erfc(-x / sqrt 2).

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

// Where a linear predictor v stands for a link whose F is not finite for every finite v.
enum class LinkDomain : std::uint8_t {
    inside,
    outside,               // v lies outside the link's domain (sqrt: v < 0)
    overflows,             // F(v) is not finite (log: exp(v) past the largest double)
    derivative_overflows,  // F(v) is, but f(v) is not
};

// The formulas of link K: F (cdf), its density f (pdf) and f' (pdf_derivative), each of
// one value; and pdf_derivative_from(v, F(v), f(v)), f' from the values already at hand,
// which reads F only where derivative_reads_cdf.
//
// A link whose F is finite at every finite v has bounded = false. The others tell where
// v stands by domain(v, F, f), with F or f NaN where they were not formed (NaN is never
// taken for an overflow), and name their mean (mean_text) and domain (domain_text) for
// the messages of the kernels that refuse such a v.
template <ModelKind K>
struct LinkFormulas;

// Returns where v stands, given whether it is inside the domain and F and f there.
inline LinkDomain domain_of(bool inside, double cdf, double pdf) {
    if (!inside) return LinkDomain::outside;
    if (std::isinf(cdf)) return LinkDomain::overflows;
    if (std::isinf(pdf)) return LinkDomain::derivative_overflows;
    return LinkDomain::inside;
}

// Probit: Phi(v) = 0.5 erfc(-v / sqrt 2), phi(v) = exp(-v^2 / 2) / sqrt(2 pi), phi' = -v phi.
template <>
struct LinkFormulas<ModelKind::probit> {
    static double cdf(double v) { return standard_normal_cdf(v); }

    // Returns exp(-v^2 / 2) / sqrt(2 pi).
    static double pdf(double v) {
        const double y = (-0.5 * v) * v;
        return std::exp(y) / sqrt_two_pi;
    }

    static constexpr bool derivative_reads_cdf = false;

    // Returns -v phi(v), given phi(v).
    static double pdf_derivative_from(double v, double, double pdf) { return pdf * (-v); }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }
};

// Logit: F(v) = 1 / (exp(-v) + 1), f(v) = exp(v) / (exp(v) + 1)^2, f' = (1 - 2F) f.
template <>
struct LinkFormulas<ModelKind::logit> {
    // Returns F(v) = 1 / (t + 1), given t = exp(-v).
    static double cdf_from_exp(double exp_minus_v) { return 1.0 / (exp_minus_v + 1.0); }

    // Returns (e + 1)^2, the denominator of the density e / (e + 1)^2.
    static double pdf_denominator(double e) { return (e + 1.0) * (e + 1.0); }

    // Returns whether the denominator d = (exp(v) + 1)^2 is finite, so that exp(v) / d is
    // the density.
    static bool denominator_fits(double d) { return d <= std::numeric_limits<double>::max(); }

    // Returns f(v), given exp(-v) and exp(v).
    //
    // The squared denominator overflows for v above about 354.89 (and exp(v) itself
    // above about 709.78), which would give 0 or NaN for a finite v. There the same
    // density is taken as t / (t + 1)^2 from t = exp(-v), which stays finite; for
    // every other v the written form is used unchanged. Selects, not branches, so
    // that it costs the same for every v.
    static double pdf_from_exps(double v, double exp_minus_v, double exp_v) {
        const double e = exp_v, t = exp_minus_v;
        const double d = pdf_denominator(e);
        const bool written =
            denominator_fits(d) | !(std::fabs(v) < std::numeric_limits<double>::infinity());
        return (written ? e : t) / (written ? d : pdf_denominator(t));
    }

    // Returns the logistic distribution function 1 / (exp(-v) + 1).
    static double cdf(double v) { return cdf_from_exp(std::exp(-v)); }

    // Returns the logistic density exp(v) / (exp(v) + 1)^2; where the denominator
    // overflows, what pdf_from_exps makes of it. exp(-v) is called only there.
    static double pdf(double v) {
        const double e = std::exp(v);
        const double d = pdf_denominator(e);
        if (denominator_fits(d)) return e / d;
        return pdf_from_exps(v, std::exp(-v), e);
    }

    static constexpr bool derivative_reads_cdf = true;

    // Returns f'(v) = (1 - 2F(v)) f(v), given F(v) and f(v).
    static double pdf_derivative_from(double, double cdf, double pdf) {
        return (1.0 - (cdf + cdf)) * pdf;
    }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, cdf(v), pdf(v)); }
};

// Complementary log-log: F(v) = 1 - exp(-exp(v)), f(v) = exp(v - exp(v)),
// f'(v) = f(v) (1 - exp(v)).
template <>
struct LinkFormulas<ModelKind::cloglog> {
    // Returns F(v) as -expm1(-exp(v)), which keeps every digit where F is small (v far
    // below 0) and 1 - exp(-exp(v)) would cancel.
    static double cdf(double v) { return -std::expm1(-std::exp(v)); }

    // Returns exp(v - exp(v)); 0 at v = +inf, where v - exp(v) is inf - inf.
    static double pdf(double v) {
        const double e = std::exp(v);
        return e == std::numeric_limits<double>::infinity() ? 0.0 : std::exp(v - e);
    }

    static constexpr bool derivative_reads_cdf = false;

    // Returns f(v) (1 - exp(v)), given f(v), with 1 - exp(v) taken as 0 - expm1(v): f'
    // changes sign at v = 0, where 1 - exp(v) would keep none of its digits. Where f is 0
    // this is a zero of f''s sign, also where exp(v) overflows and the product would be
    // 0 times inf.
    static double pdf_derivative_from(double v, double, double pdf) {
        const double g = 0.0 - std::expm1(v);
        return pdf == 0.0 ? std::copysign(0.0, g) : pdf * g;
    }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }
};

// Identity: F(v) = v, f(v) = 1, f'(v) = 0; the linear predictor itself, the scale of
// a linear model.
template <>
struct LinkFormulas<ModelKind::identity> {
    static double cdf(double v) { return v; }

    static double pdf(double) { return 1.0; }

    static constexpr bool derivative_reads_cdf = false;

    static double pdf_derivative_from(double, double, double) { return 0.0; }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }
};

// Log: F(v) = f(v) = f'(v) = exp(v), the mean of a count model. exp(v) overflows for v
// above about 709.78.
template <>
struct LinkFormulas<ModelKind::log> {
    static double cdf(double v) { return std::exp(v); }

    static double pdf(double v) { return std::exp(v); }

    static constexpr bool derivative_reads_cdf = false;

    static double pdf_derivative_from(double, double, double pdf) { return pdf; }

    static double pdf_derivative(double v) { return pdf(v); }

    static constexpr bool bounded = true;
    static constexpr std::string_view mean_text = "exp(x b)";
    static constexpr std::string_view domain_text = "";

    // f is F itself: either one not finite is the mean overflowing.
    static LinkDomain domain(double, double cdf, double pdf) {
        return std::isinf(cdf) || std::isinf(pdf) ? LinkDomain::overflows : LinkDomain::inside;
    }
};

// Log-log: F(v) = exp(-exp(-v)), f(v) = exp(-v - exp(-v)), f'(v) = f(v) (exp(-v) - 1): the
// complementary log-log link's functions at -v, F(v) = 1 - F_c(-v), f(v) = f_c(-v) and
// f'(v) = -f_c'(-v), each taken the careful way the complementary log-log takes it.
template <>
struct LinkFormulas<ModelKind::loglog> {
    // Returns exp(-exp(-v)); 0 where exp(-v) overflows, 1 where it underflows.
    static double cdf(double v) { return std::exp(-std::exp(-v)); }

    static double pdf(double v) { return LinkFormulas<ModelKind::cloglog>::pdf(-v); }

    static constexpr bool derivative_reads_cdf = false;

    // Returns f(v) (exp(-v) - 1) as -(f_c(-v) (0 - expm1(-v))), exact in sign at v = 0.
    static double pdf_derivative_from(double v, double, double pdf) {
        return -LinkFormulas<ModelKind::cloglog>::pdf_derivative_from(-v, 0.0, pdf);
    }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }
};

inline constexpr double pi = 3.141592653589793;

// Cauchy: F(v) = 1/2 + atan(v) / pi, f(v) = 1 / (pi (1 + v^2)),
// f'(v) = -2 v / (pi (1 + v^2)^2).
template <>
struct LinkFormulas<ModelKind::cauchy> {
    // Returns F(v) as atan2(1, -v) / pi, the same function, which for v below 0 is
    // atan(1 / -v) / pi: no cancellation of 1/2 and atan(v) / pi where F is small.
    static double cdf(double v) { return std::atan2(1.0, -v) / pi; }

    // Returns 1 / (pi (1 + v^2)); for |v| above 2^500, where v^2 would overflow,
    // (1 / (pi |v|)) / |v|.
    static double pdf(double v) {
        const double a = std::fabs(v);
        if (a > 0x1p500) return (1.0 / (pi * a)) / a;
        return 1.0 / (pi * (1.0 + v * v));
    }

    static constexpr bool derivative_reads_cdf = false;

    // Returns f(v) g(v) with g(v) = -2 v / (1 + v^2), taken as -2 / (v + 1 / v) for |v|
    // above 1, where v^2 could overflow.
    static double pdf_derivative_from(double v, double, double pdf) {
        const double g = std::fabs(v) > 1.0 ? -2.0 / (v + 1.0 / v) : (-2.0 * v) / (1.0 + v * v);
        return pdf * g;
    }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }
};

// Square root, the inverse of the link sqrt(mu): F(v) = v^2, f(v) = 2 v, f' = 2, on
// v >= 0.
template <>
struct LinkFormulas<ModelKind::sqrt> {
    static double cdf(double v) { return v * v; }

    static double pdf(double v) { return 2.0 * v; }

    static constexpr bool derivative_reads_cdf = false;

    static double pdf_derivative_from(double, double, double) { return 2.0; }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }

    static constexpr bool bounded = true;
    static constexpr std::string_view mean_text = "(x b)^2";
    static constexpr std::string_view domain_text = "at least 0";

    static LinkDomain domain(double v, double cdf, double pdf) {
        return domain_of(!(v < 0.0), cdf, pdf);
    }
};

// Inverse power, the inverse of the link 1 / mu: F(v) = 1 / v, f(v) = -1 / v^2,
// f'(v) = 2 / v^3, on v other than 0.
template <>
struct LinkFormulas<ModelKind::inverse_power> {
    static double cdf(double v) { return 1.0 / v; }

    // Returns -(1 / v)^2, which overflows only where 1 / v is past 2^512.
    static double pdf(double v) {
        const double c = 1.0 / v;
        return -(c * c);
    }

    static constexpr bool derivative_reads_cdf = false;

    // Returns -2 f(v) / v.
    static double pdf_derivative_from(double v, double, double pdf) { return (-2.0 * pdf) / v; }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }

    static constexpr bool bounded = true;
    static constexpr std::string_view mean_text = "1 / (x b)";
    static constexpr std::string_view domain_text = "other than 0";

    static LinkDomain domain(double v, double cdf, double pdf) {
        return domain_of(v != 0.0, cdf, pdf);
    }
};

// Inverse squared, the inverse of the link 1 / mu^2: F(v) = 1 / sqrt(v),
// f(v) = -F(v) / (2 v), f'(v) = -3 f(v) / (2 v), on v > 0.
template <>
struct LinkFormulas<ModelKind::inverse_squared> {
    static double cdf(double v) { return 1.0 / std::sqrt(v); }

    static double pdf(double v) { return (-0.5 * cdf(v)) / v; }

    static constexpr bool derivative_reads_cdf = false;

    static double pdf_derivative_from(double v, double, double pdf) { return (-1.5 * pdf) / v; }

    static double pdf_derivative(double v) { return pdf_derivative_from(v, 0.0, pdf(v)); }

    static constexpr bool bounded = true;
    static constexpr std::string_view mean_text = "1 / sqrt(x b)";
    static constexpr std::string_view domain_text = "above 0";

    static LinkDomain domain(double v, double cdf, double pdf) {
        return domain_of(!(v <= 0.0), cdf, pdf);
    }
};

// Whether link K has values of v that the kernels refuse (see LinkFormulas).
template <ModelKind K>
constexpr bool bounded_link() {
    if constexpr (requires { LinkFormulas<K>::bounded; }) {
        return LinkFormulas<K>::bounded;
    } else {
        return false;
    }
}

using Probit = LinkFormulas<ModelKind::probit>;
using Logit = LinkFormulas<ModelKind::logit>;
using Cloglog = LinkFormulas<ModelKind::cloglog>;
using Identity = LinkFormulas<ModelKind::identity>;

// Returns F(v) of the given link.
inline double cdf(ModelKind kind, double v) {
    return with_link(kind, [v]<ModelKind K>(LinkTag<K>) { return LinkFormulas<K>::cdf(v); });
}

// Returns f(v) of the given link.
inline double pdf(ModelKind kind, double v) {
    return with_link(kind, [v]<ModelKind K>(LinkTag<K>) { return LinkFormulas<K>::pdf(v); });
}

// Returns f'(v) of the given link.
inline double pdf_derivative(ModelKind kind, double v) {
    return with_link(kind,
                     [v]<ModelKind K>(LinkTag<K>) { return LinkFormulas<K>::pdf_derivative(v); });
}

// Returns whether f' of the given link is formed from F as well as from f.
inline bool derivative_reads_cdf(ModelKind kind) {
    return with_link(kind,
                     []<ModelKind K>(LinkTag<K>) { return LinkFormulas<K>::derivative_reads_cdf; });
}

}  // namespace velmora::engine
