// The chunked pass and the delta-method step: every layout, block size, chunk size and
// product path against a plain row-by-row evaluation of the same sums.
//
// Tolerances: an accumulator entry agrees with the row-by-row sums to 1e-12 of the
// largest entry of the same accumulator (sums over a few hundred rows in another
// order); entries that receive the same additions under both methods, and entries that
// must stay zero, are compared bit for bit, and so are standard errors from different
// readings of the same covariance matrix.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/accumulate.hpp"
#include "engine/binary_columns.hpp"
#include "engine/covariance.hpp"
#include "layouts.hpp"

namespace {

using namespace velmora::engine;
using velmora::test::identical;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::size_t idx(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

// A design matrix in row-major storage: an intercept, two 0/1 columns (one holding
// only ones and -0.0 zeros) and three continuous columns.
struct Design {
    std::ptrdiff_t n = 0, k = 6;
    std::vector<double> values;  // row-major n x k
    std::vector<double> beta;
    std::vector<std::size_t> intercepts{0};

    double operator()(std::ptrdiff_t i, std::ptrdiff_t j) const { return values[idx(i * k + j)]; }
};

Design make_design(std::ptrdiff_t n, unsigned seed) {
    Design d;
    d.n = n;
    d.values.resize(idx(n * d.k));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::bernoulli_distribution coin(0.4);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* row = d.values.data() + i * d.k;
        row[0] = 1.0;
        row[1] = coin(rng) ? 1.0 : 0.0;
        row[2] = normal(rng);
        row[3] = coin(rng) ? 1.0 : -0.0;
        row[4] = 2.0 + normal(rng);
        row[5] = static_cast<double>(rng() % 4);
    }
    d.beta = {-0.3, 0.8, 0.5, -0.6, 0.25, -0.15};
    return d;
}

using velmora::test::Layout;

std::vector<Layout> layouts(const Design& d) {
    const std::ptrdiff_t n = d.n, k = d.k;
    std::vector<Layout> out;
    auto add = [&](const char* name, std::size_t size, std::ptrdiff_t offset,
                   std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
        out.push_back(velmora::test::laid_out(name, n, k, d, size, offset, row_stride, col_stride));
    };
    const auto cells = idx(n * k);
    add("C order", cells, 0, k, 1);
    add("F order", cells, 0, 1, n);
    add("padded rows", idx(n * (k + 3)), 0, k + 3, 1);
    add("every other column", 2 * cells, 0, 2 * k, 2);
    add("rows reversed", cells, (n - 1) * k, -k, 1);
    add("F order, rows reversed", cells, n - 1, -1, n);
    add("columns reversed", cells, k - 1, k, -1);
    return out;
}

// The four accumulators summed row by row with the written formulas.
EffectAccumulators row_by_row(const Design& d, ModelKind kind, SeMethod method,
                              const std::vector<std::size_t>& binary) {
    const std::ptrdiff_t k = d.k;
    EffectAccumulators acc(idx(k));
    auto is_binary = [&](std::ptrdiff_t j) {
        return std::find(binary.begin(), binary.end(), idx(j)) != binary.end();
    };
    for (std::ptrdiff_t i = 0; i < d.n; ++i) {
        double xb = 0.0;
        for (std::ptrdiff_t l = 0; l < k; ++l) xb += d(i, l) * d.beta[idx(l)];
        const double f = pdf(kind, xb);
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            if (std::find(d.intercepts.begin(), d.intercepts.end(), idx(j)) != d.intercepts.end()) {
                continue;
            }
            const double b = d.beta[idx(j)];
            double* rows[2] = {acc.jacobian_per_obs.data() + j * k, acc.jacobian_sm.data() + j * k};
            if (is_binary(j)) {
                const double one = xb + (1.0 - d(i, j)) * b;
                const double zero = xb + (-d(i, j)) * b;
                const double delta = cdf(kind, one) - cdf(kind, zero);
                acc.ame_sums_per_obs[idx(j)] += delta;
                acc.ame_sums_sm[idx(j)] += delta;
                for (std::ptrdiff_t l = 0; l < k; ++l) {
                    const double g =
                        l == j ? pdf(kind, one) : (pdf(kind, one) - pdf(kind, zero)) * d(i, l);
                    rows[0][l] += g;
                    rows[1][l] += g;
                }
            } else if (method == SeMethod::per_observation) {
                acc.ame_sums_per_obs[idx(j)] += f * b;
                for (std::ptrdiff_t l = 0; l < k; ++l) {
                    rows[0][l] += l == j ? f : -b * xb * d(i, l) * f;
                }
            } else if (method == SeMethod::statsmodels_style) {
                const double df = pdf_derivative(kind, xb);
                acc.ame_sums_sm[idx(j)] += f * b;
                for (std::ptrdiff_t l = 0; l < k; ++l) {
                    rows[1][l] += b * d(i, l) * df + (l == j ? f : 0.0);
                }
            }
        }
    }
    return acc;
}

double largest_finite(const std::vector<double>& v) {
    double m = 0.0;
    for (const double x : v) {
        if (std::isfinite(x)) m = std::max(m, std::fabs(x));
    }
    return m;
}

// True when got matches want to 1e-12 of want's largest finite entry, and holds the
// same NaNs and infinities.
bool close(const std::vector<double>& got, const std::vector<double>& want) {
    if (got.size() != want.size()) return false;
    const double tolerance = 1e-12 * largest_finite(want);
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i]) || std::isnan(got[i])) {
            if (!(std::isnan(want[i]) && std::isnan(got[i]))) return false;
        } else if (std::isinf(want[i]) || std::isinf(got[i])) {
            if (got[i] != want[i]) return false;
        } else if (!(std::fabs(got[i] - want[i]) <= tolerance)) {
            return false;
        }
    }
    return true;
}

void test_layouts_paths_blocks_and_chunks_agree() {
    const Design d = make_design(301, 3);
    const std::vector<Layout> all = layouts(d);
    auto binary = find_binary_columns(all[0].view, idx(d.k), d.intercepts);
    CHECK(binary && *binary == (std::vector<std::size_t>{1, 3}));
    const VectorView beta{d.beta.data(), d.k, 1};
    const std::ptrdiff_t k = d.k;

    for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
        for (const SeMethod method :
             {SeMethod::per_observation, SeMethod::statsmodels_style, SeMethod::unrecognised}) {
            const EffectAccumulators want = row_by_row(d, kind, method, *binary);
            for (const Layout& layout : all) {
                for (const std::ptrdiff_t block : {0, 1, 5, 64, 4096}) {
                    for (const std::optional<std::uint64_t> chunk :
                         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1},
                          std::optional<std::uint64_t>{7}, std::optional<std::uint64_t>{100},
                          std::optional<std::uint64_t>{301}, std::optional<std::uint64_t>{302}}) {
                        for (const ProductPath path : {ProductPath::automatic, ProductPath::loop}) {
                            PassOptions options;
                            options.chunk_size = chunk;
                            options.block_rows = block;
                            options.path = path;
                            auto got = accumulate_effects(beta, layout.view, kind, method,
                                                          d.intercepts, *binary, options);
                            const std::string context =
                                "kind=" + std::to_string(static_cast<int>(kind)) +
                                " method=" + std::to_string(static_cast<int>(method)) + " " +
                                layout.name + " block=" + std::to_string(block) +
                                " chunk=" + (chunk ? std::to_string(*chunk) : "none") +
                                (path == ProductPath::loop ? " loop" : " automatic");
                            const char* c = context.c_str();
                            CHECK(got.has_value(), "%s", c);
                            if (!got) continue;
                            CHECK(close(got->ame_sums_per_obs, want.ame_sums_per_obs), "%s", c);
                            CHECK(close(got->jacobian_per_obs, want.jacobian_per_obs), "%s", c);
                            CHECK(close(got->ame_sums_sm, want.ame_sums_sm), "%s", c);
                            CHECK(close(got->jacobian_sm, want.jacobian_sm), "%s", c);
                            // Binary rows get the same additions in both pairs; the
                            // intercept's own row gets none.
                            for (const std::size_t j : *binary) {
                                CHECK(identical(got->ame_sums_per_obs[j], got->ame_sums_sm[j]),
                                      "%s", c);
                                for (std::ptrdiff_t l = 0; l < k; ++l) {
                                    const std::size_t at = j * idx(k) + idx(l);
                                    CHECK(
                                        identical(got->jacobian_per_obs[at], got->jacobian_sm[at]),
                                        "%s", c);
                                }
                            }
                            for (std::ptrdiff_t l = 0; l < k; ++l) {
                                CHECK(got->jacobian_per_obs[idx(l)] == 0.0 &&
                                          got->jacobian_sm[idx(l)] == 0.0,
                                      "%s", c);
                            }
                        }
                    }
                }
            }
        }
    }
}

// With g binary and c continuous columns the product X^T W has g + 1 weight
// columns, which the BLAS path may widen with zero columns; every width from 1
// to 9 must give the row-by-row sums, and the widened columns must add nothing.
void test_every_number_of_weight_columns() {
    for (std::ptrdiff_t g = 0; g <= 8; ++g) {
        Design d;
        d.n = 97;
        d.k = 1 + g + 2;
        d.values.resize(idx(d.n * d.k));
        d.beta.resize(idx(d.k));
        std::mt19937_64 rng(static_cast<unsigned>(40 + g));
        std::normal_distribution<double> normal(0.0, 1.0);
        std::bernoulli_distribution coin(0.5);
        for (std::ptrdiff_t i = 0; i < d.n; ++i) {
            double* row = d.values.data() + i * d.k;
            row[0] = 1.0;
            for (std::ptrdiff_t j = 1; j < d.k; ++j) {
                row[j] = j <= g ? (coin(rng) ? 1.0 : 0.0) : normal(rng);
            }
        }
        for (std::ptrdiff_t j = 0; j < d.k; ++j) {
            d.beta[idx(j)] = 0.4 * normal(rng);
        }
        const std::vector<Layout> all = layouts(d);
        auto binary = find_binary_columns(all[0].view, idx(d.k), d.intercepts);
        CHECK(binary && binary->size() == idx(g), "g=%d", static_cast<int>(g));
        if (!binary) continue;
        const VectorView beta{d.beta.data(), d.k, 1};
        for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
            for (const SeMethod method : {SeMethod::per_observation, SeMethod::unrecognised}) {
                const EffectAccumulators want = row_by_row(d, kind, method, *binary);
                for (const Layout& layout : all) {
                    PassOptions options;
                    options.block_rows = 16;
                    auto got = accumulate_effects(beta, layout.view, kind, method, d.intercepts,
                                                  *binary, options);
                    CHECK(got && close(got->ame_sums_per_obs, want.ame_sums_per_obs) &&
                              close(got->jacobian_per_obs, want.jacobian_per_obs) &&
                              close(got->jacobian_sm, want.jacobian_sm),
                          "g=%d kind=%d method=%d %s", static_cast<int>(g), static_cast<int>(kind),
                          static_cast<int>(method), layout.name);
                }
            }
        }
    }
}

void test_non_finite_values_flow_through() {
    // Rows: an intercept, a 0/1 column holding only ones, and a continuous column.
    Design ones;
    ones.n = 5;
    ones.k = 3;
    ones.values = {1.0, 1.0, 0.2, 1.0, 1.0, -0.4, 1.0, 1.0, 1.3, 1.0, 1.0, 0.0, 1.0, 1.0, 2.1};
    const double inf = std::numeric_limits<double>::infinity();
    Design nan_cell = ones;
    nan_cell.values[8] = nan;
    nan_cell.beta = {0.3, -0.5, 0.7};
    ones.beta = {0.3, inf, 0.7};  // a row with x = 1 then has x_one = inf + 0 * inf = NaN

    for (const Design* d : {&ones, &nan_cell}) {
        const MatrixView x{d->values.data(), d->n, d->k, d->k, 1};
        const VectorView beta{d->beta.data(), d->k, 1};
        auto binary = find_binary_columns(x, idx(d->k), d->intercepts);
        CHECK(binary && *binary == std::vector<std::size_t>{1});
        for (const ModelKind kind : {ModelKind::logit, ModelKind::probit}) {
            for (const SeMethod method : {SeMethod::per_observation, SeMethod::statsmodels_style}) {
                const EffectAccumulators want = row_by_row(*d, kind, method, *binary);
                for (const std::uint64_t chunk : {1u, 2u, 5u}) {
                    for (const ProductPath path : {ProductPath::automatic, ProductPath::loop}) {
                        PassOptions options;
                        options.chunk_size = chunk;
                        options.path = path;
                        auto got = accumulate_effects(beta, x, kind, method, d->intercepts, *binary,
                                                      options);
                        const int kind_id = static_cast<int>(kind);
                        const int method_id = static_cast<int>(method);
                        CHECK(got && close(got->ame_sums_per_obs, want.ame_sums_per_obs) &&
                                  close(got->jacobian_per_obs, want.jacobian_per_obs) &&
                                  close(got->ame_sums_sm, want.ame_sums_sm) &&
                                  close(got->jacobian_sm, want.jacobian_sm),
                              "kind=%d method=%d chunk=%d", kind_id, method_id,
                              static_cast<int>(chunk));
                    }
                }
            }
        }
    }
}

void test_pass_faults_and_interrupts() {
    const Design d = make_design(40, 5);
    const MatrixView x{d.values.data(), d.n, d.k, d.k, 1};
    const std::vector<std::size_t> binary{1, 3};
    const VectorView short_beta{d.beta.data(), d.k - 1, 1};
    auto mismatch = accumulate_effects(short_beta, x, ModelKind::probit, SeMethod::per_observation,
                                       d.intercepts, binary, {});
    CHECK(!mismatch && mismatch.error().kind == FaultKind::internal);

    struct Counter {
        int calls = 0, stop_at = 0;
    } counter{0, 3};
    PassOptions options;
    options.chunk_size = 4;
    options.interrupt = {[](void* c) {
                             auto* seen = static_cast<Counter*>(c);
                             return ++seen->calls >= seen->stop_at;
                         },
                         &counter};
    const VectorView beta{d.beta.data(), d.k, 1};
    auto stopped = accumulate_effects(beta, x, ModelKind::logit, SeMethod::statsmodels_style,
                                      d.intercepts, binary, options);
    CHECK(!stopped && stopped.error().kind == FaultKind::interrupted);
    CHECK(counter.calls == 3);
}

void test_finalise_reads_sigma_through_its_strides_and_checks_its_shape() {
    // Sigma is not symmetric here, so a transposed reading would show; every reading of
    // the same matrix gives the same bits.
    const std::vector<double> s{2.0, 0.3, -0.1, 0.6, 1.0, 0.2, -0.4, 0.1, 0.5};
    EffectAccumulators acc(3);
    acc.ame_sums_per_obs = {1.0, 1.0, 1.0};
    acc.jacobian_per_obs = {0.2, -0.4, 0.1, 0.05, 0.3, -0.2, 0.0, 0.0, 0.7};
    std::vector<double> column_major(9);
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t l = 0; l < 3; ++l) column_major[l * 3 + i] = s[i * 3 + l];
    }
    const std::vector<double> reversed(s.rbegin(), s.rend());
    const MatrixView readings[] = {
        {s.data(), 3, 3, 3, 1},
        {column_major.data(), 3, 3, 1, 3},
        {reversed.data() + 8, 3, 3, -3, -1},
    };
    auto base = finalise_effects(2, 3, SeMethod::per_observation, acc, readings[0]);
    CHECK(base && base->std_errors[0] > 0.0 && base->std_errors[2] > 0.0);
    for (const MatrixView& sigma : readings) {
        auto out = finalise_effects(2, 3, SeMethod::per_observation, acc, sigma);
        for (std::size_t j = 0; j < 3; ++j) {
            CHECK(out && base && identical(out->std_errors[j], base->std_errors[j]), "j=%zu", j);
        }
    }

    // A Sigma of the wrong shape is an internal fault naming both operands, left first.
    const std::vector<double> nine(9, 1.0);
    auto rows = finalise_effects(1, 2, SeMethod::per_observation, EffectAccumulators(2),
                                 MatrixView{nine.data(), 3, 3, 3, 1});
    CHECK(!rows && rows.error().kind == FaultKind::internal);
    CHECK(!rows && rows.error().detail.find("2 x 2") < rows.error().detail.find("3 x 3"));
    auto cols = finalise_effects(1, 2, SeMethod::per_observation, EffectAccumulators(2),
                                 MatrixView{nine.data(), 2, 3, 3, 1});
    CHECK(!cols && cols.error().detail.find("2 x 3") < cols.error().detail.find("2 x 2"));
}

}  // namespace

int main() {
    test_layouts_paths_blocks_and_chunks_agree();
    test_every_number_of_weight_columns();
    test_non_finite_values_flow_through();
    test_pass_faults_and_interrupts();
    test_finalise_reads_sigma_through_its_strides_and_checks_its_shape();
    return velmora::test::finish("test_pass");
}
