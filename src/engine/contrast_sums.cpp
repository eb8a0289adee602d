#include "engine/contrast_sums.hpp"

#include <algorithm>
#include <string>

#include "engine/changed_columns.hpp"
#include "engine/link_arrays.hpp"
#include "engine/products.hpp"
#include "engine/propagate.hpp"

namespace velmora::engine {
namespace {

double sum_of(const double* v, std::ptrdiff_t m) {
    double sum = 0.0;
    for (std::ptrdiff_t i = 0; i < m; ++i) sum += v[i];
    return sum;
}

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

EngineResult<void> check_inputs(VectorView beta, const MatrixView& x, VectorView weights,
                                const ContrastSet& set, const ContrastSums& sums) {
    const std::ptrdiff_t k = x.cols;
    if (beta.size != k) {
        return internal_fault("beta of " + std::to_string(beta.size) + " for X of " + shape(x));
    }
    if (weights.size != 0 && weights.size != x.rows) {
        return internal_fault(std::to_string(weights.size) + " weights for " +
                              std::to_string(x.rows) + " rows");
    }
    if (sums.effects.size() != set.count() || sums.gradients.size() != set.count() * to_index(k)) {
        return internal_fault("sums of " + std::to_string(sums.effects.size()) + " effects for " +
                              std::to_string(set.count()) + " contrasts");
    }
    for (const DerivativeContrast& d : set.derivatives) {
        VELMORA_RETURN_IF_ERROR(check_changed(d.slopes, d.columns, x.rows, k, "slopes"));
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

// Where a block's contrasts write, advanced as each adds its part: the next weight
// column of the product, the next sums over changed columns and the next effect.
struct Cursor {
    std::ptrdiff_t column = 0;
    std::size_t changed = 0;
    std::size_t effect = 0;
};

// One call's pass over its rows in cache blocks.
//
// Per block: xb, the link values each contrast needs and one weight column per
// contrast whose gradient takes a sum over X; one product X_block^T W adds those
// sums. Derivatives that are the same in every row share one weight column, w f'(xb),
// as their effects share the sum of w f(xb). The sums over the changed columns
// themselves are added apart from the product.
class ContrastPass {
  public:
    ContrastPass(ModelKind kind, VectorView beta, const MatrixView& x, VectorView weights,
                 const ContrastSet& set)
        : kind_(kind), x_(x), weights_(weights), set_(set), k_(x.cols), beta_(to_index(k_)) {
        for (std::ptrdiff_t l = 0; l < k_; ++l) beta_[to_index(l)] = beta[l];
        for (std::size_t c = 0; c < set.derivatives.size(); ++c) {
            const DerivativeContrast& d = set.derivatives[c];
            (constant_rows(d.slopes) ? constant_ : varying_).push_back(c);
        }
        width_ = (constant_.empty() ? 0 : 1) + static_cast<std::ptrdiff_t>(varying_.size());
        for (const LevelContrasts& c : set.level_contrasts) {
            width_ += static_cast<std::ptrdiff_t>(c.levels.size());
        }
        const bool two_valued = std::any_of(set.level_contrasts.begin(), set.level_contrasts.end(),
                                            [](const LevelContrasts& c) { return c.two_valued; });
        const bool derivatives = !set.derivatives.empty();
        own_values_ = two_valued || (derivatives && derivative_reads_cdf(kind)) ? OwnValues::both
                      : derivatives                                             ? OwnValues::density
                                                                                : OwnValues::none;
    }

    EngineResult<void> run(ContrastSums& sums) {
        const std::ptrdiff_t n = x_.rows;
        block_ = std::clamp<std::ptrdiff_t>((1 << 16) / (k_ + width_ + 12), 16, 1024);
        block_ = std::max<std::ptrdiff_t>(1, std::min(block_, n));
        allocate();
        for (std::ptrdiff_t first = 0; first < n; first += block_) {
            const std::ptrdiff_t m = std::min(block_, n - first);
            const bool ok =
                with_link(kind_, [&]<ModelKind K>(LinkTag<K>) { return add_block<K>(first, m); });
            if (!ok) {
                return internal_fault("a column taken as two-valued holds a third value");
            }
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
        slope_.resize(b);
        own_part_.resize(b);
        arg_.resize(b);
        base_cdf_.resize(b);
        base_pdf_.resize(b);
        level_cdf_.resize(b);
        level_pdf_.resize(b);
        weighted_.resize(b);
        columns_.assign(b * q, 0.0);
        products_.assign(k * q, 0.0);
        effects_.assign(set_.count(), 0.0);
        changed_.clear();
        for (const std::size_t c : varying_) {
            changed_.emplace_back(set_.derivatives[c].columns.size(), 0.0);
        }
        base_changed_.clear();
        for (const LevelContrasts& c : set_.level_contrasts) {
            base_changed_.emplace_back(c.columns.size(), 0.0);
            for (std::size_t l = 0; l < c.levels.size(); ++l) {
                changed_.emplace_back(c.columns.size(), 0.0);
            }
        }
    }

    // Adds one block of rows; false if a two-valued column holds a third value.
    template <ModelKind K>
    bool add_block(std::ptrdiff_t first, std::ptrdiff_t m) {
        const MatrixView rows{x_.data + first * x_.row_stride, m, k_, x_.row_stride, x_.col_stride};
        matvec(rows, beta_.data(), xb_.data());
        const double* w = weight_.data();
        if (weights_.size != 0) {
            for (std::ptrdiff_t i = 0; i < m; ++i) weight_[to_index(i)] = weights_[first + i];
        }
        weight_sum_ += sum_of(w, m);
        if (own_values_ == OwnValues::both) {
            link_values<K>(xb_.data(), cdf_.data(), pdf_.data(), m, scratch_.data());
        } else if (own_values_ == OwnValues::density) {
            pdf_array<K>(xb_.data(), pdf_.data(), m);
        }

        Cursor at{0, 0, set_.derivatives.size()};
        if (!set_.derivatives.empty()) add_derivatives<K>(first, m, at);
        for (std::size_t c = 0; c < set_.level_contrasts.size(); ++c) {
            const LevelContrasts& contrasts = set_.level_contrasts[c];
            if (contrasts.two_valued) {
                if (!add_two_valued<K>(contrasts, base_changed_[c], first, m, at)) return false;
            } else {
                add_levels<K>(contrasts, base_changed_[c], first, m, at);
            }
        }
        add_transposed_product(rows, columns_.data(), block_, width_, products_.data());
        return true;
    }

    // The derivative contrasts: w f'(xb) d in the product, w f(xb) d in the effect.
    template <ModelKind K>
    void add_derivatives(std::ptrdiff_t first, std::ptrdiff_t m, Cursor& at) {
        const double* w = weight_.data();
        pdf_derivative_array<K>(xb_.data(), cdf_.data(), pdf_.data(), slope_.data(), m);
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            weighted_[to_index(i)] = w[i] * pdf_[to_index(i)];
        }
        if (!constant_.empty()) {
            double* out = column_at(at.column++);
            for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = w[i] * slope_[to_index(i)];
            shared_pdf_sum_ += sum_of(weighted_.data(), m);
        }
        for (const std::size_t c : varying_) {
            const DerivativeContrast& d = set_.derivatives[c];
            const MatrixView slopes = rows_of(d.slopes, first, m);
            combine(slopes, d.columns, beta_.data(), arg_.data());
            double* out = column_at(at.column++);
            double effect = 0.0;
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const double di = arg_[to_index(i)];
                effect += weighted_[to_index(i)] * di;
                out[i] = (w[i] * slope_[to_index(i)]) * di;
            }
            effects_[c] += effect;
            add_weighted_columns(slopes, weighted_.data(), changed_[at.changed++].data());
        }
    }

    // One factor's levels: F(x(L) b) - F(x(B) b) in the effect, w (f(x(L) b) - f(x(B) b))
    // in the product.
    template <ModelKind K>
    void add_levels(const LevelContrasts& f, std::vector<double>& base_changed,
                    std::ptrdiff_t first, std::ptrdiff_t m, Cursor& at) {
        const double* w = weight_.data();
        // The rows' own part of xb in the changed columns, taken out of every side.
        fill_own(f.columns, first, m);
        const MatrixView base = rows_of(f.base, first, m);
        side_predictor(base, f.columns, m);
        link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m, scratch_.data());
        for (std::ptrdiff_t i = 0; i < m; ++i)
            weighted_[to_index(i)] = w[i] * base_pdf_[to_index(i)];
        add_weighted_columns(base, weighted_.data(), base_changed.data());
        const double base_cdf_sum = weighted_sum(base_cdf_.data(), m);
        for (const MatrixView& level_view : f.levels) {
            const MatrixView level = rows_of(level_view, first, m);
            side_predictor(level, f.columns, m);
            link_values<K>(arg_.data(), level_cdf_.data(), level_pdf_.data(), m, scratch_.data());
            effects_[at.effect++] += weighted_sum(level_cdf_.data(), m) - base_cdf_sum;
            double* out = column_at(at.column++);
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                weighted_[to_index(i)] = w[i] * level_pdf_[to_index(i)];
                out[i] = weighted_[to_index(i)] - (w[i] * base_pdf_[to_index(i)]);
            }
            add_weighted_columns(level, weighted_.data(), changed_[at.changed++].data());
        }
    }

    // A two-valued column's level: each row's own link values stand for its own side,
    // and only the other side's are new (at xb plus or minus the coefficient times the
    // change). Returns false if a row holds neither value.
    template <ModelKind K>
    bool add_two_valued(const LevelContrasts& f, std::vector<double>& base_changed,
                        std::ptrdiff_t first, std::ptrdiff_t m, Cursor& at) {
        const double* w = weight_.data();
        const double base = f.base.at(0, 0), level = f.levels[0].at(0, 0);
        const double b = beta_[to_index(f.columns[0])];
        const double to_base = (base - level) * b, to_level = (level - base) * b;
        const double* x = x_.data + first * x_.row_stride + f.columns[0] * x_.col_stride;
        double other = 0.0;  // a select, not a branch, so that the loop is vector code
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double xi = x[i * x_.row_stride];
            arg_[to_index(i)] = xb_[to_index(i)] + (xi == level ? to_base : to_level);
            other = (xi != level) & (xi != base) ? 1.0 : other;
        }
        if (other != 0.0) return false;
        link_values<K>(arg_.data(), base_cdf_.data(), base_pdf_.data(), m, scratch_.data());
        double* out = column_at(at.column++);
        double cdf_level = 0.0, cdf_base = 0.0, pdf_level = 0.0, pdf_base = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            const bool at_level = x[i * x_.row_stride] == level;
            const double c_level = at_level ? cdf_[r] : base_cdf_[r];
            const double c_base = at_level ? base_cdf_[r] : cdf_[r];
            const double d_level = at_level ? pdf_[r] : base_pdf_[r];
            const double d_base = at_level ? base_pdf_[r] : pdf_[r];
            cdf_level += w[i] * c_level;
            cdf_base += w[i] * c_base;
            pdf_level += w[i] * d_level;
            pdf_base += w[i] * d_base;
            out[i] = (w[i] * d_level) - (w[i] * d_base);
        }
        effects_[at.effect++] += cdf_level - cdf_base;
        changed_[at.changed++][0] += level * pdf_level;
        base_changed[0] += base * pdf_base;
        return true;
    }

    // Writes own_i = sum_s b_s x_{i, columns[s]} for the block's rows.
    void fill_own(const std::vector<std::ptrdiff_t>& columns, std::ptrdiff_t first,
                  std::ptrdiff_t m) {
        std::fill(own_part_.begin(), own_part_.begin() + m, 0.0);
        for (const std::ptrdiff_t c : columns) {
            const double bc = beta_[to_index(c)];
            const double* x = x_.data + first * x_.row_stride + c * x_.col_stride;
            for (std::ptrdiff_t i = 0; i < m; ++i)
                own_part_[to_index(i)] += bc * x[i * x_.row_stride];
        }
    }

    // Writes the linear predictor of the rows with their changed columns replaced by
    // side's values: xb - own + sum_s b_s side_s.
    void side_predictor(const MatrixView& side, const std::vector<std::ptrdiff_t>& columns,
                        std::ptrdiff_t m) {
        combine(side, columns, beta_.data(), arg_.data());
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            arg_[to_index(i)] = (xb_[to_index(i)] - own_part_[to_index(i)]) + arg_[to_index(i)];
        }
    }

    double weighted_sum(const double* v, std::ptrdiff_t m) const {
        double sum = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) sum += weight_[to_index(i)] * v[i];
        return sum;
    }

    double* column_at(std::ptrdiff_t c) { return columns_.data() + c * block_; }

    // Adds this call's sums into the caller's: effects, then the gradient rows from the
    // product's columns and the sums over each contrast's changed columns.
    void add_into(ContrastSums& sums) const {
        const std::size_t k = to_index(k_);
        const auto row = [&](std::size_t effect) { return sums.gradients.data() + effect * k; };
        std::ptrdiff_t column = 0;
        if (!constant_.empty()) {
            const double* p = products_.data();
            for (const std::size_t c : constant_) {
                const DerivativeContrast& d = set_.derivatives[c];
                const double slope = combined_first_row(d.slopes, d.columns);
                sums.effects[c] += slope * shared_pdf_sum_;
                double* g = row(c);
                for (std::size_t l = 0; l < k; ++l) g[l] += slope * p[l];
                for (std::size_t s = 0; s < d.columns.size(); ++s) {
                    g[to_index(d.columns[s])] +=
                        d.slopes.at(0, static_cast<std::ptrdiff_t>(s)) * shared_pdf_sum_;
                }
            }
            ++column;
        }
        std::size_t changed = 0;
        for (const std::size_t c : varying_) {
            const DerivativeContrast& d = set_.derivatives[c];
            const double* p = products_.data() + to_index(column++) * k;
            sums.effects[c] += effects_[c];
            double* g = row(c);
            for (std::size_t l = 0; l < k; ++l) g[l] += p[l];
            const std::vector<double>& direct = changed_[changed++];
            for (std::size_t s = 0; s < d.columns.size(); ++s) {
                g[to_index(d.columns[s])] += direct[s];
            }
        }
        std::size_t effect = set_.derivatives.size();
        for (std::size_t c = 0; c < set_.level_contrasts.size(); ++c) {
            const LevelContrasts& contrasts = set_.level_contrasts[c];
            for (std::size_t l = 0; l < contrasts.levels.size(); ++l, ++effect) {
                const double* p = products_.data() + to_index(column++) * k;
                sums.effects[effect] += effects_[effect];
                double* g = row(effect);
                // The changed columns' own sums replace the product's, which took X's values.
                std::vector<double> gradient(p, p + k);
                const std::vector<double>& direct = changed_[changed++];
                for (std::size_t s = 0; s < contrasts.columns.size(); ++s) {
                    gradient[to_index(contrasts.columns[s])] = direct[s] - base_changed_[c][s];
                }
                for (std::size_t i = 0; i < k; ++i) g[i] += gradient[i];
            }
        }
        sums.weight += weight_sum_;
    }

    double combined_first_row(const MatrixView& v,
                              const std::vector<std::ptrdiff_t>& columns) const {
        double out = 0.0;
        const MatrixView first{v.data, 1, v.cols, 0, v.col_stride};
        combine(first, columns, beta_.data(), &out);
        return out;
    }

    ModelKind kind_;
    MatrixView x_;
    VectorView weights_;
    const ContrastSet& set_;
    std::ptrdiff_t k_;
    std::vector<double> beta_;
    std::vector<std::size_t> constant_, varying_;  // derivative contrasts by kind
    std::ptrdiff_t width_ = 0;                     // weight columns of the product
    std::ptrdiff_t block_ = 0;
    // Which link values of the rows' own xb a block needs.
    enum class OwnValues { none, density, both } own_values_ = OwnValues::none;

    // Per block.
    std::vector<double> xb_, weight_, scratch_, cdf_, pdf_, slope_, own_part_, arg_;
    std::vector<double> base_cdf_, base_pdf_, level_cdf_, level_pdf_, weighted_, columns_;
    // Per call.
    std::vector<double> products_, effects_;
    std::vector<std::vector<double>> changed_, base_changed_;
    double shared_pdf_sum_ = 0.0, weight_sum_ = 0.0;
};

}  // namespace

std::size_t ContrastSet::count() const {
    std::size_t n = derivatives.size();
    for (const LevelContrasts& c : level_contrasts) n += c.levels.size();
    return n;
}

EngineResult<void> add_contrast_sums(ModelKind kind, VectorView beta, const MatrixView& x,
                                     VectorView weights, const ContrastSet& set,
                                     ContrastSums& sums) {
    VELMORA_RETURN_IF_ERROR(check_inputs(beta, x, weights, set, sums));
    if (x.rows == 0) return {};
    return ContrastPass(kind, beta, x, weights, set).run(sums);
}

}  // namespace velmora::engine
