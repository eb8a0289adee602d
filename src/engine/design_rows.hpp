// A design matrix as the passes read it: a block of rows at a time.
//
// It is stored as one matrix, or as separate columns: the data's own columns read in
// place, beside the few columns made for the design (an interaction, a transformed
// variable) and the columns a categorical factor makes, held as its rows' level codes
// (one byte a row) and each column's value for every level. A block of separate columns
// is gathered into a small column-major matrix that stays in cache while the block is
// worked on, so that the whole design is never written out to memory and read back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/strided.hpp"

namespace velmora::engine {

// One column of a design held as separate columns: its values, or, where codes is set,
// row i's value is table[codes[i * code_stride]] (values then gives only the number of
// rows, values.size). The caller has checked that every code indexes the table.
struct DesignColumn {
    VectorView values;
    const std::uint8_t* codes = nullptr;
    std::ptrdiff_t code_stride = 1;
    VectorView table;
};

class DesignRows {
  public:
    // One matrix, read in place. Implicit: every pass takes a matrix as it always did.
    DesignRows(const MatrixView& matrix)  // NOLINT(google-explicit-constructor)
        : rows(matrix.rows), cols(matrix.cols), matrix_(matrix) {}

    // Separate columns of n rows each; the caller has checked their lengths.
    DesignRows(std::vector<DesignColumn> columns, std::ptrdiff_t n)
        : rows(n),
          cols(static_cast<std::ptrdiff_t>(columns.size())),
          columns_(std::move(columns)) {}

    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;

    // Copies the values of column j in rows [first, first + m) to out.
    void gather(std::ptrdiff_t j, std::ptrdiff_t first, std::ptrdiff_t m, double* out) const {
        if (columns_.empty()) {
            copy_strided(matrix_.column(j), first, m, out);
            return;
        }
        const DesignColumn& column = columns_[to_index(j)];
        if (column.codes == nullptr) {
            copy_strided(column.values, first, m, out);
            return;
        }
        const std::uint8_t* codes = column.codes + first * column.code_stride;
        for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = column.table[codes[i * column.code_stride]];
    }

    // Returns rows [first, first + m): a view of the matrix, or the columns' values of those
    // rows copied into buffer as an m x cols column-major matrix, valid until the next call.
    MatrixView block(std::ptrdiff_t first, std::ptrdiff_t m, std::vector<double>& buffer) const {
        if (columns_.empty()) {
            return {matrix_.data + first * matrix_.row_stride, m, cols, matrix_.row_stride,
                    matrix_.col_stride};
        }
        if (buffer.size() < to_index(m * cols)) buffer.resize(to_index(m * cols));
        for (std::ptrdiff_t j = 0; j < cols; ++j) gather(j, first, m, buffer.data() + j * m);
        return {buffer.data(), m, cols, 1, std::max<std::ptrdiff_t>(m, 1)};
    }

  private:
    static void copy_strided(const VectorView& in, std::ptrdiff_t first, std::ptrdiff_t m,
                             double* out) {
        const double* from = in.data + first * in.stride;
        if (in.stride == 1) {
            std::copy_n(from, m, out);
        } else {
            for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = from[i * in.stride];
        }
    }

    MatrixView matrix_;
    std::vector<DesignColumn> columns_;
};

// Returns the design's shape as text, "rows x cols", for messages.
inline std::string shape(const DesignRows& x) {
    return std::to_string(x.rows) + " x " + std::to_string(x.cols);
}

}  // namespace velmora::engine
