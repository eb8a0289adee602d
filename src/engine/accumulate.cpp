#include "engine/accumulate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "engine/binary_columns.hpp"
#include "engine/block_scratch.hpp"
#include "engine/cblas.hpp"
#include "engine/link_arrays.hpp"
#include "engine/pairs.hpp"

namespace velmora::engine {
namespace {

std::size_t to_index(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

// Returns whether every one of m values is 0 or 1.
bool only_zero_one(const double* __restrict x, std::ptrdiff_t m) {
    double other = 0.0;  // a select, not a branch, so that the loop is vector code
    for (std::ptrdiff_t i = 0; i < m; ++i) other = (x[i] != 0.0) & (x[i] != 1.0) ? 1.0 : other;
    return other == 0.0;
}

// Writes the linear predictor of the other side of a 0/1 column: xb - b where
// x = 1, xb + b where x = 0. Returns whether every one of the m values of x is
// 0 or 1; where one is not, what was written is of no use.
bool counterfactual(const double* __restrict x, const double* __restrict xb, double b,
                    double* __restrict out, std::ptrdiff_t m) {
    const double minus_b = -b;
    double other = 0.0;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        out[i] = xb[i] + (x[i] == 1.0 ? minus_b : b);
        other = (x[i] != 0.0) & (x[i] != 1.0) ? 1.0 : other;
    }
    return other == 0.0;
}

// The sums of one binary column's per-row terms over a chunk.
struct DiscreteChangeSums {
    double cdf_one = 0.0;   // F with x set to 1
    double cdf_zero = 0.0;  // F with x set to 0
    double pdf_one = 0.0;   // f with x set to 1
};

// Sorts a 0/1 column's link values into the x = 1 and x = 0 sides, given
// those of the rows' own xb and of the counterfactual side. Writes
// f(x = 1) - f(x = 0) into pdf_difference, and adds the sums of F(x = 1),
// F(x = 0) and f(x = 1), even and odd rows apart, into sums.
void sort_sides(const double* __restrict x, const double* __restrict cdf_own,
                const double* __restrict cdf_other, const double* __restrict pdf_own,
                const double* __restrict pdf_other, double* __restrict pdf_difference,
                std::ptrdiff_t m, DiscreteChangeSums& sums) {
    Pair cdf_one{}, cdf_zero{}, pdf_one{};
    in_pairs(m, [&](std::ptrdiff_t i, std::ptrdiff_t count) {
        const PairMask one = load_pair(x + i, count) == 1.0;
        const Pair c_own = load_pair(cdf_own + i, count), c_other = load_pair(cdf_other + i, count);
        const Pair d_own = load_pair(pdf_own + i, count), d_other = load_pair(pdf_other + i, count);
        const Pair d_one = one ? d_own : d_other;
        const Pair d_zero = one ? d_other : d_own;
        cdf_one += one ? c_own : c_other;
        cdf_zero += one ? c_other : c_own;
        pdf_one += d_one;
        store_pair(pdf_difference + i, d_one - d_zero, count);
    });
    sums.cdf_one += total(cdf_one);
    sums.cdf_zero += total(cdf_zero);
    sums.pdf_one += total(pdf_one);
}

// The chunk loop and its per-chunk sums.
//
// Within a chunk the rows are taken in blocks. Each block forms xb, the link
// values of its own rows, per binary regressor the terms of the discrete change
// and a column of density differences, and one shared column for the
// continuous regressors; the loops that form the terms add their sums. One
// product, X_block^T W, then adds the block's gradient sums. At the end of the
// chunk those sums are added into the accumulators, chunk after chunk.
class Pass {
  public:
    Pass(VectorView beta, const MatrixView& x, ModelKind kind, SeMethod method,
         std::span<const std::size_t> intercepts, std::span<const std::size_t> binary,
         const PassOptions& options)
        : x_(x),
          kind_(kind),
          method_(method),
          k_(x.cols),
          binary_(binary),
          options_(options),
          beta_(to_index(beta.size)) {
        for (std::ptrdiff_t l = 0; l < beta.size; ++l) beta_[to_index(l)] = beta[l];
        continuous_ = continuous_columns(to_index(k_), intercepts, binary);
        has_continuous_column_ = !continuous_.empty() && method_ != SeMethod::unrecognised;
        g_ = static_cast<std::ptrdiff_t>(binary_.size());
        q_ = g_ + (has_continuous_column_ ? 1 : 0);
        need_cdf_ = g_ > 0 || (has_continuous_column_ && kind_ == ModelKind::logit &&
                               method_ == SeMethod::statsmodels_style);
    }

    EngineResult<EffectAccumulators> run() {
        const cblas::SingleThreaded single_threaded;
        EffectAccumulators acc(to_index(k_));
        const std::ptrdiff_t n = x_.rows;
        if (options_.chunk_size == 0u) return internal_fault("chunk size of 0 rows");
        if (n > 0 && beta_.size() != to_index(k_)) {
            return internal_fault("product of X (" + std::to_string(n) + " x " +
                                  std::to_string(k_) + ") and beta (" +
                                  std::to_string(beta_.size()) + ")");
        }
        if (n == 0 || q_ == 0) return acc;
        // Every block has the strides of X, so one decides the width for all.
        auto first_rows = x_.row_slice(0, std::min<std::ptrdiff_t>(n, 1024));
        if (!first_rows) return std::unexpected(first_rows.error());
        const MatrixView forward =
            first_rows->row_stride < 0 ? first_rows->reversed_rows() : *first_rows;
        width_ = padded_product_width(forward, q_, options_.path);
        block_ =
            options_.block_rows > 0 ? options_.block_rows : BlockScratch::rows_for(k_, g_, width_);
        block_ = std::min(block_, n);
        allocate();

        auto walked = walk_row_blocks(
            n, options_.chunk_size, block_, options_.interrupt, [&] { start_chunk(); },
            [&](std::ptrdiff_t begin, std::ptrdiff_t end) { return add_rows(begin, end); },
            [&] { add_chunk_sums(acc); });
        if (!walked) return std::unexpected(std::move(walked.error()));
        return acc;
    }

  private:
    void allocate() {
        const std::size_t g = to_index(g_);
        scratch_.allocate(block_, g_, width_, need_cdf_);
        binary_offsets_.resize(g);
        for (std::size_t jj = 0; jj < g; ++jj) {
            binary_offsets_[jj] = static_cast<std::ptrdiff_t>(binary_[jj]) * x_.col_stride;
        }
        binary_sums_.resize(g);
        products_.resize(to_index(k_) * to_index(width_));
    }

    void start_chunk() {
        std::fill(products_.begin(), products_.end(), 0.0);
        std::fill(binary_sums_.begin(), binary_sums_.end(), DiscreteChangeSums{});
        pdf_sum_ = 0.0;
    }

    // Adds rows [begin, end) of X to the chunk's sums.
    EngineResult<void> add_rows(std::ptrdiff_t begin, std::ptrdiff_t end) {
        auto rows = x_.row_slice(begin, end);
        if (!rows) return std::unexpected(rows.error());
        const bool binary_ok = kind_ == ModelKind::logit ? add_block<ModelKind::logit>(*rows)
                                                         : add_block<ModelKind::probit>(*rows);
        if (!binary_ok) {
            return std::unexpected(
                EngineFault{FaultKind::not_binary, "a binary column holds other values"});
        }
        return {};
    }

    // Adds one block of rows to the chunk's sums.
    //
    // Per row the link values of the row's own xb are computed once; per
    // binary column only the counterfactual side is new. The sums of the
    // per-row terms are added as they are formed, the gradient sums by one
    // product X_block^T W. Returns false if a binary column holds another
    // value; the chunk's sums are then of no use.
    template <ModelKind K>
    bool add_block(MatrixView rows) {
        // The order of rows within a chunk is free; a forward view lets CBLAS read it.
        if (rows.row_stride < 0) rows = rows.reversed_rows();
        const std::ptrdiff_t m = rows.rows;
        BlockScratch& s = scratch_;
        matvec(rows, beta_.data(), s.xb.data(), options_.path);

        if (need_cdf_) {
            link_values<K>(s.xb.data(), s.cdf.data(), s.pdf.data(), m, s.link.data());
        } else {
            pdf_array<K>(s.xb.data(), s.pdf.data(), m);
        }
        if (has_continuous_column_) fill_continuous_column<K>(m);
        if (g_ > 0) gather_binary_columns(rows);
        for (std::ptrdiff_t jj = 0; jj < g_; ++jj) {
            if (!add_binary_block<K>(jj, m)) return false;
        }
        add_transposed_product(rows, s.weights.data(), block_, width_, products_.data(),
                               options_.path);
        return true;
    }

    // Points binary_x at the block's values of each binary column: in place
    // where a column is contiguous, else copied out row by row, which reads
    // each row of the block once for all binary columns.
    void gather_binary_columns(const MatrixView& rows) {
        const std::ptrdiff_t m = rows.rows;
        if (rows.row_stride == 1) {
            for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
                scratch_.binary_x[jj] = rows.data + binary_offsets_[jj];
            }
            return;
        }
        const std::ptrdiff_t g = g_;
        const std::ptrdiff_t* offsets = binary_offsets_.data();
        double* out = scratch_.binary_copy.data();
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double* row = rows.data + i * rows.row_stride;
            for (std::ptrdiff_t jj = 0; jj < g; ++jj) out[jj * block_ + i] = row[offsets[jj]];
        }
        for (std::ptrdiff_t jj = 0; jj < g; ++jj) {
            scratch_.binary_x[to_index(jj)] = out + jj * block_;
        }
    }

    // Writes the per-row weights whose product with X gives the continuous
    // columns' shared gradient sums, xb f(xb) under "kova" and f'(xb) under
    // "sm", and adds the sum of f(xb).
    template <ModelKind K>
    void fill_continuous_column(std::ptrdiff_t m) {
        double* w = scratch_.weight_column(g_);
        const double* v = scratch_.xb.data();
        const double* f = scratch_.pdf.data();
        pdf_sum_ += sum_of(f, m);
        if (method_ == SeMethod::per_observation) {
            for (std::ptrdiff_t i = 0; i < m; ++i) w[i] = v[i] * f[i];
        } else {
            pdf_derivative_array<K>(v, scratch_.cdf.data(), f, w, m);
        }
    }

    // Adds binary column jj's per-row terms for one block: the sums of F and f
    // with x set to 1 and of F with x set to 0; writes the density difference
    // that weights X. Returns false, having added nothing, if the column holds
    // a value other than 0 and 1.
    //
    // For a finite coefficient b, a row with x = 1 has xb_one equal to its own
    // xb (the added (1 - x) b is a zero), and a row with x = 0 has xb_zero equal
    // to it, so only the counterfactual side needs new link values: xb - b or
    // xb + b, which is what xb + (-x) b and xb + (1 - x) b give for those x.
    template <ModelKind K>
    bool add_binary_block(std::ptrdiff_t jj, std::ptrdiff_t m) {
        const double b = beta_[binary_[to_index(jj)]];
        const double* x = scratch_.binary_x[to_index(jj)];
        DiscreteChangeSums& sums = binary_sums_[to_index(jj)];
        double* w = scratch_.weight_column(jj);
        BlockScratch& s = scratch_;
        if (!std::isfinite(b)) {
            if (!only_zero_one(x, m)) return false;
            add_binary_block_literal<K>(x, b, m, w, sums);
            return true;
        }
        if (!counterfactual(x, s.xb.data(), b, s.other_xb.data(), m)) return false;
        link_values<K>(s.other_xb.data(), s.other_cdf.data(), s.other_pdf.data(), m, s.link.data());
        sort_sides(x, s.cdf.data(), s.other_cdf.data(), s.pdf.data(), s.other_pdf.data(), w, m,
                   sums);
        return true;
    }

    // The same terms for a coefficient that is not finite, where a zero times
    // b is NaN: both sides are evaluated as written.
    template <ModelKind K>
    void add_binary_block_literal(const double* x, double b, std::ptrdiff_t m, double* w,
                                  DiscreteChangeSums& sums) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double v = scratch_.xb[to_index(i)];
            const double v_one = v + ((1.0 - x[i]) * b);
            const double v_zero = v + ((-x[i]) * b);
            const double d_one = pdf(K, v_one);
            sums.cdf_one += cdf(K, v_one);
            sums.cdf_zero += cdf(K, v_zero);
            sums.pdf_one += d_one;
            w[i] = d_one - pdf(K, v_zero);
        }
    }

    // Adds the chunk's sums into the accumulators: binary columns into both
    // pairs, continuous columns into the pair of the selected method.
    void add_chunk_sums(EffectAccumulators& acc) const {
        const std::size_t k = to_index(k_);
        for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
            const std::size_t j = binary_[jj];
            const DiscreteChangeSums& t = binary_sums_[jj];
            const double delta = t.cdf_one - t.cdf_zero;
            acc.ame_sums_per_obs[j] += delta;
            acc.ame_sums_sm[j] += delta;
            const double* sums = products_.data() + jj * k;
            for (std::size_t l = 0; l < k; ++l) {
                const double g = l == j ? t.pdf_one : sums[l];
                acc.jacobian_per_obs[j * k + l] += g;
                acc.jacobian_sm[j * k + l] += g;
            }
        }
        if (!has_continuous_column_) return;
        const double* t = products_.data() + to_index(g_) * k;
        const double s = pdf_sum_;
        for (const std::size_t j : continuous_) {
            const double b = beta_[j];
            if (method_ == SeMethod::per_observation) {
                acc.ame_sums_per_obs[j] = (s * b) + acc.ame_sums_per_obs[j];
                for (std::size_t l = 0; l < k; ++l) {
                    const double r = l == j ? s : t[l] * (-b);
                    acc.jacobian_per_obs[j * k + l] = r + acc.jacobian_per_obs[j * k + l];
                }
            } else {
                acc.ame_sums_sm[j] = (s * b) + acc.ame_sums_sm[j];
                for (std::size_t l = 0; l < k; ++l) {
                    const double r = l == j ? (t[l] * b) + s : t[l] * b;
                    acc.jacobian_sm[j * k + l] = r + acc.jacobian_sm[j * k + l];
                }
            }
        }
    }

    MatrixView x_;
    ModelKind kind_;
    SeMethod method_;
    std::ptrdiff_t k_;
    std::span<const std::size_t> binary_;
    const PassOptions& options_;
    std::vector<double> beta_;
    std::vector<std::size_t> continuous_;
    bool has_continuous_column_ = false;
    bool need_cdf_ = false;
    std::ptrdiff_t g_ = 0;
    std::ptrdiff_t q_ = 0;
    std::ptrdiff_t block_ = 0;
    std::ptrdiff_t width_ = 0;  // columns given to the product X^T W: q or more

    BlockScratch scratch_;
    // Where each binary column is within a row of X.
    std::vector<std::ptrdiff_t> binary_offsets_;
    // Per chunk: the sums of the per-row terms of each binary column, and of f(xb).
    std::vector<DiscreteChangeSums> binary_sums_;
    double pdf_sum_ = 0.0;
    // Per chunk: X^T W (k x width).
    std::vector<double> products_;
};

}  // namespace

EngineResult<EffectAccumulators> accumulate_effects(VectorView beta, const MatrixView& x,
                                                    ModelKind kind, SeMethod method,
                                                    std::span<const std::size_t> intercept_columns,
                                                    std::span<const std::size_t> binary_columns,
                                                    const PassOptions& options) {
    for (const std::size_t j : binary_columns) {
        if (j >= to_index(x.cols)) {
            return internal_fault("binary column " + std::to_string(j) + " outside X of " +
                                  std::to_string(x.cols) + " columns");
        }
    }
    return Pass(beta, x, kind, method, intercept_columns, binary_columns, options).run();
}

EngineResult<PassResult> find_binary_columns_and_accumulate(
    VectorView beta, const MatrixView& x, std::size_t name_count, ModelKind kind, SeMethod method,
    std::span<const std::size_t> intercept_columns, const PassOptions& options) {
    // Enough rows that columns which merely start with zeros and ones are rare.
    constexpr std::ptrdiff_t leading_rows = 4096;
    auto leading = x.row_slice(0, std::min(x.rows, leading_rows));
    if (!leading) return std::unexpected(leading.error());
    auto binary = find_binary_columns(*leading, name_count, intercept_columns);
    if (!binary) return std::unexpected(binary.error());
    auto sums = accumulate_effects(beta, x, kind, method, intercept_columns, *binary, options);
    if (!sums && sums.error().kind == FaultKind::not_binary) {
        binary = find_binary_columns(x, name_count, intercept_columns);
        if (!binary) return std::unexpected(binary.error());
        sums = accumulate_effects(beta, x, kind, method, intercept_columns, *binary, options);
        if (!sums && sums.error().kind == FaultKind::not_binary) {
            return internal_fault("a column of X changed while it was read");
        }
    }
    if (!sums) return std::unexpected(sums.error());
    return PassResult{std::move(*binary), std::move(*sums)};
}

}  // namespace velmora::engine
