// The level contrasts of contrast_sums: per block, the link values at each factor's base
// level and at its other levels, F(x(L) b) - F(x(B) b) in the effects and
// w (f(x(L) b) - f(x(B) b)) in one weight column per level.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/contrast_block.hpp"
#include "engine/contrast_sums.hpp"
#include "engine/fault.hpp"
#include "engine/link.hpp"

namespace velmora::engine {

class LevelTerms {
  public:
    LevelTerms(const std::vector<LevelContrasts>& contrasts, std::ptrdiff_t k);

    // Returns how many weight columns the terms write: one per level.
    std::ptrdiff_t width() const { return width_; }

    // Returns whether the terms read F and f of the rows' own xb: a two-valued column's
    // rows stand for one of its sides.
    bool reads_own_values() const { return two_valued_; }

    // Sizes the working memory for blocks of up to block_rows rows.
    void allocate(std::ptrdiff_t block_rows);

    // Adds one block's terms, writing weight columns [column, column + width()); an
    // internal fault if a two-valued column holds a third value, a bad_value fault for a
    // linear predictor at a level that the link refuses.
    template <ModelKind K>
    EngineResult<void> add_block(const ContrastBlock& block, std::ptrdiff_t column);

    // Adds the call's sums into sums: effects from first_effect on, their gradient rows
    // from the product's columns (products, k values each, the first of them these
    // terms') and the sums over each contrast's changed columns.
    void add_into(const double* products, std::size_t first_effect, ContrastSums& sums) const;

  private:
    // Each adds factor c's levels, from level (its number across the factors, advanced
    // past them) on; the weight column of level l is column + l.
    template <ModelKind K>
    EngineResult<void> add_levels(const ContrastBlock& block, std::size_t c, std::ptrdiff_t column,
                                  std::size_t& level);
    template <ModelKind K>
    EngineResult<void> add_two_valued(const ContrastBlock& block, std::size_t c,
                                      std::ptrdiff_t column, std::size_t& level);
    void fill_own(const ContrastBlock& block, const std::vector<std::ptrdiff_t>& columns);
    void side_predictor(const ContrastBlock& block, const MatrixView& side,
                        const std::vector<std::ptrdiff_t>& columns);
    double weighted_sum(const ContrastBlock& block, const double* v) const;

    const std::vector<LevelContrasts>& contrasts_;
    std::size_t k_;
    std::ptrdiff_t width_ = 0;
    bool two_valued_ = false;

    // Per block.
    std::vector<double> own_part_, arg_, scratch_, base_cdf_, base_pdf_, level_cdf_, level_pdf_;
    std::vector<double> weighted_;
    // Per call: the effects, and the sums over the changed columns of each level and of
    // each contrast's base.
    std::vector<double> effects_;
    std::vector<std::vector<double>> changed_, base_changed_;
};

}  // namespace velmora::engine
