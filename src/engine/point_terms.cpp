#include "engine/point_terms.hpp"

#include <algorithm>

#include "engine/changed_columns.hpp"
#include "engine/link_arrays.hpp"
#include "engine/link_domain.hpp"
#include "engine/products.hpp"
#include "engine/propagate.hpp"

namespace velmora::engine {
namespace {

bool same_view(const MatrixView& a, const MatrixView& b) {
    return a.data == b.data && a.rows == b.rows && a.cols == b.cols &&
           a.row_stride == b.row_stride && a.col_stride == b.col_stride;
}

bool same_view(const VectorView& a, const VectorView& b) {
    return a.data == b.data && a.size == b.size && a.stride == b.stride;
}

// Returns sum_s b[columns[s]] v(0, s), the part of a side that is the same in every row.
double first_row_part(const MatrixView& v, const std::vector<std::ptrdiff_t>& columns,
                      const double* b) {
    double out = 0.0;
    combine({v.data, 1, v.cols, 0, v.col_stride}, columns, b, &out);
    return out;
}

}  // namespace

PointTerms::PointTerms(const ContrastSet& set, std::ptrdiff_t k) : set_(set), k_(to_index(k)) {
    for (std::size_t c = 0; c < set.derivatives.size(); ++c) {
        const DerivativeContrast& d = set.derivatives[c];
        const std::size_t point = point_of(d.side);
        const auto same = [&](const Series& s) {
            return s.point == point && s.per_prediction == d.per_prediction &&
                   same_view(s.multiplier, d.multiplier);
        };
        auto found = std::find_if(series_.begin(), series_.end(), same);
        if (found == series_.end()) {
            // The derivatives of before (at the rows, no multiplier, p = 0) add their
            // weights in row order, which keeps their sums as they were; others take a
            // dot product, which is faster.
            const bool in_row_order =
                !points_[point].side && d.multiplier.size == 0 && !d.per_prediction;
            series_.push_back(
                {point, d.multiplier, d.per_prediction, in_row_order, {}, {}, -1, 0.0, {}});
            points_[point].series.push_back(series_.size() - 1);
            found = series_.end() - 1;
        }
        (constant_rows(d.slopes) ? found->constant : found->varying).push_back(c);
        series_of_.push_back(static_cast<std::size_t>(found - series_.begin()));
        Point& p = points_[point];
        p.derivative = true;
        p.ratios = p.ratios || d.per_prediction;
        p.cdf = p.cdf || d.per_prediction;
    }
    // The weight columns: one per series of constant slopes, then one per other derivative.
    derivatives_.resize(set.derivatives.size());
    for (Series& s : series_) {
        if (!s.constant.empty()) s.column = derivative_width_++;
    }
    for (std::size_t c = 0; c < set.derivatives.size(); ++c) {
        if (!constant_rows(set.derivatives[c].slopes)) derivatives_[c].column = derivative_width_++;
    }
    predictions_.resize(set.predictions.size());
    for (std::size_t j = 0; j < set.predictions.size(); ++j) {
        Point& p = points_[point_of(set.predictions[j])];
        p.predictions.push_back(j);
        p.cdf = true;
        predictions_[j].column = static_cast<std::ptrdiff_t>(j);
    }
}

// Returns the point of a side, added if new: the rows themselves for a side of no
// columns; sides of the same columns and the same view of values are one point.
std::size_t PointTerms::point_of(const Side& side) {
    const auto same = [&](const Point& p) {
        if (side.columns.empty() || p.side == nullptr) return side.columns.empty() && !p.side;
        return p.side->columns == side.columns && same_view(p.side->values, side.values);
    };
    const auto found = std::find_if(points_.begin(), points_.end(), same);
    if (found != points_.end()) return static_cast<std::size_t>(found - points_.begin());
    Point p;
    if (!side.columns.empty()) {
        p.side = &side;
        const auto set = std::find(column_sets_.begin(), column_sets_.end(), side.columns);
        p.column_set = static_cast<std::size_t>(set - column_sets_.begin());
        if (set == column_sets_.end()) column_sets_.push_back(side.columns);
    }
    points_.push_back(std::move(p));
    return points_.size() - 1;
}

bool PointTerms::reads_own_cdf(ModelKind kind) const {
    return std::any_of(points_.begin(), points_.end(), [&](const Point& p) {
        return !p.side && (p.cdf || (p.derivative && derivative_reads_cdf(kind)));
    });
}

bool PointTerms::reads_own_pdf() const {
    return std::any_of(points_.begin(), points_.end(), [](const Point& p) { return !p.side; });
}

void PointTerms::allocate(std::ptrdiff_t block_rows) {
    const std::size_t b = to_index(block_rows);
    rests_.assign(column_sets_.size(), std::vector<double>(b));
    for (std::vector<double>* v :
         {&eta_, &cdf_, &pdf_, &pdf_derivative_, &scratch_, &ratio_, &ratio_derivative_, &scaled_,
          &effect_weights_, &gradient_weights_, &slope_}) {
        v->resize(b);
    }
    const auto side_width = [&](std::size_t point) {
        const Side* side = points_[point].side;
        return side ? side->columns.size() : 0;
    };
    for (Series& s : series_) {
        s.effect_weight = 0.0;
        s.side_sums.assign(side_width(s.point), 0.0);
    }
    for (std::size_t c = 0; c < derivatives_.size(); ++c) {
        TermSums& t = derivatives_[c];
        t.effect = 0.0;
        t.direct.assign(set_.derivatives[c].columns.size(), 0.0);
        t.side_sums.assign(side_width(series_[series_of_[c]].point), 0.0);
    }
    for (const Point& p : points_) {
        for (const std::size_t j : p.predictions) {
            predictions_[j].effect = 0.0;
            predictions_[j].side_sums.assign(p.side ? p.side->columns.size() : 0, 0.0);
        }
    }
}

template <ModelKind K>
EngineResult<void> PointTerms::add_block(const ContrastBlock& block,
                                         std::ptrdiff_t derivative_column,
                                         std::ptrdiff_t prediction_column) {
    using Formulas = LinkFormulas<K>;
    const std::ptrdiff_t m = block.m;
    fill_rests(block);
    for (const Point& p : points_) {
        const double *eta = block.xb, *cdf = block.cdf, *pdf = block.pdf;
        if (p.side) {
            eta = side_predictor(block, p);
            cdf = cdf_.data();
            pdf = pdf_.data();
            const bool with_cdf = p.cdf || (p.derivative && Formulas::derivative_reads_cdf);
            if (with_cdf) {
                link_values<K>(eta, cdf_.data(), pdf_.data(), m, scratch_.data());
            } else {
                pdf_array<K>(eta, pdf_.data(), m);
            }
            VELMORA_RETURN_IF_ERROR(check_link_values<K>(eta, with_cdf ? cdf : nullptr, pdf, m,
                                                         block.first, block.offset));
        }
        if (p.derivative) pdf_derivative_array<K>(eta, cdf, pdf, pdf_derivative_.data(), m);
        if (p.ratios) {
            // d(f / F) / dv = f' / F - (f / F)^2, without F^2, which underflows first.
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const std::size_t r = to_index(i);
                const double ratio = pdf[i] / cdf[i];
                ratio_[r] = ratio;
                ratio_derivative_[r] = pdf_derivative_[r] / cdf[i] - ratio * ratio;
            }
        }
        for (const std::size_t s : p.series) {
            Series& series = series_[s];
            const bool ratios = series.per_prediction;
            add_series(block, series, ratios ? ratio_.data() : pdf,
                       ratios ? ratio_derivative_.data() : pdf_derivative_.data(),
                       derivative_column);
        }
        for (const std::size_t j : p.predictions) {
            add_prediction(block, p, j, cdf, pdf, prediction_column);
        }
    }
    return {};
}

// Adds a series' derivatives, given e0 and e1 at its point.
void PointTerms::add_series(const ContrastBlock& block, Series& s, const double* e0,
                            const double* e1, std::ptrdiff_t column) {
    const std::ptrdiff_t m = block.m;
    const double* w = multiplied_weights(block, s.multiplier);
    double* g = s.column >= 0 ? block.column(column + s.column) : gradient_weights_.data();
    for (std::ptrdiff_t i = 0; i < m; ++i) g[i] = w[i] * e1[i];
    double* a = effect_weights_.data();
    if (s.in_row_order || !s.varying.empty()) {
        for (std::ptrdiff_t i = 0; i < m; ++i) a[i] = w[i] * e0[i];
    }
    const Side* side = points_[s.point].side;
    const MatrixView side_rows = side ? rows_of(side->values, block.first, m) : MatrixView{};
    if (!s.constant.empty()) {
        s.effect_weight += s.in_row_order ? ordered_sum(a, m) : dot(m, w, e0);
        if (side) add_weighted_columns(side_rows, g, s.side_sums.data());
    }
    for (const std::size_t c : s.varying) {
        const DerivativeContrast& d = set_.derivatives[c];
        TermSums& t = derivatives_[c];
        const MatrixView slopes = rows_of(d.slopes, block.first, m);
        combine(slopes, d.columns, block.beta, slope_.data());
        double* out = block.column(column + t.column);
        double effect = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double di = slope_[to_index(i)];
            effect += a[i] * di;
            out[i] = g[i] * di;
        }
        t.effect += effect;
        add_weighted_columns(slopes, a, t.direct.data());
        if (side) add_weighted_columns(side_rows, out, t.side_sums.data());
    }
}

// Returns the rows' weights times a multiplier's values: the weights themselves without
// one, the multiplier's values themselves without weights where they lie side by side.
const double* PointTerms::multiplied_weights(const ContrastBlock& block,
                                             const VectorView& multiplier) {
    if (multiplier.size == 0) return block.w;
    const double* c = multiplier.data + block.first * multiplier.stride;
    if (multiplier.stride == 1 && !block.weighted) return c;
    double* out = scaled_.data();
    if (multiplier.stride == 1) {
        for (std::ptrdiff_t i = 0; i < block.m; ++i) out[i] = block.w[i] * c[i];
    } else {
        for (std::ptrdiff_t i = 0; i < block.m; ++i) {
            out[i] = block.w[i] * c[i * multiplier.stride];
        }
    }
    return out;
}

// Adds prediction j, taken at p: w F in the effect, w f in its weight column.
void PointTerms::add_prediction(const ContrastBlock& block, const Point& p, std::size_t j,
                                const double* cdf, const double* pdf, std::ptrdiff_t column) {
    TermSums& t = predictions_[j];
    const double* w = block.w;
    double* out = block.column(column + t.column);
    for (std::ptrdiff_t i = 0; i < block.m; ++i) out[i] = w[i] * pdf[i];
    t.effect += dot(block.m, w, cdf);
    if (p.side) {
        add_weighted_columns(rows_of(p.side->values, block.first, block.m), out,
                             t.side_sums.data());
    }
}

// Writes, for each column set, xb less the rows' own part in those columns.
void PointTerms::fill_rests(const ContrastBlock& block) {
    const std::ptrdiff_t m = block.m;
    for (std::size_t s = 0; s < column_sets_.size(); ++s) {
        double* rest = rests_[s].data();
        std::fill(rest, rest + m, 0.0);
        for (const std::ptrdiff_t c : column_sets_[s]) {
            const double bc = block.beta[c];
            const double* x = block.x_column(c);
            for (std::ptrdiff_t i = 0; i < m; ++i) rest[i] += bc * x[i * block.rows.row_stride];
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) rest[i] = block.xb[i] - rest[i];
    }
}

// Returns the linear predictor of a side's rows: the rest of xb plus the side's part.
const double* PointTerms::side_predictor(const ContrastBlock& block, const Point& p) {
    const std::ptrdiff_t m = block.m;
    const double* rest = rests_[p.column_set].data();
    const MatrixView& values = p.side->values;
    double* eta = eta_.data();
    if (constant_rows(values)) {
        const double part = first_row_part(values, p.side->columns, block.beta);
        for (std::ptrdiff_t i = 0; i < m; ++i) eta[i] = rest[i] + part;
    } else {
        combine(rows_of(values, block.first, m), p.side->columns, block.beta, eta);
        for (std::ptrdiff_t i = 0; i < m; ++i) eta[i] = rest[i] + eta[i];
    }
    return eta;
}

// Adds scale times a weight column's gradient into g: its product with X, but for the
// columns a side replaces, whose sums over the side's values are given.
void PointTerms::add_gradient(const double* product, const Point& p,
                              const std::vector<double>& side_sums, double scale, double* g) const {
    if (!p.side) {
        for (std::size_t l = 0; l < k_; ++l) g[l] += scale * product[l];
        return;
    }
    std::vector<double> gradient(product, product + k_);
    for (std::size_t s = 0; s < side_sums.size(); ++s) {
        gradient[to_index(p.side->columns[s])] = side_sums[s];
    }
    for (std::size_t l = 0; l < k_; ++l) g[l] += scale * gradient[l];
}

void PointTerms::add_into(const double* derivative_products, const double* prediction_products,
                          const double* beta, std::size_t first_prediction,
                          ContrastSums& sums) const {
    const auto row = [&](std::size_t effect) { return sums.gradients.data() + effect * k_; };
    for (std::size_t c = 0; c < derivatives_.size(); ++c) {
        const DerivativeContrast& d = set_.derivatives[c];
        const TermSums& t = derivatives_[c];
        const Series& s = series_[series_of_[c]];
        const Point& p = points_[s.point];
        double* g = row(c);
        if (t.column < 0) {
            // Slopes the same in every row: d and D times the series' sums.
            const double slope = first_row_part(d.slopes, d.columns, beta);
            sums.effects[c] += slope * s.effect_weight;
            add_gradient(derivative_products + to_index(s.column) * k_, p, s.side_sums, slope, g);
            for (std::size_t j = 0; j < d.columns.size(); ++j) {
                g[to_index(d.columns[j])] +=
                    d.slopes.at(0, static_cast<std::ptrdiff_t>(j)) * s.effect_weight;
            }
        } else {
            sums.effects[c] += t.effect;
            add_gradient(derivative_products + to_index(t.column) * k_, p, t.side_sums, 1.0, g);
            for (std::size_t j = 0; j < d.columns.size(); ++j) {
                g[to_index(d.columns[j])] += t.direct[j];
            }
        }
    }
    for (const Point& p : points_) {
        for (const std::size_t j : p.predictions) {
            const TermSums& t = predictions_[j];
            const std::size_t effect = first_prediction + j;
            sums.effects[effect] += t.effect;
            add_gradient(prediction_products + to_index(t.column) * k_, p, t.side_sums, 1.0,
                         row(effect));
        }
    }
}

#define VELMORA_INSTANTIATE(link)                                       \
    template EngineResult<void> PointTerms::add_block<ModelKind::link>( \
        const ContrastBlock&, std::ptrdiff_t, std::ptrdiff_t);
VELMORA_LINKS(VELMORA_INSTANTIATE)
#undef VELMORA_INSTANTIATE

}  // namespace velmora::engine
