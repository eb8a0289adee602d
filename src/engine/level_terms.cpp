#include "engine/level_terms.hpp"

#include <algorithm>

#include "engine/changed_columns.hpp"
#include "engine/link_arrays.hpp"
#include "engine/link_domain.hpp"
#include "engine/propagate.hpp"

namespace velmora::engine {

LevelTerms::LevelTerms(const std::vector<LevelContrasts>& contrasts, std::ptrdiff_t k)
    : contrasts_(contrasts), k_(to_index(k)) {
    for (const LevelContrasts& c : contrasts) {
        width_ += static_cast<std::ptrdiff_t>(c.levels.size());
        two_valued_ = two_valued_ || c.two_valued;
    }
}

void LevelTerms::allocate(std::ptrdiff_t block_rows) {
    const std::size_t b = to_index(block_rows);
    for (std::vector<double>* v : {&own_part_, &arg_, &scratch_, &base_cdf_, &base_pdf_,
                                   &level_cdf_, &level_pdf_, &weighted_}) {
        v->resize(b);
    }
    effects_.assign(to_index(width_), 0.0);
    changed_.clear();
    base_changed_.clear();
    for (const LevelContrasts& c : contrasts_) {
        base_changed_.emplace_back(c.columns.size(), 0.0);
        for (std::size_t l = 0; l < c.levels.size(); ++l) {
            changed_.emplace_back(c.columns.size(), 0.0);
        }
    }
}

template <ModelKind K>
EngineResult<void> LevelTerms::add_block(const ContrastBlock& block, std::ptrdiff_t column) {
    std::size_t level = 0;  // the levels, and their columns, are numbered across the factors
    for (std::size_t c = 0; c < contrasts_.size(); ++c) {
        if (contrasts_[c].two_valued) {
            VELMORA_RETURN_IF_ERROR(add_two_valued<K>(block, c, column, level));
        } else {
            VELMORA_RETURN_IF_ERROR(add_levels<K>(block, c, column, level));
        }
    }
    return {};
}

// One factor's levels: F(x(L) b) - F(x(B) b) in the effect, w (f(x(L) b) - f(x(B) b))
// in the product.
template <ModelKind K>
EngineResult<void> LevelTerms::add_levels(const ContrastBlock& block, std::size_t c,
                                          std::ptrdiff_t column, std::size_t& level_index) {
    const LevelContrasts& f = contrasts_[c];
    const std::ptrdiff_t m = block.m;
    const double* w = block.w;
    // The rows' own part of xb in the changed columns, taken out of every side.
    fill_own(block, f.columns);
    const MatrixView base = rows_of(f.base, block.first, m);
    side_predictor(block, base, f.columns);
    link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m, scratch_.data());
    VELMORA_RETURN_IF_ERROR(check_link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m,
                                                 block.first, block.offset));
    for (std::ptrdiff_t i = 0; i < m; ++i) weighted_[to_index(i)] = w[i] * base_pdf_[to_index(i)];
    add_weighted_columns(base, weighted_.data(), base_changed_[c].data());
    const double base_cdf_sum = weighted_sum(block, base_cdf_.data());
    for (const MatrixView& level_view : f.levels) {
        const MatrixView level = rows_of(level_view, block.first, m);
        side_predictor(block, level, f.columns);
        link_values<K>(arg_.data(), level_cdf_.data(), level_pdf_.data(), m, scratch_.data());
        VELMORA_RETURN_IF_ERROR(check_link_values<K>(
            arg_.data(), level_cdf_.data(), level_pdf_.data(), m, block.first, block.offset));
        effects_[level_index] += weighted_sum(block, level_cdf_.data()) - base_cdf_sum;
        double* out = block.column(column + static_cast<std::ptrdiff_t>(level_index));
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            weighted_[to_index(i)] = w[i] * level_pdf_[to_index(i)];
            out[i] = weighted_[to_index(i)] - (w[i] * base_pdf_[to_index(i)]);
        }
        add_weighted_columns(level, weighted_.data(), changed_[level_index++].data());
    }
    return {};
}

// A two-valued column's level: each row's own link values stand for its own side,
// and only the other side's are new (at xb plus or minus the coefficient times the
// change). An internal fault if a row holds neither value.
template <ModelKind K>
EngineResult<void> LevelTerms::add_two_valued(const ContrastBlock& block, std::size_t c,
                                              std::ptrdiff_t column, std::size_t& level_index) {
    const LevelContrasts& f = contrasts_[c];
    const std::ptrdiff_t m = block.m;
    const double* w = block.w;
    const double base = f.base.at(0, 0), level = f.levels[0].at(0, 0);
    const double b = block.beta[f.columns[0]];
    const double to_base = (base - level) * b, to_level = (level - base) * b;
    const double* x = block.x_column(f.columns[0]);
    const std::ptrdiff_t stride = block.rows.row_stride;
    double other = 0.0;  // a select, not a branch, so that the loop is vector code
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const double xi = x[i * stride];
        arg_[to_index(i)] = block.xb[i] + (xi == level ? to_base : to_level);
        other = (xi != level) & (xi != base) ? 1.0 : other;
    }
    if (other != 0.0) return internal_fault("a column taken as two-valued holds a third value");
    link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m, scratch_.data());
    VELMORA_RETURN_IF_ERROR(check_link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m,
                                                 block.first, block.offset));
    double* out = block.column(column + static_cast<std::ptrdiff_t>(level_index));
    double cdf_level = 0.0, cdf_base = 0.0, pdf_level = 0.0, pdf_base = 0.0;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const std::size_t r = to_index(i);
        const bool at_level = x[i * stride] == level;
        const double c_level = at_level ? block.cdf[i] : base_cdf_[r];
        const double c_base = at_level ? base_cdf_[r] : block.cdf[i];
        const double d_level = at_level ? block.pdf[i] : base_pdf_[r];
        const double d_base = at_level ? base_pdf_[r] : block.pdf[i];
        cdf_level += w[i] * c_level;
        cdf_base += w[i] * c_base;
        pdf_level += w[i] * d_level;
        pdf_base += w[i] * d_base;
        out[i] = (w[i] * d_level) - (w[i] * d_base);
    }
    effects_[level_index] += cdf_level - cdf_base;
    changed_[level_index++][0] += level * pdf_level;
    base_changed_[c][0] += base * pdf_base;
    return {};
}

// Writes own_i = sum_s b_s x_{i, columns[s]} for the block's rows.
void LevelTerms::fill_own(const ContrastBlock& block, const std::vector<std::ptrdiff_t>& columns) {
    const std::ptrdiff_t m = block.m;
    std::fill(own_part_.begin(), own_part_.begin() + m, 0.0);
    for (const std::ptrdiff_t c : columns) {
        const double bc = block.beta[c];
        const double* x = block.x_column(c);
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            own_part_[to_index(i)] += bc * x[i * block.rows.row_stride];
        }
    }
}

// Writes the linear predictor of the rows with their changed columns replaced by
// side's values: xb - own + sum_s b_s side_s.
void LevelTerms::side_predictor(const ContrastBlock& block, const MatrixView& side,
                                const std::vector<std::ptrdiff_t>& columns) {
    combine(side, columns, block.beta, arg_.data());
    for (std::ptrdiff_t i = 0; i < block.m; ++i) {
        arg_[to_index(i)] = (block.xb[i] - own_part_[to_index(i)]) + arg_[to_index(i)];
    }
}

double LevelTerms::weighted_sum(const ContrastBlock& block, const double* v) const {
    double sum = 0.0;
    for (std::ptrdiff_t i = 0; i < block.m; ++i) sum += block.w[i] * v[i];
    return sum;
}

void LevelTerms::add_into(const double* products, std::size_t first_effect,
                          ContrastSums& sums) const {
    std::size_t level = 0;
    for (std::size_t c = 0; c < contrasts_.size(); ++c) {
        const LevelContrasts& contrasts = contrasts_[c];
        for (std::size_t l = 0; l < contrasts.levels.size(); ++l, ++level) {
            const double* p = products + level * k_;
            const std::size_t effect = first_effect + level;
            sums.effects[effect] += effects_[level];
            double* g = sums.gradients.data() + effect * k_;
            // The changed columns' own sums replace the product's, which took X's values.
            std::vector<double> gradient(p, p + k_);
            const std::vector<double>& direct = changed_[level];
            for (std::size_t s = 0; s < contrasts.columns.size(); ++s) {
                gradient[to_index(contrasts.columns[s])] = direct[s] - base_changed_[c][s];
            }
            for (std::size_t i = 0; i < k_; ++i) g[i] += gradient[i];
        }
    }
}

#define VELMORA_INSTANTIATE(link)                                                            \
    template EngineResult<void> LevelTerms::add_block<ModelKind::link>(const ContrastBlock&, \
                                                                       std::ptrdiff_t);
VELMORA_LINKS(VELMORA_INSTANTIATE)
#undef VELMORA_INSTANTIATE

}  // namespace velmora::engine
