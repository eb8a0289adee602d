// The design and helpers that the tests of contrast_sums share: a design of a few kinds
// of columns over n rows, views of values the same in every row, and the engine's sums.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/contrast_sums.hpp"

namespace velmora::test::contrasts {

using namespace velmora::engine;

// Returns an index as a size_t.
inline std::size_t idx(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

// The design: an intercept; a 0/1 column; three continuous columns; two dummies of a
// factor of three levels; a column that holds only -1 and 3.
struct Design {
    std::ptrdiff_t n = 0, k = 8;
    std::vector<double> values;  // row-major n x k
    std::vector<double> weights;
    std::vector<double> beta{-0.2, 0.7, 0.4, -0.9, 0.3, 0.6, -0.5, 0.25};
    // Per-row sides and slopes.
    std::vector<double> squares_slopes, level_base, level_side;

    double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const { return values[idx(i * k + j)]; }
};

// Returns the design of n rows, drawn from a fixed seed.
inline Design make_design(std::ptrdiff_t n) {
    Design d;
    d.n = n;
    d.values.resize(idx(n * d.k));
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> three(0, 2), four(0, 3);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* row = d.values.data() + i * d.k;
        const int level = three(rng);
        row[0] = 1.0;
        row[1] = four(rng) == 0 ? 1.0 : 0.0;
        row[2] = normal(rng);
        row[3] = 1.5 * normal(rng);
        row[4] = row[3] * row[3];  // the square of column 3
        row[5] = level == 1 ? 1.0 : 0.0;
        row[6] = level == 2 ? 1.0 : 0.0;
        row[7] = four(rng) < 2 ? -1.0 : 3.0;
        d.weights.push_back(static_cast<double>(four(rng)));  // zeros among them
        // d x3 / d x3 = 1 and d x4 / d x3 = 2 x3, per row.
        d.squares_slopes.push_back(1.0);
        d.squares_slopes.push_back(2.0 * row[3]);
        // Column 2 set to a value of the row's own, and to another.
        d.level_base.push_back(0.5 * row[3]);
        d.level_side.push_back(row[3] - 1.0);
    }
    return d;
}

// Returns the coefficients of the design for a link: its own, but for links whose
// predictions would otherwise cross 0 (identity) or leave the link's domain, an intercept
// that keeps every linear predictor of the design and its sides above 0 (at least 1.8
// with 5 more, the identity's, for the terms divided by the prediction).
inline std::vector<double> beta_for(ModelKind kind, const Design& d) {
    std::vector<double> beta = d.beta;
    if (kind == ModelKind::identity) beta[0] += 5.0;
    if (kind == ModelKind::sqrt || kind == ModelKind::inverse_power ||
        kind == ModelKind::inverse_squared) {
        beta[0] += 6.0;
    }
    return beta;
}

// A view of values that are the same in every row.
inline MatrixView constant(const double* values, std::ptrdiff_t count) {
    return {values, 1, count, 0, 1};
}

// Returns the largest absolute value among v[begin, end).
inline double largest(const std::vector<double>& v, std::size_t begin, std::size_t end) {
    double m = 0.0;
    for (std::size_t i = begin; i < end; ++i) m = std::max(m, std::fabs(v[i]));
    return m;
}

// Returns a view of a vector.
inline VectorView vector_of(const std::vector<double>& v) {
    return {v.data(), static_cast<std::ptrdiff_t>(v.size()), 1};
}

// Returns the engine's sums of the set over the rows of x, checked to have no fault.
inline ContrastSums engine_sums(ModelKind kind, const std::vector<double>& beta,
                                const MatrixView& x, const std::vector<double>* w,
                                const ContrastSet& set) {
    ContrastSums sums(set.count(), idx(x.cols));
    const auto done =
        add_contrast_sums(kind, vector_of(beta), x, w ? vector_of(*w) : VectorView{}, set, sums);
    CHECK(done.has_value(), "fault: %s", done ? "" : done.error().detail.c_str());
    return sums;
}

}  // namespace velmora::test::contrasts
