#include "engine/glm_family.hpp"

#include <cmath>
#include <limits>

#include "engine/gamma_functions.hpp"
#include "engine/link_domain.hpp"

namespace velmora::engine {
namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double log_two_pi = 1.8378770664093453;
// What statsmodels adds to mu and 1 - mu inside the binomial's logarithms.
constexpr double binomial_guard = 1e-20;

// Returns x, or eps where x is below it (NaN stays NaN).
double at_least_eps(double x) { return x < eps ? eps : x; }

double poisson_of_mean(double y, double mu, double w, double phi) {
    return (w / phi) * ((y * std::log(mu)) - mu);
}

double poisson_constant(double y, double w, double phi) { return -(w / phi) * log_gamma(y + 1.0); }

double gamma_of_mean(double y, double mu, double w, double phi) {
    const double ratio = at_least_eps(y / mu);
    const double ws = w / phi;
    return (ws * std::log(ws * ratio)) - (ws * ratio);
}

double gamma_constant(double y, double w, double phi) {
    return -(log_gamma(w / phi) + std::log(y));
}

double poisson_deviance(double y, double mu) {
    return 2.0 * ((y * std::log(at_least_eps(y / mu))) - (y - mu));
}

double gamma_deviance(double y, double mu) {
    return 2.0 * (-std::log(at_least_eps(y / mu)) + (y - mu) / mu);
}

}  // namespace

double Family::variance(double mu) const {
    switch (kind) {
        case FamilyKind::binomial: {
            const double p = std::min(std::max(mu, eps), 1.0 - eps);
            return p * (1.0 - p);
        }
        case FamilyKind::poisson:
            return std::fabs(mu);
        case FamilyKind::gaussian:
            return 1.0;
        case FamilyKind::gamma:
            return std::pow(std::fabs(mu), 2.0);
        case FamilyKind::inverse_gaussian:
            return std::pow(std::fabs(mu), 3.0);
        case FamilyKind::negative_binomial: {
            const double p = std::max(mu, eps);
            return p + parameter * (p * p);
        }
        case FamilyKind::tweedie:
            return std::pow(std::fabs(mu), parameter);
    }
    return 0.0;
}

double Family::variance_derivative(double mu) const {
    const auto power = [&](double p) {
        const double d = p * std::pow(std::fabs(mu), p - 1.0);
        return mu < 0.0 ? -d : d;
    };
    switch (kind) {
        case FamilyKind::binomial: {
            const double p = std::min(std::max(mu, eps), 1.0 - eps);
            return 1.0 - 2.0 * p;
        }
        case FamilyKind::poisson:
            return power(1.0);
        case FamilyKind::gaussian:
            return 0.0;
        case FamilyKind::gamma:
            return power(2.0);
        case FamilyKind::inverse_gaussian:
            return power(3.0);
        case FamilyKind::negative_binomial:
            return 1.0 + 2.0 * parameter * std::max(mu, eps);
        case FamilyKind::tweedie:
            return power(parameter);
    }
    return 0.0;
}

double Family::loglik_of_mean(double y, double mu, double w, double phi) const {
    switch (kind) {
        case FamilyKind::binomial: {
            const double odds = (mu + binomial_guard) / ((1.0 - mu) + binomial_guard);
            return (y * std::log(odds) + std::log((1.0 - mu) + binomial_guard)) * w;
        }
        case FamilyKind::poisson:
            return poisson_of_mean(y, mu, w, phi);
        case FamilyKind::gaussian: {
            const double r = y - mu;
            return ((-(w * (r * r)) / phi - std::log(phi / w)) - log_two_pi) / 2.0;
        }
        case FamilyKind::gamma:
            return gamma_of_mean(y, mu, w, phi);
        case FamilyKind::inverse_gaussian: {
            const double r = y - mu;
            return ((-(w * (r * r)) / (phi * y * (mu * mu)) - std::log(phi * (y * y * y) / w)) -
                    log_two_pi) /
                   2.0;
        }
        case FamilyKind::negative_binomial: {
            const double alpha = parameter, size = 1.0 / alpha;
            return (w / phi) * (y * std::log(alpha * mu) - (y + size) * std::log1p(alpha * mu));
        }
        case FamilyKind::tweedie: {
            const double p = parameter;
            if (p == 1.0) return poisson_of_mean(y, mu, w, phi);
            if (p == 2.0) return gamma_of_mean(y, mu, w, phi);
            if (p < 1.0 || p > 2.0) return std::numeric_limits<double>::quiet_NaN();
            const double theta = std::pow(mu, 1.0 - p) / (1.0 - p);
            const double kappa = std::pow(mu, 2.0 - p) / (2.0 - p);
            return (y * theta - kappa) / (phi / w);
        }
    }
    return 0.0;
}

double Family::loglik_constant(double y, double w, double phi) const {
    switch (kind) {
        case FamilyKind::binomial:
            return (log_gamma(2.0) - log_gamma(y + 1.0) - log_gamma(2.0 - y)) * w;
        case FamilyKind::poisson:
            return poisson_constant(y, w, phi);
        case FamilyKind::gamma:
            return gamma_constant(y, w, phi);
        case FamilyKind::negative_binomial: {
            const double size = 1.0 / parameter;
            return (w / phi) * ((log_gamma(y + size) - log_gamma(size)) - log_gamma(y + 1.0));
        }
        case FamilyKind::tweedie:
            if (parameter == 1.0) return poisson_constant(y, w, phi);
            if (parameter == 2.0) return gamma_constant(y, w, phi);
            return 0.0;
        case FamilyKind::gaussian:
        case FamilyKind::inverse_gaussian:
            return 0.0;
    }
    return 0.0;
}

double Family::unit_deviance(double y, double mu) const {
    switch (kind) {
        case FamilyKind::binomial: {
            const double at_one = at_least_eps(y / (mu + binomial_guard));
            const double at_zero = at_least_eps((1.0 - y) / ((1.0 - mu) + binomial_guard));
            return 2.0 * (y * std::log(at_one) + (1.0 - y) * std::log(at_zero));
        }
        case FamilyKind::poisson:
            return poisson_deviance(y, mu);
        case FamilyKind::gaussian:
            return (y - mu) * (y - mu);
        case FamilyKind::gamma:
            return gamma_deviance(y, mu);
        case FamilyKind::inverse_gaussian:
            return (1.0 / (y * (mu * mu))) * ((y - mu) * (y - mu));
        case FamilyKind::negative_binomial: {
            const double size = 1.0 / parameter;
            const double y_size = y + size, mu_size = mu + size;
            return 2.0 * (y * std::log(at_least_eps(y / mu)) - y_size * std::log(y_size / mu_size));
        }
        case FamilyKind::tweedie: {
            const double p = parameter;
            if (p == 1.0) {
                return 2.0 * (y == 0.0 ? mu : (y * std::log(y / mu) + (mu - y)));
            }
            if (p == 2.0) return 2.0 * ((y - mu) / mu - std::log(at_least_eps(y) / mu));
            return 2.0 * ((std::pow(y, 2.0 - p) / ((1.0 - p) * (2.0 - p)) -
                           y * std::pow(mu, 1.0 - p) / (1.0 - p)) +
                          std::pow(mu, 2.0 - p) / (2.0 - p));
        }
    }
    return 0.0;
}

bool Family::takes_outcome(double y) const {
    if (!std::isfinite(y)) return false;
    switch (kind) {
        case FamilyKind::binomial:
            return y >= 0.0 && y <= 1.0;
        case FamilyKind::poisson:
        case FamilyKind::negative_binomial:
        case FamilyKind::tweedie:
            return y >= 0.0;
        case FamilyKind::gamma:
        case FamilyKind::inverse_gaussian:
            return y > 0.0;
        case FamilyKind::gaussian:
            return true;
    }
    return true;
}

bool Family::takes_mean(double mu) const {
    switch (kind) {
        case FamilyKind::binomial:
            return !(mu < 0.0 || mu > 1.0);
        case FamilyKind::poisson:
        case FamilyKind::negative_binomial:
            return !(mu < 0.0);
        case FamilyKind::gamma:
        case FamilyKind::inverse_gaussian:
        case FamilyKind::tweedie:
            return !(mu <= 0.0);
        case FamilyKind::gaussian:
            return true;
    }
    return true;
}

std::string Family::outcome_fault(std::ptrdiff_t row, double y) const {
    std::string want;
    if (!std::isfinite(y)) {
        want = "be finite";
    } else {
        switch (kind) {
            case FamilyKind::binomial:
                want = "lie in [0, 1]";
                break;
            case FamilyKind::gamma:
            case FamilyKind::inverse_gaussian:
                want = "be above 0";
                break;
            default:
                want = "be at least 0";
                break;
        }
    }
    return "y must " + want + " for the " + std::string(family_name(kind)) + " family; row " +
           std::to_string(row) + " holds " + number_text(y);
}

std::string Family::mean_fault(std::ptrdiff_t row, double mu, double v) const {
    const char* range = kind == FamilyKind::binomial ? "lie in [0, 1]"
                        : kind == FamilyKind::poisson || kind == FamilyKind::negative_binomial
                            ? "be at least 0"
                            : "be above 0";
    return "the predicted mean must " + std::string(range) + " for the " +
           std::string(family_name(kind)) + " family; at row " + std::to_string(row) + " it is " +
           number_text(mu) + " (linear predictor " + number_text(v) + ")";
}

bool Family::fixed_scale() const {
    return kind == FamilyKind::binomial || kind == FamilyKind::poisson ||
           kind == FamilyKind::negative_binomial;
}

}  // namespace velmora::engine
