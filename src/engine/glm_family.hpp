// The families of generalized linear models: for each, the variance function V(mu) and
// its derivative, the log-likelihood of one row and its unit deviance, and the outcomes
// and means the family takes.
//
// Row i has the outcome y, the mean mu = F(v) of the link's inverse F at its linear
// predictor, a variance weight w (1 without one) and the scale phi. The log-likelihood
// and the deviance follow statsmodels' definitions family by family (the binomial with
// one trial per row, y a proportion); the clipping of y / mu at the smallest double above
// 0 that statsmodels applies inside logarithms is applied here too, so that a row with
// y = 0 adds what it adds there. Tweedie's log-likelihood for a power strictly between 1
// and 2 is (y theta - kappa) w / phi, without the series term of the rows with y > 0,
// which depends on y, w and phi only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/fault.hpp"

// The families, X(name) for each, in the order of their values.
#define VELMORA_FAMILIES(X) \
    X(binomial) X(poisson) X(gaussian) X(gamma) X(inverse_gaussian) X(negative_binomial) X(tweedie)

namespace velmora::engine {

enum class FamilyKind : std::uint8_t {
#define VELMORA_FAMILY_ENUMERATOR(name) name,
    VELMORA_FAMILIES(VELMORA_FAMILY_ENUMERATOR)
#undef VELMORA_FAMILY_ENUMERATOR
};

// Every family, in the order of FamilyKind.
inline constexpr std::array all_families{
#define VELMORA_FAMILY_VALUE(name) FamilyKind::name,
    VELMORA_FAMILIES(VELMORA_FAMILY_VALUE)
#undef VELMORA_FAMILY_VALUE
};

// The families' names ("binomial", "poisson", ...), in the order of FamilyKind.
inline constexpr std::array family_names{
#define VELMORA_FAMILY_NAME(name) std::string_view(#name),
    VELMORA_FAMILIES(VELMORA_FAMILY_NAME)
#undef VELMORA_FAMILY_NAME
};

// Returns the name of a family.
constexpr std::string_view family_name(FamilyKind kind) {
    return family_names[static_cast<std::size_t>(kind)];
}

// Returns the family of the given name, or none.
constexpr std::optional<FamilyKind> family_named(std::string_view name) {
    for (const FamilyKind kind : all_families) {
        if (family_name(kind) == name) return kind;
    }
    return std::nullopt;
}

// A family with its parameter: alpha of the negative binomial (V = mu + alpha mu^2), the
// power p of the Tweedie family (V = mu^p); the others have none.
struct Family {
    FamilyKind kind = FamilyKind::gaussian;
    double parameter = 1.0;

    // Returns V(mu) and V'(mu).
    double variance(double mu) const;
    double variance_derivative(double mu) const;

    // The log-likelihood of a row of outcome y and mean mu, with variance weight w, at the
    // scale phi, is loglik_of_mean plus loglik_constant: the terms in y, w and phi alone
    // (log-gamma functions of the outcome), the same at every mean, so that no step of a
    // fit depends on them; loglik_constant is 0 for the families whose terms are not set
    // apart.
    double loglik_of_mean(double y, double mu, double w, double phi) const;
    double loglik_constant(double y, double w, double phi) const;

    // Returns the row's unit deviance, before its weights.
    double unit_deviance(double y, double mu) const;

    // Returns whether the family takes the outcome y, and the mean mu.
    bool takes_outcome(double y) const;
    bool takes_mean(double mu) const;

    // Returns the text of a refused outcome, y at the given row, and of a refused mean.
    std::string outcome_fault(std::ptrdiff_t row, double y) const;
    std::string mean_fault(std::ptrdiff_t row, double mu, double v) const;

    // Returns whether the family has a scale of 1 rather than one estimated from the data.
    bool fixed_scale() const;
};

}  // namespace velmora::engine
