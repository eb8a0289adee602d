// Delta-method covariance of the average marginal effects.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/accumulators.hpp"
#include "engine/fault.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

struct FinalEffects {
    std::vector<double> ames;        // k average marginal effects
    std::vector<double> std_errors;  // k delta-method standard errors
};

// Returns the AMEs (sums / n) and the square roots of the positive diagonal of
// V = (J Sigma) J^T, J the selected Jacobian divided by n and Sigma cov_params.
EngineResult<FinalEffects> finalise_effects(std::uint64_t n, std::size_t k, SeMethod method,
                                            const EffectAccumulators& acc,
                                            const MatrixView& cov_params);

}  // namespace velmora::engine
