// Sums behind effects by variable: derivatives along a variable and changes between
// the levels of a factor, each with its gradient by the coefficients.
//
// A contrast changes a few columns of each design row, the columns that involve its
// variable. A derivative contrast gives, per row, the derivative of each of those
// columns by the variable; the row's effect term is f(x b) * sum_s b_s D_s. A level
// contrast gives, per row, the values of those columns with the factor set to a level
// L and to the base level B; the row's term is F(x(L) b) - F(x(B) b). Every term is
// weighted by the row's weight; the caller divides the sums by the sum of the weights.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// The derivatives of the changed columns: row i, column s is d x_{i, columns[s]} / d v.
// A view with row stride 0 holds the same derivatives for every row.
struct DerivativeContrast {
    std::vector<std::ptrdiff_t> columns;
    MatrixView slopes;  // rows x columns.size()
};

// The changed columns of a factor's rows at its base level and at each other level.
// Views with row stride 0 hold the same values for every row.
//
// two_valued marks one changed column, one level, both sides the same in every row,
// and a column of X that holds only those two values (a 0/1 variable, say): then each
// row is on one of the sides already, and only the other side's link values are new.
struct LevelContrasts {
    std::vector<std::ptrdiff_t> columns;
    MatrixView base;                 // rows x columns.size()
    std::vector<MatrixView> levels;  // one per contrast, each rows x columns.size()
    bool two_valued = false;
};

struct ContrastSet {
    std::vector<DerivativeContrast> derivatives;
    std::vector<LevelContrasts> level_contrasts;

    // Returns how many effects the set has: one per derivative and per level.
    std::size_t count() const;
};

// The weighted sums of the effect terms and of their gradients, in the order of the
// set: the derivatives first, then the levels of each factor in turn.
struct ContrastSums {
    std::vector<double> effects;    // one per effect
    std::vector<double> gradients;  // effects x k, row-major
    double weight = 0.0;            // the sum of the weights

    ContrastSums(std::size_t count, std::size_t k) : effects(count), gradients(count * k) {}
};

// Adds the terms of the rows of x to sums. weights holds one weight per row, or no
// values for weights of 1. The sums of this call are formed first, then added.
EngineResult<void> add_contrast_sums(ModelKind kind, VectorView beta, const MatrixView& x,
                                     VectorView weights, const ContrastSet& set,
                                     ContrastSums& sums);

}  // namespace velmora::engine
