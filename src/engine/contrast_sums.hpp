// Sums behind effects by variable and predictions: derivatives along a variable,
// changes between the levels of a factor and predictions, each with its gradient by the
// coefficients.
//
// With F the link's inverse, f = F' and f' = F'', a term is taken at the rows
// themselves or at a side: the design rows x with a few columns replaced by given
// values, x~, whose linear predictor is x~ b.
//
// Every linear predictor, at the rows or at a side, holds the row's offset where the call
// has offsets.
//
// A derivative contrast gives, per row, the derivatives D of the columns that involve its
// variable; with d = sum_s b_s D_s the row's term is c f(x~ b) d / F(x~ b)^p, with c a
// multiplier of the row (1 without one) and p 0 or 1. A level contrast gives, per row,
// the values of the columns that involve a factor with the factor set to a level L and
// to the base level B; the row's term is F(x(L) b) - F(x(B) b). A prediction's term is
// F(x~ b). Every term is weighted by the row's weight; the caller divides the sums by
// the sum of the weights.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/design_rows.hpp"
#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/strided.hpp"

namespace velmora::engine {

// Where a term is taken: the rows with columns of X replaced by values, or with no
// columns, the rows themselves. A view with row stride 0, or of one row, holds the same
// values for every row.
struct Side {
    std::vector<std::ptrdiff_t> columns;
    MatrixView values;  // rows x columns.size()
};

// The derivatives of the changed columns: row i, column s is d x_{i, columns[s]} / d v.
// A view with row stride 0 holds the same derivatives for every row.
struct DerivativeContrast {
    std::vector<std::ptrdiff_t> columns;
    MatrixView slopes;            // rows x columns.size()
    Side side{};                  // where f and F are taken: the rows themselves unless given
    VectorView multiplier{};      // c, one per row; no values for 1
    bool per_prediction = false;  // p = 1: the term divided by F
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
    std::vector<Side> predictions;  // F at each side

    // Returns how many effects the set has: one per derivative, per level and per
    // prediction.
    std::size_t count() const;
};

// The weighted sums of the effect terms and of their gradients, in the order of the
// set: the derivatives first, then the levels of each factor in turn, then the
// predictions.
struct ContrastSums {
    std::vector<double> effects;    // one per effect
    std::vector<double> gradients;  // effects x k, row-major
    double weight = 0.0;            // the sum of the weights

    ContrastSums(std::size_t count, std::size_t k) : effects(count), gradients(count * k) {}
};

// Adds the terms of the rows of x to sums. weights holds one weight per row, or no
// values for weights of 1; offset one value per row, added to the linear predictor of
// the row and of each of its sides, or no values. The sums of this call are formed
// first, then added. A linear predictor that the link refuses (see link_domain.hpp),
// at the rows or at a side where a term takes it, is a bad_value fault.
EngineResult<void> add_contrast_sums(ModelKind kind, VectorView beta, const DesignRows& x,
                                     VectorView weights, const ContrastSet& set, ContrastSums& sums,
                                     VectorView offset = {});

}  // namespace velmora::engine
