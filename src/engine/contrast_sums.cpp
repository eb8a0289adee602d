#include "engine/contrast_sums.hpp"

#include <algorithm>
#include <string>

#include "engine/changed_columns.hpp"
#include "engine/contrast_block.hpp"
#include "engine/level_terms.hpp"
#include "engine/link_arrays.hpp"
#include "engine/link_domain.hpp"
#include "engine/point_terms.hpp"
#include "engine/products.hpp"
#include "engine/propagate.hpp"

namespace velmora::engine {
namespace {

// Checks that a view of changed columns fits the rows of X and its column list.
EngineResult<void> check_changed(const MatrixView& v, const std::vector<std::ptrdiff_t>& columns,
                                 std::ptrdiff_t rows, std::ptrdiff_t k, const char* what) {
    if (v.cols != static_cast<std::ptrdiff_t>(columns.size()) || (v.rows != rows && v.rows != 1)) {
        return internal_fault(std::string(what) + " of " + shape(v) + " for " +
                              std::to_string(rows) + " rows and " + std::to_string(columns.size()) +
                              " columns");
    }
    for (const std::ptrdiff_t c : columns) {
        if (c < 0 || c >= k) {
            return internal_fault(std::string(what) + ": column " + std::to_string(c) +
                                  " outside X of " + std::to_string(k) + " columns");
        }
    }
    return {};
}

// Checks a side: its values fit, and no column is replaced twice. The values of a side
// of no columns, the rows themselves, are not read.
EngineResult<void> check_side(const Side& side, std::ptrdiff_t rows, std::ptrdiff_t k,
                              const char* what) {
    if (side.columns.empty()) return {};
    VELMORA_RETURN_IF_ERROR(check_changed(side.values, side.columns, rows, k, what));
    for (std::size_t s = 0; s < side.columns.size(); ++s) {
        for (std::size_t t = 0; t < s; ++t) {
            if (side.columns[s] == side.columns[t]) {
                return internal_fault(std::string(what) + ": column " +
                                      std::to_string(side.columns[s]) + " given twice");
            }
        }
    }
    return {};
}

EngineResult<void> check_inputs(VectorView beta, const DesignRows& x, VectorView weights,
                                VectorView offset, const ContrastSet& set,
                                const ContrastSums& sums) {
    const std::ptrdiff_t k = x.cols;
    if (beta.size != k) {
        return internal_fault("beta of " + std::to_string(beta.size) + " for X of " + shape(x));
    }
    if (weights.size != 0 && weights.size != x.rows) {
        return internal_fault(std::to_string(weights.size) + " weights for " +
                              std::to_string(x.rows) + " rows");
    }
    if (offset.size != 0 && offset.size != x.rows) {
        return internal_fault(std::to_string(offset.size) + " offsets for " +
                              std::to_string(x.rows) + " rows");
    }
    if (sums.effects.size() != set.count() || sums.gradients.size() != set.count() * to_index(k)) {
        return internal_fault("sums of " + std::to_string(sums.effects.size()) + " effects for " +
                              std::to_string(set.count()) + " contrasts");
    }
    for (const DerivativeContrast& d : set.derivatives) {
        VELMORA_RETURN_IF_ERROR(check_changed(d.slopes, d.columns, x.rows, k, "slopes"));
        VELMORA_RETURN_IF_ERROR(check_side(d.side, x.rows, k, "side"));
        if (d.multiplier.size != 0 && d.multiplier.size != x.rows) {
            return internal_fault("multiplier of " + std::to_string(d.multiplier.size) +
                                  " values for " + std::to_string(x.rows) + " rows");
        }
    }
    for (const Side& side : set.predictions) {
        VELMORA_RETURN_IF_ERROR(check_side(side, x.rows, k, "prediction"));
    }
    for (const LevelContrasts& c : set.level_contrasts) {
        if (c.two_valued && (c.columns.size() != 1 || c.levels.size() != 1 ||
                             !constant_rows(c.base) || !constant_rows(c.levels[0]))) {
            return internal_fault(
                "two-valued level contrasts need one column, one level and "
                "sides that are the same in every row");
        }
        VELMORA_RETURN_IF_ERROR(check_changed(c.base, c.columns, x.rows, k, "base level"));
        for (const MatrixView& level : c.levels) {
            VELMORA_RETURN_IF_ERROR(check_changed(level, c.columns, x.rows, k, "level"));
        }
    }
    return {};
}

// One call's pass over its rows in cache blocks.
//
// Per block: xb, the link values of xb that the terms read, and one weight column per
// contrast whose gradient takes a sum over X, written by the terms: the derivatives'
// columns, the levels', the predictions'. One product X_block^T W adds those sums.
class ContrastPass {
  public:
    ContrastPass(ModelKind kind, VectorView beta, const DesignRows& x, VectorView weights,
                 VectorView offset, const ContrastSet& set)
        : kind_(kind),
          x_(x),
          weights_(weights),
          offset_(offset),
          set_(set),
          k_(x.cols),
          beta_(to_index(k_)),
          points_(set, x.cols),
          levels_(set.level_contrasts, x.cols) {
        for (std::ptrdiff_t l = 0; l < k_; ++l) beta_[to_index(l)] = beta[l];
        level_column_ = points_.derivative_width();
        prediction_column_ = level_column_ + levels_.width();
        width_ = prediction_column_ + points_.prediction_width();
        const bool both = levels_.reads_own_values() || points_.reads_own_cdf(kind);
        own_values_ = both                      ? OwnValues::both
                      : points_.reads_own_pdf() ? OwnValues::density
                                                : OwnValues::none;
    }

    EngineResult<void> run(ContrastSums& sums) {
        const std::ptrdiff_t n = x_.rows;
        block_ = std::clamp<std::ptrdiff_t>((1 << 16) / (k_ + width_ + 12), 16, 1024);
        block_ = std::max<std::ptrdiff_t>(1, std::min(block_, n));
        allocate();
        for (std::ptrdiff_t first = 0; first < n; first += block_) {
            const std::ptrdiff_t m = std::min(block_, n - first);
            VELMORA_RETURN_IF_ERROR(
                with_link(kind_, [&]<ModelKind K>(LinkTag<K>) { return add_block<K>(first, m); }));
        }
        add_into(sums);
        return {};
    }

  private:
    void allocate() {
        const std::size_t b = to_index(block_), k = to_index(k_), q = to_index(width_);
        xb_.resize(b);
        weight_.assign(b, 1.0);
        scratch_.resize(b);
        cdf_.resize(b);
        pdf_.resize(b);
        columns_.assign(b * q, 0.0);
        products_.assign(k * q, 0.0);
        points_.allocate(block_);
        levels_.allocate(block_);
    }

    // Adds one block of rows; an internal fault if a two-valued column holds a third
    // value, a bad_value fault for a linear predictor the link refuses.
    template <ModelKind K>
    EngineResult<void> add_block(std::ptrdiff_t first, std::ptrdiff_t m) {
        const MatrixView rows = x_.block(first, m, gathered_);
        matvec(rows, beta_.data(), xb_.data());
        const bool offset = offset_.size != 0;
        if (offset) {
            for (std::ptrdiff_t i = 0; i < m; ++i) xb_[to_index(i)] += offset_[first + i];
        }
        const double* w = weight_.data();
        if (weights_.size != 0) {
            for (std::ptrdiff_t i = 0; i < m; ++i) weight_[to_index(i)] = weights_[first + i];
        }
        weight_sum_ += ordered_sum(w, m);
        if (own_values_ == OwnValues::both) {
            link_values<K>(xb_.data(), cdf_.data(), pdf_.data(), m, scratch_.data());
            VELMORA_RETURN_IF_ERROR(
                check_link_values<K>(xb_.data(), cdf_.data(), pdf_.data(), m, first, offset));
        } else if (own_values_ == OwnValues::density) {
            pdf_array<K>(xb_.data(), pdf_.data(), m);
            VELMORA_RETURN_IF_ERROR(
                check_link_values<K>(xb_.data(), nullptr, pdf_.data(), m, first, offset));
        }
        const ContrastBlock block{.first = first,
                                  .m = m,
                                  .rows = rows,
                                  .beta = beta_.data(),
                                  .xb = xb_.data(),
                                  .w = w,
                                  .weighted = weights_.size != 0,
                                  .offset = offset,
                                  .cdf = cdf_.data(),
                                  .pdf = pdf_.data(),
                                  .weight_columns = columns_.data(),
                                  .leading = block_};
        VELMORA_RETURN_IF_ERROR(points_.add_block<K>(block, 0, prediction_column_));
        VELMORA_RETURN_IF_ERROR(levels_.add_block<K>(block, level_column_));
        add_transposed_product(rows, columns_.data(), block_, width_, products_.data());
        return {};
    }

    // Adds this call's sums into the caller's.
    void add_into(ContrastSums& sums) const {
        const std::size_t k = to_index(k_);
        const auto products_at = [&](std::ptrdiff_t column) {
            return products_.data() + to_index(column) * k;
        };
        points_.add_into(products_at(0), products_at(prediction_column_), beta_.data(),
                         set_.derivatives.size() + to_index(levels_.width()), sums);
        levels_.add_into(products_at(level_column_), set_.derivatives.size(), sums);
        sums.weight += weight_sum_;
    }

    ModelKind kind_;
    const DesignRows& x_;
    VectorView weights_, offset_;
    const ContrastSet& set_;
    std::ptrdiff_t k_;
    std::vector<double> beta_;
    PointTerms points_;
    LevelTerms levels_;
    // The first weight columns of the levels and of the predictions, and all of them.
    std::ptrdiff_t level_column_ = 0, prediction_column_ = 0, width_ = 0;
    std::ptrdiff_t block_ = 0;
    // Which link values of the rows' own xb a block needs.
    enum class OwnValues { none, density, both } own_values_ = OwnValues::none;

    // Per block.
    std::vector<double> xb_, weight_, scratch_, cdf_, pdf_, columns_;
    std::vector<double> gathered_;  // the block's rows, where X is held by columns
    // Per call.
    std::vector<double> products_;
    double weight_sum_ = 0.0;
};

}  // namespace

std::size_t ContrastSet::count() const {
    std::size_t n = derivatives.size() + predictions.size();
    for (const LevelContrasts& c : level_contrasts) n += c.levels.size();
    return n;
}

EngineResult<void> add_contrast_sums(ModelKind kind, VectorView beta, const DesignRows& x,
                                     VectorView weights, const ContrastSet& set, ContrastSums& sums,
                                     VectorView offset) {
    VELMORA_RETURN_IF_ERROR(check_inputs(beta, x, weights, offset, set, sums));
    if (x.rows == 0) return {};
    return ContrastPass(kind, beta, x, weights, offset, set).run(sums);
}

}  // namespace velmora::engine
