// The derivative contrasts and the predictions of contrast_sums, each taken at a point:
// the rows themselves or a side (see contrast_sums.hpp).
//
// Per block, each point's linear predictor x~ b and its link values are formed once,
// for every term taken there. The rows themselves take the pass's own xb, F and f; a
// side's x~ b is xb less the part of its columns, which the sides of those columns
// share, plus the side's part: one addition per row for a side that is the same in
// every row.
//
// A derivative's term h = c f(v) d / F(v)^p at v = x~ b has the gradient
// dh/dv x~ + dh/dd D, with D in the slopes' columns. With e0 = f and e1 = f' for p = 0,
// e0 = f / F and e1 = d(f / F)/dv for p = 1, h = c e0 d, dh/dv = c e1 d and dh/dd = c e0:
// per row, with u = w c, the effect weight a = u e0 (the effect adds a d and the gradient
// a D) and the product's weight u e1 d. Derivatives at one point with one multiplier and
// one p share a and u e1 ("a series"); those whose slopes are the same in every row also
// share their weight column and the sum of a, and take d and D at the end. A
// prediction's term is F, with the effect weight w F and the product's weight w f.
//
// The product X^T W sums over the rows of X; in the columns a side replaces, the
// gradient takes the sums over the side's values instead, added apart.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/contrast_block.hpp"
#include "engine/contrast_sums.hpp"
#include "engine/fault.hpp"
#include "engine/link.hpp"

namespace velmora::engine {

class PointTerms {
  public:
    PointTerms(const ContrastSet& set, std::ptrdiff_t k);

    // Returns how many weight columns the derivatives write, and the predictions.
    std::ptrdiff_t derivative_width() const { return derivative_width_; }
    std::ptrdiff_t prediction_width() const {
        return static_cast<std::ptrdiff_t>(predictions_.size());
    }

    // Returns whether the terms read F, and f, of the rows' own xb.
    bool reads_own_cdf(ModelKind kind) const;
    bool reads_own_pdf() const;

    // Sizes the working memory for blocks of up to block_rows rows.
    void allocate(std::ptrdiff_t block_rows);

    // Adds one block's terms: the derivatives' weight columns from derivative_column on,
    // the predictions' from prediction_column on. A side's linear predictor that the link
    // refuses is a bad_value fault.
    template <ModelKind K>
    EngineResult<void> add_block(const ContrastBlock& block, std::ptrdiff_t derivative_column,
                                 std::ptrdiff_t prediction_column);

    // Adds the call's sums into sums: the derivatives' effects and gradient rows first,
    // then the predictions' from first_prediction on. The products hold k values per
    // weight column, from the first column of the derivatives and of the predictions.
    void add_into(const double* derivative_products, const double* prediction_products,
                  const double* beta, std::size_t first_prediction, ContrastSums& sums) const;

  private:
    // Where terms are taken.
    struct Point {
        const Side* side = nullptr;  // none for the rows themselves
        std::size_t column_set = 0;  // a side's columns among column_sets_
        bool cdf = false;            // whether its terms read F,
        bool derivative = false;     // f',
        bool ratios = false;         // and f / F with its derivative
        std::vector<std::size_t> series, predictions;
    };
    // Derivatives that share their per-row weights.
    struct Series {
        std::size_t point = 0;
        VectorView multiplier;
        bool per_prediction = false;
        bool in_row_order = false;                   // sums the effect weights in row order
        std::vector<std::size_t> constant, varying;  // derivatives by their slopes
        std::ptrdiff_t column = -1;                  // the constant ones' weight column
        double effect_weight = 0.0;                  // the sum of a
        std::vector<double> side_sums;               // and of u e1 times the side's values
    };
    // What a term adds up over the call.
    struct TermSums {
        std::ptrdiff_t column = -1;
        double effect = 0.0;
        std::vector<double> direct;     // a derivative's sums of a D
        std::vector<double> side_sums;  // the weight column times the side's values
    };

    std::size_t point_of(const Side& side);
    void add_series(const ContrastBlock& block, Series& s, const double* e0, const double* e1,
                    std::ptrdiff_t column);
    const double* multiplied_weights(const ContrastBlock& block, const VectorView& multiplier);
    void add_prediction(const ContrastBlock& block, const Point& p, std::size_t j,
                        const double* cdf, const double* pdf, std::ptrdiff_t column);
    void fill_rests(const ContrastBlock& block);
    const double* side_predictor(const ContrastBlock& block, const Point& p);
    void add_gradient(const double* product, const Point& p, const std::vector<double>& side_sums,
                      double scale, double* g) const;

    const ContrastSet& set_;
    std::size_t k_;
    std::vector<Point> points_;
    std::vector<std::vector<std::ptrdiff_t>> column_sets_;
    std::vector<Series> series_;
    std::vector<std::size_t> series_of_;  // each derivative's series
    std::vector<TermSums> derivatives_, predictions_;
    std::ptrdiff_t derivative_width_ = 0;

    // Per block: the rows' linear predictors less each column set's part, and the link
    // values and weights of the point in hand.
    std::vector<std::vector<double>> rests_;
    std::vector<double> eta_, cdf_, pdf_, pdf_derivative_, scratch_, ratio_, ratio_derivative_;
    std::vector<double> scaled_, effect_weights_, gradient_weights_, slope_;
};

}  // namespace velmora::engine
