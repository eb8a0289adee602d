#include "engine/accumulate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace velmora::engine {
namespace {

// Returns whether j is in a short ascending index list.
bool contains(std::span<const std::size_t> list, std::size_t j) {
    return std::find(list.begin(), list.end(), j) != list.end();
}

std::size_t to_index(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

// The pass asks the host whether to stop at least this often within one chunk.
constexpr std::ptrdiff_t rows_between_interrupt_checks = 1 << 18;

// Returns the rows of one cache block: the block of X and its q + 3 temporaries
// should stay within the second-level cache while the block is worked on.
std::ptrdiff_t pick_block_rows(std::ptrdiff_t k, std::ptrdiff_t q) {
    constexpr std::ptrdiff_t budget_doubles = 1 << 15;
    return std::clamp<std::ptrdiff_t>(budget_doubles / (k + q + 3), 16, 1024);
}

// The chunk loop and its per-chunk sums.
//
// Within a chunk the rows are taken in blocks. Each block forms xb, the link
// values of its own rows and one column per binary regressor of density
// differences (plus one shared column for the continuous regressors), and a
// single product X_block^T W adds every gradient sum of the block. At the end
// of the chunk those sums are added into the accumulators, chunk after chunk.
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
        EffectAccumulators acc(to_index(k_));
        const std::ptrdiff_t n = x_.rows;
        if (n == 0 || q_ == 0) return acc;
        if (beta_.size() != to_index(k_)) {
            return internal_fault("product of X (" + std::to_string(n) + " x " +
                                  std::to_string(k_) + ") and beta (" +
                                  std::to_string(beta_.size()) + ")");
        }
        block_ = options_.block_rows > 0 ? options_.block_rows : pick_block_rows(k_, q_);
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
                if (kind_ == ModelKind::logit) {
                    add_block<ModelKind::logit>(*rows);
                } else {
                    add_block<ModelKind::probit>(*rows);
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
        pdf_.resize(b);
        cdf_.resize(need_cdf_ ? b : 0);
        columns_.resize(b * to_index(q_));
        products_.resize(to_index(k_) * to_index(q_));
        one_sums_.resize(g);
        zero_sums_.resize(g);
        one_pdf_sums_.resize(g);
    }

    void start_chunk() {
        std::fill(products_.begin(), products_.end(), 0.0);
        std::fill(one_sums_.begin(), one_sums_.end(), 0.0);
        std::fill(zero_sums_.begin(), zero_sums_.end(), 0.0);
        std::fill(one_pdf_sums_.begin(), one_pdf_sums_.end(), 0.0);
        pdf_sum_ = 0.0;
    }

    bool interrupt_pending() const {
        return options_.interrupt.pending != nullptr &&
               options_.interrupt.pending(options_.interrupt.context);
    }

    static std::unexpected<EngineFault> interrupted() {
        return std::unexpected(EngineFault{FaultKind::interrupted, "interrupted"});
    }

    // Adds one block of rows to the chunk's sums.
    template <ModelKind K>
    void add_block(MatrixView rows) {
        // The order of rows within a chunk is free; a forward view lets CBLAS read it.
        if (rows.row_stride < 0) rows = rows.reversed_rows();
        const std::ptrdiff_t m = rows.rows;
        matvec(rows, beta_.data(), xb_.data(), options_.path);

        double pdf_sum = 0.0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double f = pdf(K, xb_[to_index(i)]);
            pdf_[to_index(i)] = f;
            pdf_sum += f;
        }
        pdf_sum_ += pdf_sum;
        if (need_cdf_) {
            for (std::ptrdiff_t i = 0; i < m; ++i) cdf_[to_index(i)] = cdf(K, xb_[to_index(i)]);
        }
        if (has_continuous_column_) fill_continuous_column<K>(m);
        for (std::ptrdiff_t jj = 0; jj < g_; ++jj) add_binary_block<K>(jj, rows);
        add_transposed_product(rows, columns_.data(), block_, q_, products_.data(),
                               options_.path);
    }

    // Writes the per-row weights whose product with X gives the continuous
    // columns' shared gradient sums: xb f(xb) under "kova", f'(xb) under "sm".
    template <ModelKind K>
    void fill_continuous_column(std::ptrdiff_t m) {
        double* w = columns_.data() + to_index(g_ * block_);
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            if (method_ == SeMethod::per_observation) {
                w[r] = xb_[r] * pdf_[r];
            } else if constexpr (K == ModelKind::logit) {
                w[r] = logit_pdf_derivative(cdf_[r], pdf_[r]);
            } else {
                w[r] = probit_pdf_derivative(xb_[r], pdf_[r]);
            }
        }
    }

    // Adds binary column jj's discrete change over one block.
    //
    // For a finite coefficient b, a row with x = 1 has xb_one equal to its own
    // xb (the added (1 - x) b is a zero), and a row with x = 0 has xb_zero equal
    // to it, so only the counterfactual side needs new link values; the row's
    // own values were computed once for every binary column.
    template <ModelKind K>
    void add_binary_block(std::ptrdiff_t jj, const MatrixView& rows) {
        const std::ptrdiff_t m = rows.rows;
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(binary_[to_index(jj)]);
        const double b = beta_[to_index(j)];
        const VectorView x = rows.column(j);
        double* w = columns_.data() + to_index(jj * block_);
        double one_sum = 0.0, zero_sum = 0.0, one_pdf_sum = 0.0;
        const bool shortcut = std::isfinite(b);
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::size_t r = to_index(i);
            const double xi = x[i];
            const double v = xb_[r];
            double f_one, f_zero, d_one, d_zero;
            if (shortcut && xi == 1.0) {
                f_one = cdf_[r];
                d_one = pdf_[r];
                const double v_zero = v + ((-xi) * b);
                f_zero = cdf(K, v_zero);
                d_zero = pdf(K, v_zero);
            } else if (shortcut && xi == 0.0) {
                f_zero = cdf_[r];
                d_zero = pdf_[r];
                const double v_one = v + ((1.0 - xi) * b);
                f_one = cdf(K, v_one);
                d_one = pdf(K, v_one);
            } else {
                const double v_one = v + ((1.0 - xi) * b);
                const double v_zero = v + ((-xi) * b);
                f_one = cdf(K, v_one);
                f_zero = cdf(K, v_zero);
                d_one = pdf(K, v_one);
                d_zero = pdf(K, v_zero);
            }
            one_sum += f_one;
            zero_sum += f_zero;
            one_pdf_sum += d_one;
            w[r] = d_one - d_zero;
        }
        one_sums_[to_index(jj)] += one_sum;
        zero_sums_[to_index(jj)] += zero_sum;
        one_pdf_sums_[to_index(jj)] += one_pdf_sum;
    }

    // Adds the chunk's sums into the accumulators: binary columns into both
    // pairs, continuous columns into the pair of the selected method.
    void add_chunk_sums(EffectAccumulators& acc) const {
        const std::size_t k = to_index(k_);
        for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
            const std::size_t j = binary_[jj];
            const double delta = one_sums_[jj] - zero_sums_[jj];
            acc.ame_sums_per_obs[j] += delta;
            acc.ame_sums_sm[j] += delta;
            const double* sums = products_.data() + jj * k;
            for (std::size_t l = 0; l < k; ++l) {
                const double g = l == j ? one_pdf_sums_[jj] : sums[l];
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

    // Per block: xb, the link values of the rows' own xb, and the q weight columns.
    std::vector<double> xb_, pdf_, cdf_, columns_;
    // Per chunk: X^T W (k x q), the binary columns' sums of F and f, and the sum of f(xb).
    std::vector<double> products_, one_sums_, zero_sums_, one_pdf_sums_;
    double pdf_sum_ = 0.0;
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
            for (std::ptrdiff_t r = start; r < end; ++r) {
                const double v = x.at(r, static_cast<std::ptrdiff_t>(j));
                if (!(v == 0.0 || v == 1.0)) return true;
            }
            return false;
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

}  // namespace velmora::engine
