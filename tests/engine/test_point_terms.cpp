// Derivatives at a side, with a multiplier and divided by the prediction, and
// predictions: with and without weights, for every link, over rows enough for several
// cache blocks and a last partial one, against a row-by-row evaluation of their
// definitions with the scalar link functions; the gradients also against central
// differences of the effects in beta.
//
// Tolerances as in test_contrast_sums.cpp: 1e-12 of the largest entry of the same sums
// against the row-by-row sums, which add 2500 terms in another order and form
// d(f / F) / dv as (f' F - f^2) / F^2 where the engine takes f' / F - (f / F)^2 (both
// within a few units in the last place of the term here, where F >= 0.03 or, for the
// identity, x~ b >= 1.8). Central differences with the step h = 2^-17: the truncation
// error, h^2 / 6 times the third derivative of the effect in beta (of the order of the
// effect over the smallest F, cubed, at most about 1e4 times the effect here), and the
// rounding error, about 1e-13 of the effect over h, stay below 1e-7 of the effect's
// scale; a quotient must lie within 1e-6 of the largest entry of the gradient row plus
// the effect's scale.
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "check.hpp"
#include "contrast_design.hpp"
#include "engine/contrast_sums.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;
using namespace velmora::test::contrasts;
using velmora::test::identical;

// Per-row values of the set beside the design's: x3 + 0.5 and its square, x2 + 1, and
// x3 laid out on its own.
struct RowValues {
    std::vector<double> shifted_square, shifted_x2, x3;

    explicit RowValues(const Design& d) {
        for (std::ptrdiff_t i = 0; i < d.n; ++i) {
            const double s = d(i, 3) + 0.5;
            shifted_square.push_back(s);
            shifted_square.push_back(s * s);
            shifted_x2.push_back(d(i, 2) + 1.0);
            x3.push_back(d(i, 3));
        }
    }
};

const double one = 1.0, at_x3[] = {1.5, 2.25}, slopes_at_x3[] = {1.0, 3.0}, x2_value = 0.7,
             zero_zero[] = {0.0, 0.0}, zero_one[] = {0.0, 1.0}, one_zero[] = {1.0, 0.0}, zero = 0.0;

// The set: eight derivatives, two factors' levels and four predictions.
ContrastSet make_set(const Design& d, const RowValues& r) {
    const MatrixView rows_of_x3_square{r.shifted_square.data(), d.n, 2, 2, 1};
    const MatrixView rows_of_x2{r.shifted_x2.data(), d.n, 1, 1, 1};
    const MatrixView squares{d.squares_slopes.data(), d.n, 2, 2, 1};
    const VectorView x2_in_x{d.values.data() + 2, d.n, d.k};  // a column of X, strided
    const VectorView x3{r.x3.data(), d.n, 1};
    ContrastSet set;
    // 0, 1: by column 2, as of old and with every field given at its default.
    set.derivatives.push_back({{2}, constant(&one, 1)});
    set.derivatives.push_back({{2}, constant(&one, 1), {{}, {}}, {}, false});
    // 2: x2 times the derivative by column 2 (dy/ex); 3: elasticity by column 3 through
    // its square (ey/ex), slopes per row.
    set.derivatives.push_back({{2}, constant(&one, 1), {}, x2_in_x, false});
    set.derivatives.push_back({{3, 4}, squares, {}, x3, true});
    // 4: ey/dx by column 2 with column 2 set to 0.7; 5: elasticity by column 2 with
    // columns 3 and 4 set per row.
    set.derivatives.push_back({{2}, constant(&one, 1), {{2}, constant(&x2_value, 1)}, {}, true});
    set.derivatives.push_back({{2}, constant(&one, 1), {{3, 4}, rows_of_x3_square}, x2_in_x, true});
    // 6: by column 3 through its square at x3 = 1.5, where the slopes' columns are the
    // side's; 7: slopes per row with column 2 set per row.
    set.derivatives.push_back({{3, 4}, constant(slopes_at_x3, 2), {{3, 4}, constant(at_x3, 2)}});
    set.derivatives.push_back({{3, 4}, squares, {{2}, rows_of_x2}});
    set.level_contrasts.push_back(
        {{5, 6}, constant(zero_zero, 2), {constant(one_zero, 2), constant(zero_one, 2)}, false});
    set.level_contrasts.push_back({{1}, constant(&zero, 1), {constant(&one, 1)}, true});
    // The rows themselves; at x3 = 1.5 and at column 2 per row, the points of
    // derivatives 6 and 7; at the factor's second level.
    set.predictions.push_back({});
    set.predictions.push_back({{3, 4}, constant(at_x3, 2)});
    set.predictions.push_back({{2}, rows_of_x2});
    set.predictions.push_back({{5, 6}, constant(zero_one, 2)});
    return set;
}

struct Expected {
    std::vector<double> effects, gradients;
};

// One row's terms and gradients from the definitions.
class LiteralRow {
  public:
    LiteralRow(ModelKind kind, const std::vector<double>& beta, std::vector<double> row)
        : kind_(kind), beta_(beta), row_(std::move(row)) {}

    // Returns x~: the row with the side's columns set to its values in row i.
    std::vector<double> side_row(const Side& side, std::ptrdiff_t i) const {
        std::vector<double> out = row_;
        const std::ptrdiff_t r = side.values.rows == 1 || side.values.row_stride == 0 ? 0 : i;
        for (std::size_t s = 0; s < side.columns.size(); ++s) {
            out[idx(side.columns[s])] = side.values.at(r, static_cast<std::ptrdiff_t>(s));
        }
        return out;
    }

    double dot(const std::vector<double>& x) const {
        double v = 0.0;
        for (std::size_t j = 0; j < x.size(); ++j) v += x[j] * beta_[j];
        return v;
    }

    // Adds w times the derivative's term and gradient into effect and g.
    void add_derivative(const DerivativeContrast& dc, std::ptrdiff_t i, double w, double& effect,
                        double* g) const {
        const std::vector<double> x = side_row(dc.side, i);
        const double v = dot(x), F = cdf(kind_, v), f = pdf(kind_, v);
        const double f1 = pdf_derivative(kind_, v);
        const double c = dc.multiplier.size == 0 ? 1.0 : dc.multiplier[i];
        const std::ptrdiff_t r = dc.slopes.rows == 1 || dc.slopes.row_stride == 0 ? 0 : i;
        double d = 0.0;
        for (std::size_t s = 0; s < dc.columns.size(); ++s) {
            d += beta_[idx(dc.columns[s])] * dc.slopes.at(r, static_cast<std::ptrdiff_t>(s));
        }
        double term = c * f * d, by_v = c * f1 * d, by_d = c * f;
        if (dc.per_prediction) {
            term = c * f * d / F;
            by_v = c * (f1 * F - f * f) * d / (F * F);
            by_d = c * f / F;
        }
        effect += w * term;
        for (std::size_t l = 0; l < x.size(); ++l) g[l] += w * by_v * x[l];
        for (std::size_t s = 0; s < dc.columns.size(); ++s) {
            g[idx(dc.columns[s])] += w * by_d * dc.slopes.at(r, static_cast<std::ptrdiff_t>(s));
        }
    }

    // Adds w (F(x(L) b) - F(x(B) b)) for each level, and its gradient.
    void add_levels(const LevelContrasts& lc, std::ptrdiff_t i, double w, double* effects,
                    double* g) const {
        const std::vector<double> base = side_row({lc.columns, lc.base}, i);
        const double v_base = dot(base);
        for (std::size_t l = 0; l < lc.levels.size(); ++l) {
            const std::vector<double> x = side_row({lc.columns, lc.levels[l]}, i);
            const double v = dot(x);
            effects[l] += w * (cdf(kind_, v) - cdf(kind_, v_base));
            for (std::size_t j = 0; j < x.size(); ++j) {
                g[l * x.size() + j] += w * (pdf(kind_, v) * x[j] - pdf(kind_, v_base) * base[j]);
            }
        }
    }

    // Adds w F(x~ b) and w f(x~ b) x~.
    void add_prediction(const Side& side, std::ptrdiff_t i, double w, double& effect,
                        double* g) const {
        const std::vector<double> x = side_row(side, i);
        const double v = dot(x);
        effect += w * cdf(kind_, v);
        for (std::size_t l = 0; l < x.size(); ++l) g[l] += w * pdf(kind_, v) * x[l];
    }

  private:
    ModelKind kind_;
    const std::vector<double>& beta_;
    std::vector<double> row_;
};

Expected literal_sums(ModelKind kind, const Design& d, const std::vector<double>& beta,
                      const std::vector<double>* w, const ContrastSet& set) {
    const std::size_t k = idx(d.k);
    Expected e{std::vector<double>(set.count()), std::vector<double>(set.count() * k)};
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        std::vector<double> row(k);
        for (std::size_t j = 0; j < k; ++j) row[j] = d(i, static_cast<std::ptrdiff_t>(j));
        const LiteralRow literal(kind, beta, row);
        const double wi = w ? (*w)[idx(i)] : 1.0;
        std::size_t c = 0;
        for (const DerivativeContrast& dc : set.derivatives) {
            literal.add_derivative(dc, i, wi, e.effects[c], &e.gradients[c * k]);
            ++c;
        }
        for (const LevelContrasts& lc : set.level_contrasts) {
            literal.add_levels(lc, i, wi, &e.effects[c], &e.gradients[c * k]);
            c += lc.levels.size();
        }
        for (const Side& side : set.predictions) {
            literal.add_prediction(side, i, wi, e.effects[c], &e.gradients[c * k]);
            ++c;
        }
    }
    return e;
}

const char* name_of(ModelKind kind) { return link_name(kind).data(); }

// Every effect and gradient against the definitions, in C and F order, with and without
// weights; the derivative given with every field at its default gives the same bits as
// the one given as of old.
void test_against_the_definitions() {
    const Design d = make_design(2500);  // blocks of 1024 rows: two full, one partial
    const RowValues r(d);
    const ContrastSet set = make_set(d, r);
    const std::size_t k = idx(d.k), count = set.count();
    using velmora::test::Layout;
    std::vector<Layout> layouts;
    layouts.push_back(velmora::test::laid_out("C order", d.n, d.k, d, idx(d.n * d.k), 0, d.k, 1));
    layouts.push_back(velmora::test::laid_out("F order", d.n, d.k, d, idx(d.n * d.k), 0, 1, d.n));
    for (const ModelKind kind : all_links) {
        const std::vector<double> beta = beta_for(kind, d);
        for (const std::vector<double>* w :
             {static_cast<const std::vector<double>*>(nullptr), &d.weights}) {
            const Expected want = literal_sums(kind, d, beta, w, set);
            for (const Layout& layout : layouts) {
                const ContrastSums got = engine_sums(kind, beta, layout.view, w, set);
                const double effect_scale = largest(want.effects, 0, count);
                for (std::size_t c = 0; c < count; ++c) {
                    CHECK(std::fabs(got.effects[c] - want.effects[c]) <= 1e-12 * effect_scale,
                          "%s %s weights=%d: effect %zu: %.17g, want %.17g", name_of(kind),
                          layout.name, w != nullptr, c, got.effects[c], want.effects[c]);
                    const double scale = largest(want.gradients, c * k, (c + 1) * k);
                    for (std::size_t l = 0; l < k; ++l) {
                        const double g = got.gradients[c * k + l], h = want.gradients[c * k + l];
                        CHECK(std::fabs(g - h) <= 1e-12 * scale,
                              "%s %s weights=%d: gradient %zu, %zu: %.17g, want %.17g",
                              name_of(kind), layout.name, w != nullptr, c, l, g, h);
                    }
                }
                CHECK(identical(got.effects[0], got.effects[1]), "%s", name_of(kind));
                for (std::size_t l = 0; l < k; ++l) {
                    CHECK(identical(got.gradients[l], got.gradients[k + l]), "%s", name_of(kind));
                }
            }
        }
    }
}

void test_gradients_against_central_differences() {
    const Design d = make_design(2500);
    const RowValues r(d);
    const ContrastSet set = make_set(d, r);
    const std::size_t k = idx(d.k), count = set.count();
    const MatrixView x{d.values.data(), d.n, d.k, d.k, 1};
    const double h = 0x1p-17;
    for (const ModelKind kind : all_links) {
        const std::vector<double> beta = beta_for(kind, d);
        const ContrastSums at = engine_sums(kind, beta, x, &d.weights, set);
        for (std::size_t l = 0; l < k; ++l) {
            std::vector<double> up = beta, down = beta;
            up[l] += h;
            down[l] -= h;
            const ContrastSums above = engine_sums(kind, up, x, &d.weights, set);
            const ContrastSums below = engine_sums(kind, down, x, &d.weights, set);
            for (std::size_t c = 0; c < count; ++c) {
                const double quotient = (above.effects[c] - below.effects[c]) / (up[l] - down[l]);
                const double scale =
                    largest(at.gradients, c * k, (c + 1) * k) + std::fabs(at.effects[c]);
                CHECK(std::fabs(quotient - at.gradients[c * k + l]) <= 1e-6 * scale,
                      "%s: effect %zu by beta %zu: %.17g, quotient %.17g", name_of(kind), c, l,
                      at.gradients[c * k + l], quotient);
            }
        }
    }
}

// Returns rows [begin, end) of a view of one row per row, or the view of one row.
MatrixView part_of(const MatrixView& v, std::ptrdiff_t begin, std::ptrdiff_t end) {
    return v.row_stride == 0 || v.rows == 1 ? v : *v.row_slice(begin, end);
}

// Calls over parts of the rows add up to one call over all of them; sides that do not
// fit, and multipliers, are faults.
void test_parts_and_faults() {
    const Design d = make_design(1500);
    const RowValues r(d);
    const ContrastSet set = make_set(d, r);
    const MatrixView x{d.values.data(), d.n, d.k, d.k, 1};
    const ContrastSums whole = engine_sums(ModelKind::probit, d.beta, x, &d.weights, set);
    ContrastSums parts(set.count(), idx(d.k));
    const std::ptrdiff_t cut = 1100;
    for (const std::ptrdiff_t begin : {std::ptrdiff_t{0}, cut}) {
        const std::ptrdiff_t end = begin == 0 ? cut : d.n;
        ContrastSet s = set;
        for (DerivativeContrast& dc : s.derivatives) {
            dc.slopes = part_of(dc.slopes, begin, end);
            dc.side.values = part_of(dc.side.values, begin, end);
            if (dc.multiplier.size != 0) {
                dc.multiplier = {dc.multiplier.data + begin * dc.multiplier.stride, end - begin,
                                 dc.multiplier.stride};
            }
        }
        for (Side& side : s.predictions) side.values = part_of(side.values, begin, end);
        const VectorView w{d.weights.data() + begin, end - begin, 1};
        CHECK(add_contrast_sums(ModelKind::probit, vector_of(d.beta), *x.row_slice(begin, end), w,
                                s, parts)
                  .has_value());
    }
    CHECK(parts.weight == whole.weight);
    const double scale = largest(whole.effects, 0, set.count());
    for (std::size_t c = 0; c < set.count(); ++c) {
        CHECK(std::fabs(parts.effects[c] - whole.effects[c]) <= 1e-13 * scale, "effect %zu", c);
    }

    const auto fault_of = [&](const ContrastSet& s) {
        ContrastSums sums(s.count(), idx(d.k));
        const auto done = add_contrast_sums(ModelKind::logit, vector_of(d.beta), x, {}, s, sums);
        return done ? std::nullopt : std::optional<FaultKind>(done.error().kind);
    };
    ContrastSet twice;
    twice.predictions.push_back({{3, 3}, constant(at_x3, 2)});
    CHECK(fault_of(twice) == FaultKind::internal);
    ContrastSet outside;
    outside.predictions.push_back({{3, 8}, constant(at_x3, 2)});
    CHECK(fault_of(outside) == FaultKind::internal);
    ContrastSet narrow;
    narrow.derivatives.push_back({{2}, constant(&one, 1), {{3, 4}, constant(&one, 1)}});
    CHECK(fault_of(narrow) == FaultKind::internal);
    ContrastSet short_multiplier;
    short_multiplier.derivatives.push_back(
        {{2}, constant(&one, 1), {}, {r.x3.data(), d.n - 1, 1}, false});
    CHECK(fault_of(short_multiplier) == FaultKind::internal);
}

}  // namespace

int main() {
    test_against_the_definitions();
    test_gradients_against_central_differences();
    test_parts_and_faults();
    return velmora::test::finish("test_point_terms");
}
