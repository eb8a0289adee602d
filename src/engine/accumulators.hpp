// The sums a pass fills, and the standard-error method that picks which of them are read.
#pragma once

#include <cstddef>
#include <vector>

namespace velmora::engine {

// How the gradient of a continuous column's effect is formed.
enum class SeMethod {
    per_observation,    // "kova"
    statsmodels_style,  // "sm"
    unrecognised,       // any other text: continuous columns add nothing
};

// The sums of the pass: k effects and a k x k row-major Jacobian for each method.
struct EffectAccumulators {
    std::vector<double> ame_sums_per_obs;
    std::vector<double> jacobian_per_obs;
    std::vector<double> ame_sums_sm;
    std::vector<double> jacobian_sm;

    explicit EffectAccumulators(std::size_t k)
        : ame_sums_per_obs(k), jacobian_per_obs(k * k), ame_sums_sm(k), jacobian_sm(k * k) {}
};

}  // namespace velmora::engine
