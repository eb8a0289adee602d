#include "engine/accumulate.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/binary_columns.hpp"
#include "engine/block_scratch.hpp"
#include "engine/cblas.hpp"
#include "engine/continuous_step.hpp"
#include "engine/discrete_change.hpp"
#include "engine/link_arrays.hpp"
#include "engine/propagate.hpp"

namespace velmora::engine {
namespace {

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
        need_cdf_ = g_ > 0 || (has_continuous_column_ && method_ == SeMethod::statsmodels_style &&
                               derivative_reads_cdf(kind_));
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
        VELMORA_ASSIGN_OR_RETURN(const MatrixView first_rows,
                                 x_.row_slice(0, std::min<std::ptrdiff_t>(n, 1024)));
        const MatrixView forward =
            first_rows.row_stride < 0 ? first_rows.reversed_rows() : first_rows;
        width_ = padded_product_width(forward, q_, options_.path);
        block_ =
            options_.block_rows > 0 ? options_.block_rows : BlockScratch::rows_for(k_, g_, width_);
        block_ = std::min(block_, n);
        allocate();

        VELMORA_RETURN_IF_ERROR(walk_row_blocks(
            n, options_.chunk_size, block_, options_.interrupt, [&] { start_chunk(); },
            [&](std::ptrdiff_t begin, std::ptrdiff_t end) { return add_rows(begin, end); },
            [&] { add_chunk_sums(acc); }));
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
        VELMORA_ASSIGN_OR_RETURN(const MatrixView rows, x_.row_slice(begin, end));
        const bool binary_ok =
            with_link(kind_, [&]<ModelKind K>(LinkTag<K>) { return add_block<K>(rows); });
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
        if (has_continuous_column_) {
            add_continuous_block<K>(method_, m, s, s.weight_column(g_), pdf_sum_);
        }
        if (g_ > 0) gather_binary_columns(rows);
        for (std::ptrdiff_t jj = 0; jj < g_; ++jj) {
            const std::size_t column = binary_[to_index(jj)];
            if (!add_discrete_change<K>(s.binary_x[to_index(jj)], beta_[column], m, s,
                                        s.weight_column(jj), binary_sums_[to_index(jj)])) {
                return false;
            }
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

    // Adds the chunk's sums into the accumulators: binary columns into both
    // pairs, continuous columns into the pair of the selected method.
    void add_chunk_sums(EffectAccumulators& acc) const {
        const std::size_t k = to_index(k_);
        for (std::size_t jj = 0; jj < binary_.size(); ++jj) {
            add_discrete_change_sums(binary_[jj], binary_sums_[jj], {products_.data() + jj * k, k},
                                     acc);
        }
        if (!has_continuous_column_) return;
        add_continuous_sums(method_, continuous_, beta_, pdf_sum_,
                            {products_.data() + to_index(g_) * k, k}, acc);
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
    VELMORA_ASSIGN_OR_RETURN(const MatrixView leading,
                             x.row_slice(0, std::min(x.rows, leading_rows)));
    VELMORA_ASSIGN_OR_RETURN(std::vector<std::size_t> binary,
                             find_binary_columns(leading, name_count, intercept_columns));
    auto sums = accumulate_effects(beta, x, kind, method, intercept_columns, binary, options);
    if (!sums && sums.error().kind == FaultKind::not_binary) {
        VELMORA_ASSIGN_OR_RETURN(binary, find_binary_columns(x, name_count, intercept_columns));
        sums = accumulate_effects(beta, x, kind, method, intercept_columns, binary, options);
        if (!sums && sums.error().kind == FaultKind::not_binary) {
            return internal_fault("a column of X changed while it was read");
        }
    }
    VELMORA_ASSIGN_OR_RETURN(EffectAccumulators filled, std::move(sums));
    return PassResult{std::move(binary), std::move(filled)};
}

}  // namespace velmora::engine
