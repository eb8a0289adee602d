#include "engine/accumulate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/cblas.hpp"

namespace velmora::engine {
namespace {

// Returns whether j is in a short ascending index list.
bool contains(std::span<const std::size_t> list, std::size_t j) {
    return std::find(list.begin(), list.end(), j) != list.end();
}

std::size_t to_index(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

// The pass asks the host whether to stop at least this often within one chunk.
constexpr std::ptrdiff_t rows_between_interrupt_checks = 1 << 18;

// Returns the rows of one cache block. Per row a block holds its k values of X,
// q weights, g values of the binary columns, 3g + 1 terms and 7 scratch values;
// all of it should stay within the second-level cache while the block is worked on.
std::ptrdiff_t pick_block_rows(std::ptrdiff_t k, std::ptrdiff_t g, std::ptrdiff_t q) {
    constexpr std::ptrdiff_t budget_doubles = 1 << 16;
    return std::clamp<std::ptrdiff_t>(budget_doubles / (k + q + 4 * g + 8), 16, 1024);
}

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

// Sorts a 0/1 column's link values into the x = 1 and x = 0 sides, given
// those of the rows' own xb and of the counterfactual side: F and f at x = 1,
// F at x = 0, and f(x = 1) - f(x = 0).
void sort_sides(const double* __restrict x, const double* __restrict cdf_own,
                const double* __restrict cdf_other, const double* __restrict pdf_own,
                const double* __restrict pdf_other, double* __restrict cdf_one,
                double* __restrict cdf_zero, double* __restrict pdf_one,
                double* __restrict pdf_difference, std::ptrdiff_t m) {
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const bool one = x[i] == 1.0;
        const double d_one = one ? pdf_own[i] : pdf_other[i];
        const double d_zero = one ? pdf_other[i] : pdf_own[i];
        cdf_one[i] = one ? cdf_own[i] : cdf_other[i];
        cdf_zero[i] = one ? cdf_other[i] : cdf_own[i];
        pdf_one[i] = d_one;
        pdf_difference[i] = d_one - d_zero;
    }
}

// The chunk loop and its per-chunk sums.
//
// Within a chunk the rows are taken in blocks. Each block forms xb, the link
// values of its own rows, per binary regressor the terms of the discrete change
// and a column of density differences, and one shared column for the
// continuous regressors. Two products then add every sum of the block: the row
// sums of the terms, and X_block^T W for the gradients. At the end of the chunk
// those sums are added into the accumulators, chunk after chunk.
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
        for (std::ptrdiff_t j = 0; j < k_; ++j) {
            if (!contains(intercepts, to_index(j)) && !contains(binary, to_index(j))) {
                continuous_.push_back(to_index(j));
            }
        }
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
        block_ = options_.block_rows > 0 ? options_.block_rows : pick_block_rows(k_, g_, width_);
        block_ = std::min(block_, n);
        allocate();

        const std::uint64_t chunk = options_.chunk_size.value_or(static_cast<std::uint64_t>(n));
        std::ptrdiff_t rows_since_check = 0;
        for (std::ptrdiff_t start = 0; start < n;) {
            if (interrupt_pending()) return interrupted();
            const std::uint64_t left = static_cast<std::uint64_t>(n - start);
            const std::ptrdiff_t end = start + static_cast<std::ptrdiff_t>(std::min(chunk, left));
            start_chunk();
            for (std::ptrdiff_t b = start; b < end; b += block_) {
                auto rows = x_.row_slice(b, std::min(b + block_, end));
                if (!rows) return std::unexpected(rows.error());
                const bool binary_ok = kind_ == ModelKind::logit
                                           ? add_block<ModelKind::logit>(*rows)
                                           : add_block<ModelKind::probit>(*rows);
                if (!binary_ok) {
                    return std::unexpected(
                        EngineFault{FaultKind::not_binary, "a binary column holds other values"});
                }
                rows_since_check += rows->rows;
                if (rows_since_check >= rows_between_interrupt_checks) {
                    rows_since_check = 0;
                    if (interrupt_pending()) return interrupted();
                }
            }
            add_chunk_sums(acc);
            start = end;
        }
        return acc;
    }

  private:
    void allocate() {
        const std::size_t b = to_index(block_), g = to_index(g_);
        xb_.resize(b);
        scratch_.resize(b);
        binary_x_.resize(g);
        binary_offsets_.resize(g);
        for (std::size_t jj = 0; jj < g; ++jj) {
            binary_offsets_[jj] = static_cast<std::ptrdiff_t>(binary_[jj]) * x_.col_stride;
        }
        xbin_.resize(b * g);
        arg_.resize(g > 0 ? b : 0);
        cdf_other_.resize(g > 0 ? b : 0);
        pdf_other_.resize(g > 0 ? b : 0);
        terms_.resize(b * (3 * g + 1));
        ones_.assign(b, 1.0);
        term_sums_.resize(3 * g + 1);
        cdf_.resize(need_cdf_ ? b : 0);
        // Columns beyond q stay zero: they only widen the product to a faster kernel.
        columns_.assign(b * to_index(width_), 0.0);
        products_.resize(to_index(k_) * to_index(width_));
    }

    void start_chunk() {
        std::fill(products_.begin(), products_.end(), 0.0);
        std::fill(term_sums_.begin(), term_sums_.end(), 0.0);
    }

    bool interrupt_pending() const {
        return options_.interrupt.pending != nullptr &&
               options_.interrupt.pending(options_.interrupt.context);
    }

    static std::unexpected<EngineFault> interrupted() {
        return std::unexpected(EngineFault{FaultKind::interrupted, "interrupted"});
    }

    // Adds one block of rows to the chunk's sums.
    //
    // Per row the link values of the row's own xb are computed once; per
    // binary column only the counterfactual side is new. Every sum of the block
    // is then taken by two products: the row sums of the per-row terms (one
    // matrix-vector product with a vector of ones) and X_block^T W. Returns
    // false, having added nothing, if a binary column holds another value.
    template <ModelKind K>
    bool add_block(MatrixView rows) {
        // The order of rows within a chunk is free; a forward view lets CBLAS read it.
        if (rows.row_stride < 0) rows = rows.reversed_rows();
        const std::ptrdiff_t m = rows.rows;
        matvec(rows, beta_.data(), xb_.data(), options_.path);

        double* own_pdf = term(3 * g_);
        if (need_cdf_) {
            link_values<K>(xb_.data(), cdf_.data(), own_pdf, m, scratch_.data());
        } else {
            pdf_array<K>(xb_.data(), own_pdf, m);
        }
        if (has_continuous_column_) fill_continuous_column<K>(m);
        if (g_ > 0) gather_binary_columns(rows);
        for (std::ptrdiff_t jj = 0; jj < g_; ++jj) {
            if (!add_binary_block<K>(jj, m)) return false;
        }
        add_column_sums(terms_.data(), block_, m, 3 * g_ + 1, ones_.data(), term_sums_.data(),
                        options_.path);
        add_transposed_product(rows, columns_.data(), block_, width_, products_.data(),
                               options_.path);
        return true;
    }

    // Points binary_x_ at the block's values of each binary column: in place
    // where a column is contiguous, else copied out row by row, which reads
    // each row of the block once for all binary columns.
    void gather_binary_columns(const MatrixView& rows) {
        const std::ptrdiff_t m = rows.rows;
        if (rows.row_stride == 1) {
            for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
                binary_x_[jj] = rows.data + binary_offsets_[jj];
            }
            return;
        }
        const std::ptrdiff_t g = g_;
        const std::ptrdiff_t* offsets = binary_offsets_.data();
        double* out = xbin_.data();
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double* row = rows.data + i * rows.row_stride;
            for (std::ptrdiff_t jj = 0; jj < g; ++jj) out[jj * block_ + i] = row[offsets[jj]];
        }
        for (std::ptrdiff_t jj = 0; jj < g; ++jj) binary_x_[to_index(jj)] = out + jj * block_;
    }

    // Returns column c of the per-row terms whose sums the block adds.
    double* term(std::ptrdiff_t c) { return terms_.data() + to_index(c * block_); }

    // Writes the per-row weights whose product with X gives the continuous
    // columns' shared gradient sums: xb f(xb) under "kova", f'(xb) under "sm".
    template <ModelKind K>
    void fill_continuous_column(std::ptrdiff_t m) {
        double* w = columns_.data() + to_index(g_ * block_);
        const double* v = xb_.data();
        const double* f = term(3 * g_);
        if (method_ == SeMethod::per_observation) {
            for (std::ptrdiff_t i = 0; i < m; ++i) w[i] = v[i] * f[i];
        } else if constexpr (K == ModelKind::logit) {
            const double* c = cdf_.data();
            for (std::ptrdiff_t i = 0; i < m; ++i) w[i] = logit_pdf_derivative(c[i], f[i]);
        } else {
            for (std::ptrdiff_t i = 0; i < m; ++i) w[i] = probit_pdf_derivative(v[i], f[i]);
        }
    }

    // Writes binary column jj's per-row terms for one block: F and f with x set
    // to 1, F with x set to 0, and the density difference that weights X.
    // Returns false if the column holds a value other than 0 and 1.
    //
    // For a finite coefficient b, a row with x = 1 has xb_one equal to its own
    // xb (the added (1 - x) b is a zero), and a row with x = 0 has xb_zero equal
    // to it, so only the counterfactual side needs new link values: xb - b or
    // xb + b, which is what xb + (-x) b and xb + (1 - x) b give for those x.
    template <ModelKind K>
    bool add_binary_block(std::ptrdiff_t jj, std::ptrdiff_t m) {
        const double b = beta_[binary_[to_index(jj)]];
        const double* x = binary_x_[to_index(jj)];
        double* f_one = term(3 * jj);
        double* f_zero = term(3 * jj + 1);
        double* d_one = term(3 * jj + 2);
        double* w = columns_.data() + to_index(jj * block_);
        if (!std::isfinite(b)) {
            if (!only_zero_one(x, m)) return false;
            add_binary_block_literal<K>(x, b, m, f_one, f_zero, d_one, w);
            return true;
        }
        if (!counterfactual(x, xb_.data(), b, arg_.data(), m)) return false;
        link_values<K>(arg_.data(), cdf_other_.data(), pdf_other_.data(), m, scratch_.data());
        sort_sides(x, cdf_.data(), cdf_other_.data(), term(3 * g_), pdf_other_.data(), f_one,
                   f_zero, d_one, w, m);
        return true;
    }

    // The same terms for a coefficient that is not finite, where a zero times
    // b is NaN: both sides are evaluated as written.
    template <ModelKind K>
    void add_binary_block_literal(const double* x, double b, std::ptrdiff_t m, double* f_one,
                                  double* f_zero, double* d_one, double* w) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double v = xb_[to_index(i)];
            const double v_one = v + ((1.0 - x[i]) * b);
            const double v_zero = v + ((-x[i]) * b);
            f_one[i] = cdf(K, v_one);
            f_zero[i] = cdf(K, v_zero);
            d_one[i] = pdf(K, v_one);
            w[i] = d_one[i] - pdf(K, v_zero);
        }
    }

    // Adds the chunk's sums into the accumulators: binary columns into both
    // pairs, continuous columns into the pair of the selected method.
    void add_chunk_sums(EffectAccumulators& acc) const {
        const std::size_t k = to_index(k_);
        for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
            const std::size_t j = binary_[jj];
            const double delta = term_sums_[3 * jj] - term_sums_[3 * jj + 1];
            acc.ame_sums_per_obs[j] += delta;
            acc.ame_sums_sm[j] += delta;
            const double* sums = products_.data() + jj * k;
            for (std::size_t l = 0; l < k; ++l) {
                const double g = l == j ? term_sums_[3 * jj + 2] : sums[l];
                acc.jacobian_per_obs[j * k + l] += g;
                acc.jacobian_sm[j * k + l] += g;
            }
        }
        if (!has_continuous_column_) return;
        const double* t = products_.data() + to_index(g_) * k;
        const double s = term_sums_[3 * binary_.size()];
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

    // Per block: xb, the link values of the rows' own xb, and the q weight columns.
    std::vector<double> xb_, cdf_, columns_;
    // Per block and binary column: the column's values, counterfactual xb and its link values.
    std::vector<const double*> binary_x_;
    std::vector<std::ptrdiff_t> binary_offsets_;
    std::vector<double> xbin_, arg_, cdf_other_, pdf_other_, scratch_;
    // Per block: columns of per-row terms (F and f at x = 1, F at x = 0 for each
    // binary column, then f(xb)) and a vector of ones to sum them with.
    std::vector<double> terms_, ones_;
    // Per chunk: the sums of those terms.
    std::vector<double> term_sums_;
    // Per chunk: X^T W (k x width).
    std::vector<double> products_;
};

}  // namespace

SeMethod select_method(std::string_view text) {
    if (text == "sm") return SeMethod::statsmodels_style;
    if (text == "kova") return SeMethod::per_observation;
    return SeMethod::unrecognised;
}

EngineResult<std::vector<std::size_t>> find_binary_columns(
    const MatrixView& x, std::size_t name_count, std::span<const std::size_t> intercept_columns) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < name_count; ++i) {
        if (contains(intercept_columns, i)) continue;
        if (i >= to_index(x.cols)) {
            return internal_fault("name " + std::to_string(i) + " has no column in X of " +
                                  std::to_string(x.cols) + " columns");
        }
        candidates.push_back(i);
    }
    // Rows are scanned in blocks so that a row-major X is read once, not once per column.
    constexpr std::ptrdiff_t scan_rows = 256;
    for (std::ptrdiff_t start = 0; start < x.rows && !candidates.empty(); start += scan_rows) {
        const std::ptrdiff_t end = std::min(start + scan_rows, x.rows);
        std::erase_if(candidates, [&](std::size_t j) {
            const VectorView column = x.column(static_cast<std::ptrdiff_t>(j));
            double other = 0.0;
            for (std::ptrdiff_t r = start; r < end; ++r) {
                other = (column[r] != 0.0) & (column[r] != 1.0) ? 1.0 : other;
            }
            return other != 0.0;
        });
    }
    return candidates;
}

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
