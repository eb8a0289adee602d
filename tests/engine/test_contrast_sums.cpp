// The sums behind effects by variable: every kind of contrast, with and without
// weights, for every link, over rows enough for several cache blocks and a last partial
// one, against a plain row-by-row evaluation of the definitions with the scalar link
// functions; the gradients also against central differences of the effects in beta.
//
// Tolerances: sums agree with the row-by-row ones to 1e-12 of the largest entry of the
// same sums (2500 terms added in another order). Central differences: with a step
// h = 2^-17 (about 7.6e-6, near the cube root of the double epsilon, which balances the
// truncation error, of order h^2 times the third derivative, against the rounding error
// of the two sums, of order 1e-13 relative divided by h) a difference quotient lies
// within about 1e-8 of the derivative here; it must lie within 1e-6 of the largest
// entry of the gradient row plus the effect's scale, far below any real fault.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "contrast_design.hpp"
#include "engine/contrast_sums.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;
using namespace velmora::test::contrasts;

const double one = 1.0, slopes_two[] = {1.0, 2.0}, zero_zero[] = {0.0, 0.0},
             one_zero[] = {1.0, 0.0}, zero_one[] = {0.0, 1.0}, zero = 0.0, minus_one = -1.0,
             three_value = 3.0;

// The contrasts: derivatives by column 2 and by a pair of columns, both with constant
// slopes; by column 3 through its square, with slopes per row; a factor's two levels
// against its base; column 2 set to per-row values; and two-valued columns 1 and 7.
ContrastSet make_set(const Design& d) {
    ContrastSet set;
    set.derivatives.push_back({{2}, constant(&one, 1)});
    set.derivatives.push_back({{2, 4}, constant(slopes_two, 2)});
    set.derivatives.push_back({{3, 4}, {d.squares_slopes.data(), d.n, 2, 2, 1}});
    set.level_contrasts.push_back(
        {{5, 6}, constant(zero_zero, 2), {constant(one_zero, 2), constant(zero_one, 2)}, false});
    set.level_contrasts.push_back(
        {{2}, {d.level_base.data(), d.n, 1, 1, 1}, {{d.level_side.data(), d.n, 1, 1, 1}}, false});
    set.level_contrasts.push_back({{1}, constant(&zero, 1), {constant(&one, 1)}, true});
    set.level_contrasts.push_back(
        {{7}, constant(&minus_one, 1), {constant(&three_value, 1)}, true});
    return set;
}

struct Expected {
    std::vector<double> effects, gradients;
    double weight = 0.0;
};

// The sums from the definitions, row by row: a derivative's term is
// w f(x b) sum_s b_s D_s, a level's w (F(x(L) b) - F(x(B) b)), and their gradients by b.
Expected literal_sums(ModelKind kind, const Design& d, const std::vector<double>& beta,
                      const std::vector<double>* w, const ContrastSet& set) {
    const std::size_t k = idx(d.k);
    Expected e{std::vector<double>(set.count()), std::vector<double>(set.count() * k), 0.0};
    std::vector<double> row(k), side(k);
    const auto dot = [&](const std::vector<double>& x) {
        double v = 0.0;
        for (std::size_t j = 0; j < k; ++j) v += x[j] * beta[j];
        return v;
    };
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        for (std::size_t j = 0; j < k; ++j) row[j] = d(i, static_cast<std::ptrdiff_t>(j));
        const double wi = w ? (*w)[idx(i)] : 1.0, v = dot(row);
        e.weight += wi;
        std::size_t c = 0;
        for (const DerivativeContrast& dc : set.derivatives) {
            const std::ptrdiff_t r = dc.slopes.row_stride == 0 ? 0 : i;
            double slope = 0.0;
            for (std::size_t s = 0; s < dc.columns.size(); ++s) {
                slope += beta[idx(dc.columns[s])] * dc.slopes.at(r, static_cast<std::ptrdiff_t>(s));
            }
            e.effects[c] += wi * pdf(kind, v) * slope;
            for (std::size_t l = 0; l < k; ++l) {
                e.gradients[c * k + l] += wi * pdf_derivative(kind, v) * row[l] * slope;
            }
            for (std::size_t s = 0; s < dc.columns.size(); ++s) {
                e.gradients[c * k + idx(dc.columns[s])] +=
                    wi * pdf(kind, v) * dc.slopes.at(r, static_cast<std::ptrdiff_t>(s));
            }
            ++c;
        }
        for (const LevelContrasts& lc : set.level_contrasts) {
            const auto set_side = [&](const MatrixView& values) {
                side = row;
                const std::ptrdiff_t r = values.row_stride == 0 ? 0 : i;
                for (std::size_t s = 0; s < lc.columns.size(); ++s) {
                    side[idx(lc.columns[s])] = values.at(r, static_cast<std::ptrdiff_t>(s));
                }
                return dot(side);
            };
            const double v_base = set_side(lc.base);
            const std::vector<double> base = side;
            for (const MatrixView& level : lc.levels) {
                const double v_level = set_side(level);
                e.effects[c] += wi * (cdf(kind, v_level) - cdf(kind, v_base));
                for (std::size_t l = 0; l < k; ++l) {
                    e.gradients[c * k + l] +=
                        wi * (pdf(kind, v_level) * side[l] - pdf(kind, v_base) * base[l]);
                }
                ++c;
            }
        }
    }
    return e;
}

void test_against_the_definitions() {
    const Design d = make_design(2500);  // blocks of 1024 rows: two full, one partial
    const ContrastSet set = make_set(d);
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
                const char* name = link_name(kind).data();
                CHECK(got.weight == want.weight, "%s %s: weight", name, layout.name);
                const double effect_scale = largest(want.effects, 0, count);
                for (std::size_t c = 0; c < count; ++c) {
                    CHECK(std::fabs(got.effects[c] - want.effects[c]) <= 1e-12 * effect_scale,
                          "%s %s weights=%d: effect %zu: %.17g, want %.17g", name, layout.name,
                          w != nullptr, c, got.effects[c], want.effects[c]);
                    const double scale = largest(want.gradients, c * k, (c + 1) * k);
                    for (std::size_t l = 0; l < k; ++l) {
                        const double g = got.gradients[c * k + l], h = want.gradients[c * k + l];
                        CHECK(std::fabs(g - h) <= 1e-12 * scale,
                              "%s %s weights=%d: gradient %zu, %zu: %.17g, want %.17g", name,
                              layout.name, w != nullptr, c, l, g, h);
                    }
                }
            }
        }
    }
}

void test_gradients_against_central_differences() {
    const Design d = make_design(2500);
    const ContrastSet set = make_set(d);
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
                      "%s: effect %zu by beta %zu: %.17g, quotient %.17g", link_name(kind).data(),
                      c, l, at.gradients[c * k + l], quotient);
            }
        }
    }
}

// Calls over parts of the rows add up to one call over all of them; a third value in a
// column taken as two-valued is a fault.
void test_parts_and_faults() {
    const Design d = make_design(1500);
    const ContrastSet set = make_set(d);
    const MatrixView x{d.values.data(), d.n, d.k, d.k, 1};
    ContrastSums whole = engine_sums(ModelKind::logit, d.beta, x, &d.weights, set);
    ContrastSums parts(set.count(), idx(d.k));
    const std::ptrdiff_t cut = 1100;
    ContrastSet first = set, rest = set;
    for (ContrastSet* s : {&first, &rest}) {
        const std::ptrdiff_t begin = s == &first ? 0 : cut, end = s == &first ? cut : d.n;
        for (DerivativeContrast& dc : s->derivatives) {
            if (dc.slopes.row_stride != 0) dc.slopes = *dc.slopes.row_slice(begin, end);
        }
        for (LevelContrasts& lc : s->level_contrasts) {
            if (lc.base.row_stride != 0) lc.base = *lc.base.row_slice(begin, end);
            for (MatrixView& level : lc.levels) {
                if (level.row_stride != 0) level = *level.row_slice(begin, end);
            }
        }
        const VectorView w{d.weights.data() + begin, end - begin, 1};
        CHECK(add_contrast_sums(ModelKind::logit, vector_of(d.beta), *x.row_slice(begin, end), w,
                                *s, parts)
                  .has_value());
    }
    CHECK(parts.weight == whole.weight);
    for (std::size_t c = 0; c < set.count(); ++c) {
        CHECK(std::fabs(parts.effects[c] - whole.effects[c]) <=
              1e-13 * largest(whole.effects, 0, set.count()));
    }

    std::vector<double> values = d.values;
    values[idx(1400 * d.k + 7)] = 0.0;  // column 7, in the last block
    ContrastSums sums(set.count(), idx(d.k));
    const auto bad = add_contrast_sums(ModelKind::probit, vector_of(d.beta),
                                       MatrixView{values.data(), d.n, d.k, d.k, 1}, {}, set, sums);
    CHECK(!bad && bad.error().kind == FaultKind::internal);
}

}  // namespace

int main() {
    test_against_the_definitions();
    test_gradients_against_central_differences();
    test_parts_and_faults();
    return velmora::test::finish("test_contrast_sums");
}
