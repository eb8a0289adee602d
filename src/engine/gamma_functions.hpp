// The gamma function's logarithm and its first two derivatives (digamma, trigamma), for
// the count and GLM log-likelihoods.
//
// digamma and trigamma move x up by their recurrences, psi(x) = psi(x + 1) - 1 / x and
// psi'(x) = psi'(x + 1) + 1 / x^2, until it is at least 10, and take the asymptotic
// series there, whose first omitted term is below 1e-16 of the value. The differences
// psi(a + y) - psi(a) and psi'(a + y) - psi'(a) of a whole count y below
// exact_count_limit are taken as the finite sums they are, which keeps the digits that
// the difference of two nearly equal values would lose where a is large.
#pragma once

#include <cmath>

namespace velmora::engine {

// Returns log |Gamma(x)|; unlike std::lgamma it writes no global, so threads may share it.
inline double log_gamma(double x) {
    int sign = 0;
    return ::lgamma_r(x, &sign);
}

// Returns psi(x), the derivative of log Gamma, for x > 0.
inline double digamma(double x) {
    double shift = 0.0;
    while (x < 10.0) {
        shift += 1.0 / x;
        x += 1.0;
    }
    const double r = 1.0 / (x * x);
    // Bernoulli numbers: B_2k / (2k) for k = 1 .. 7.
    const double series =
        r *
        (1.0 / 12 - r * (1.0 / 120 -
                         r * (1.0 / 252 -
                              r * (1.0 / 240 - r * (1.0 / 132 - r * (691.0 / 32760 - r / 12.0))))));
    return ((std::log(x) - 0.5 / x) - series) - shift;
}

// Returns psi'(x), the second derivative of log Gamma, for x > 0.
inline double trigamma(double x) {
    double shift = 0.0;
    while (x < 10.0) {
        shift += 1.0 / (x * x);
        x += 1.0;
    }
    const double z = 1.0 / x, r = z * z;
    // 1/x + 1/(2x^2) + sum_k B_2k / x^(2k+1).
    const double series =
        z * r *
        (1.0 / 6 -
         r * (1.0 / 30 -
              r * (1.0 / 42 - r * (1.0 / 30 - r * (5.0 / 66 - r * (691.0 / 2730 - r * 7.0 / 6))))));
    return ((z + 0.5 * r) + series) + shift;
}

inline constexpr double exact_count_limit = 64.0;

// Returns psi(a + y) - psi(a), for a > 0 and y >= 0.
inline double digamma_difference(double a, double y) {
    if (y < exact_count_limit && y == std::floor(y)) {
        double sum = 0.0;
        for (double j = 0.0; j < y; j += 1.0) sum += 1.0 / (a + j);
        return sum;
    }
    return digamma(a + y) - digamma(a);
}

// Returns psi'(a + y) - psi'(a), for a > 0 and y >= 0.
inline double trigamma_difference(double a, double y) {
    if (y < exact_count_limit && y == std::floor(y)) {
        double sum = 0.0;
        for (double j = 0.0; j < y; j += 1.0) sum += 1.0 / ((a + j) * (a + j));
        return -sum;
    }
    return trigamma(a + y) - trigamma(a);
}

}  // namespace velmora::engine
