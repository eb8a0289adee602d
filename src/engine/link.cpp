#include "engine/link.hpp"

#include <string>

namespace velmora::engine {
namespace {

// Applies op to every element of v, testing the model kind once for the array.
template <class Logit, class Probit>
EngineResult<void> apply(ModelKind kind, VectorView v, std::span<double> out, Logit logit,
                         Probit probit) {
    if (v.size < 0 || static_cast<std::size_t>(v.size) != out.size()) {
        return internal_fault("link kernel: input of " + std::to_string(v.size) +
                              " values, output of " + std::to_string(out.size()));
    }
    if (kind == ModelKind::logit) {
        for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = logit(v[i]);
    } else {
        for (std::ptrdiff_t i = 0; i < v.size; ++i) out[static_cast<std::size_t>(i)] = probit(v[i]);
    }
    return {};
}

}  // namespace

EngineResult<void> link_cdf(ModelKind kind, VectorView v, std::span<double> out) {
    return apply(kind, v, out, logit_cdf, standard_normal_cdf);
}

EngineResult<void> link_pdf(ModelKind kind, VectorView v, std::span<double> out) {
    return apply(kind, v, out, logit_pdf, probit_pdf);
}

EngineResult<void> link_pdf_derivative(ModelKind kind, VectorView v, std::span<double> out) {
    return apply(
        kind, v, out, [](double x) { return logit_pdf_derivative(logit_cdf(x), logit_pdf(x)); },
        [](double x) { return probit_pdf_derivative(x, probit_pdf(x)); });
}

}  // namespace velmora::engine
