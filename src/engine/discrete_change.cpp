#include "engine/discrete_change.hpp"

#include <cmath>

#include "engine/link_arrays.hpp"
#include "engine/pairs.hpp"

namespace velmora::engine {
namespace {

// Returns whether every one of m values is 0 or 1.
bool only_zero_one(const double* __restrict x, std::ptrdiff_t m) {
    double other = 0.0;  // a select, not a branch, so that the loop is vector code
    for (std::ptrdiff_t i = 0; i < m; ++i) other = (x[i] != 0.0) & (x[i] != 1.0) ? 1.0 : other;
    return other == 0.0;
}

// Writes the linear predictor of the other side of a 0/1 column: xb - b where
// x = 1, xb + b where x = 0. Returns whether every one of the m values of x is
// 0 or 1; where one is not, what was written is of no use.
bool counterfactual(const double* __restrict x, const double* __restrict xb, double b,
                    double* __restrict out, std::ptrdiff_t m) {
    const double minus_b = -b;
    double other = 0.0;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        out[i] = xb[i] + (x[i] == 1.0 ? minus_b : b);
        other = (x[i] != 0.0) & (x[i] != 1.0) ? 1.0 : other;
    }
    return other == 0.0;
}

// Sorts a 0/1 column's link values into the x = 1 and x = 0 sides, given
// those of the rows' own xb and of the counterfactual side. Writes
// f(x = 1) - f(x = 0) into pdf_difference, and adds the sums of F(x = 1),
// F(x = 0) and f(x = 1), even and odd rows apart, into sums.
void sort_sides(const double* __restrict x, const double* __restrict cdf_own,
                const double* __restrict cdf_other, const double* __restrict pdf_own,
                const double* __restrict pdf_other, double* __restrict pdf_difference,
                std::ptrdiff_t m, DiscreteChangeSums& sums) {
    Pair cdf_one{}, cdf_zero{}, pdf_one{};
    in_pairs(m, [&](std::ptrdiff_t i, std::ptrdiff_t count) {
        const PairMask one = load_pair(x + i, count) == 1.0;
        const Pair c_own = load_pair(cdf_own + i, count), c_other = load_pair(cdf_other + i, count);
        const Pair d_own = load_pair(pdf_own + i, count), d_other = load_pair(pdf_other + i, count);
        const Pair d_one = one ? d_own : d_other;
        const Pair d_zero = one ? d_other : d_own;
        cdf_one += one ? c_own : c_other;
        cdf_zero += one ? c_other : c_own;
        pdf_one += d_one;
        store_pair(pdf_difference + i, d_one - d_zero, count);
    });
    sums.cdf_one += total(cdf_one);
    sums.cdf_zero += total(cdf_zero);
    sums.pdf_one += total(pdf_one);
}

// Adds the terms and writes the density differences for a coefficient that is
// not finite, where a zero times b is NaN: both sides are evaluated as written.
template <ModelKind K>
void add_literally(const double* x, double b, const double* xb, std::ptrdiff_t m,
                   double* pdf_difference, DiscreteChangeSums& sums) {
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const double v = xb[i];
        const double v_one = v + ((1.0 - x[i]) * b);
        const double v_zero = v + ((-x[i]) * b);
        const double d_one = LinkFormulas<K>::pdf(v_one);
        sums.cdf_one += LinkFormulas<K>::cdf(v_one);
        sums.cdf_zero += LinkFormulas<K>::cdf(v_zero);
        sums.pdf_one += d_one;
        pdf_difference[i] = d_one - LinkFormulas<K>::pdf(v_zero);
    }
}

}  // namespace

// For a finite coefficient b, a row with x = 1 has xb_one equal to its own
// xb (the added (1 - x) b is a zero), and a row with x = 0 has xb_zero equal
// to it, so only the counterfactual side needs new link values: xb - b or
// xb + b, which is what xb + (-x) b and xb + (1 - x) b give for those x.
template <ModelKind K>
bool add_discrete_change(const double* x, double b, std::ptrdiff_t m, BlockScratch& scratch,
                         double* pdf_difference, DiscreteChangeSums& sums) {
    if (!std::isfinite(b)) {
        if (!only_zero_one(x, m)) return false;
        add_literally<K>(x, b, scratch.xb.data(), m, pdf_difference, sums);
        return true;
    }
    if (!counterfactual(x, scratch.xb.data(), b, scratch.other_xb.data(), m)) return false;
    link_values<K>(scratch.other_xb.data(), scratch.other_cdf.data(), scratch.other_pdf.data(), m,
                   scratch.link.data());
    sort_sides(x, scratch.cdf.data(), scratch.other_cdf.data(), scratch.pdf.data(),
               scratch.other_pdf.data(), pdf_difference, m, sums);
    return true;
}

#define VELMORA_INSTANTIATE(link)                       \
    template bool add_discrete_change<ModelKind::link>( \
        const double*, double, std::ptrdiff_t, BlockScratch&, double*, DiscreteChangeSums&);
VELMORA_LINKS(VELMORA_INSTANTIATE)
#undef VELMORA_INSTANTIATE

void add_discrete_change_sums(std::size_t j, const DiscreteChangeSums& sums,
                              std::span<const double> gradient_sums, EffectAccumulators& acc) {
    const std::size_t k = gradient_sums.size();
    const double delta = sums.cdf_one - sums.cdf_zero;
    acc.ame_sums_per_obs[j] += delta;
    acc.ame_sums_sm[j] += delta;
    for (std::size_t l = 0; l < k; ++l) {
        const double g = l == j ? sums.pdf_one : gradient_sums[l];
        acc.jacobian_per_obs[j * k + l] += g;
        acc.jacobian_sm[j * k + l] += g;
    }
}

}  // namespace velmora::engine
