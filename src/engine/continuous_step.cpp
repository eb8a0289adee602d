#include "engine/continuous_step.hpp"

#include "engine/link_arrays.hpp"
#include "engine/pairs.hpp"

namespace velmora::engine {

template <ModelKind K>
void add_continuous_block(SeMethod method, std::ptrdiff_t m, const BlockScratch& scratch,
                          double* weights, double& pdf_sum) {
    const double* v = scratch.xb.data();
    const double* f = scratch.pdf.data();
    pdf_sum += sum_of(f, m);
    if (method == SeMethod::per_observation) {
        for (std::ptrdiff_t i = 0; i < m; ++i) weights[i] = v[i] * f[i];
    } else {
        pdf_derivative_array<K>(v, scratch.cdf.data(), f, weights, m);
    }
}

#define VELMORA_INSTANTIATE(link)                                                 \
    template void add_continuous_block<ModelKind::link>(SeMethod, std::ptrdiff_t, \
                                                        const BlockScratch&, double*, double&);
VELMORA_LINKS(VELMORA_INSTANTIATE)
#undef VELMORA_INSTANTIATE

void add_continuous_sums(SeMethod method, std::span<const std::size_t> columns,
                         std::span<const double> beta, double pdf_sum,
                         std::span<const double> gradient_sums, EffectAccumulators& acc) {
    const std::size_t k = gradient_sums.size();
    const double* t = gradient_sums.data();
    const double s = pdf_sum;
    for (const std::size_t j : columns) {
        const double b = beta[j];
        if (method == SeMethod::per_observation) {
            acc.ame_sums_per_obs[j] = (s * b) + acc.ame_sums_per_obs[j];
            for (std::size_t l = 0; l < k; ++l) {
                const double r = l == j ? s : t[l] * (-b);
                acc.jacobian_per_obs[j * k + l] = r + acc.jacobian_per_obs[j * k + l];
            }
        } else {
            acc.ame_sums_sm[j] = (s * b) + acc.ame_sums_sm[j];
            for (std::size_t l = 0; l < k; ++l) {
                const double r = l == j ? (t[l] * b) + s : t[l] * b;
                acc.jacobian_sm[j * k + l] = r + acc.jacobian_sm[j * k + l];
            }
        }
    }
}

}  // namespace velmora::engine
