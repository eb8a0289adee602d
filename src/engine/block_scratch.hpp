// The working memory of the pass for one block of rows, sized once per pass so
// that nothing is allocated while X is read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace velmora::engine {

struct BlockScratch {
    // Returns the rows of one cache block. Per row a block holds its k values of
    // X, width weights, g values of the binary columns and the 7 arrays of link
    // values and linear predictors below; all of it should stay within the
    // second-level cache while the block is worked on.
    static std::ptrdiff_t rows_for(std::ptrdiff_t k, std::ptrdiff_t g, std::ptrdiff_t width) {
        constexpr std::ptrdiff_t budget_doubles = 1 << 16;
        return std::clamp<std::ptrdiff_t>(budget_doubles / (k + width + g + 7), 16, 1024);
    }

    // Sizes the arrays for blocks of up to block_rows rows, g binary columns and
    // width weight columns; cdf only when a step reads F of the rows' own xb.
    void allocate(std::ptrdiff_t block_rows, std::ptrdiff_t g, std::ptrdiff_t width,
                  bool need_cdf) {
        rows = block_rows;
        const auto b = static_cast<std::size_t>(block_rows);
        const auto binary = static_cast<std::size_t>(g);
        const std::size_t per_binary = binary > 0 ? b : 0;
        xb.resize(b);
        cdf.resize(need_cdf ? b : 0);
        pdf.resize(b);
        link.resize(b);
        // Columns that no step writes stay zero: they only widen the product to a
        // faster kernel (see padded_product_width).
        weights.assign(b * static_cast<std::size_t>(width), 0.0);
        binary_x.resize(binary);
        binary_copy.resize(b * binary);
        other_xb.resize(per_binary);
        other_cdf.resize(per_binary);
        other_pdf.resize(per_binary);
    }

    // Returns weight column p of W.
    double* weight_column(std::ptrdiff_t p) { return weights.data() + p * rows; }

    std::ptrdiff_t rows = 0;  // the most rows a block has; the leading dimension of W
    // The rows' own linear predictors and their link values.
    std::vector<double> xb, cdf, pdf;
    // What the link kernels keep between their loops (see link_values).
    std::vector<double> link;
    // W, the weight columns of the product X^T W: column-major, rows x width.
    std::vector<double> weights;
    // Where each binary column's values for the block are: in X itself, or in
    // binary_copy (column-major, rows x g) where X's columns are not contiguous.
    std::vector<const double*> binary_x;
    std::vector<double> binary_copy;
    // The counterfactual side of the binary column in hand: linear predictors and link values.
    std::vector<double> other_xb, other_cdf, other_pdf;
};

}  // namespace velmora::engine
