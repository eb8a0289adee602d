// A design matrix as the passes read it: a block of rows at a time.
//
// It is stored as one matrix, or as separate columns: the data's own columns read in
// place, beside the few columns made for the design (a level's indicator, an
// interaction). A block of separate columns is gathered into a small column-major
// matrix that stays in cache while the block is worked on, so that the whole design is
// never written out to memory and read back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "engine/strided.hpp"

namespace velmora::engine {

class DesignRows {
  public:
    // One matrix, read in place. Implicit: every pass takes a matrix as it always did.
    DesignRows(const MatrixView& matrix)  // NOLINT(google-explicit-constructor)
        : rows(matrix.rows), cols(matrix.cols), matrix_(matrix) {}

    // Separate columns of rows values each; the caller has checked their lengths.
    DesignRows(std::vector<VectorView> columns, std::ptrdiff_t n)
        : rows(n),
          cols(static_cast<std::ptrdiff_t>(columns.size())),
          columns_(std::move(columns)) {}

    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;

    // Returns column j, read in place.
    VectorView column(std::ptrdiff_t j) const {
        return columns_.empty() ? matrix_.column(j) : columns_[to_index(j)];
    }

    // Returns rows [first, first + m): a view of the matrix, or the columns' values of those
    // rows copied into buffer as an m x cols column-major matrix, valid until the next call.
    MatrixView block(std::ptrdiff_t first, std::ptrdiff_t m, std::vector<double>& buffer) const {
        if (columns_.empty()) {
            return {matrix_.data + first * matrix_.row_stride, m, cols, matrix_.row_stride,
                    matrix_.col_stride};
        }
        if (buffer.size() < to_index(m * cols)) buffer.resize(to_index(m * cols));
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            const VectorView& column = columns_[to_index(j)];
            const double* in = column.data + first * column.stride;
            double* out = buffer.data() + j * m;
            if (column.stride == 1) {
                std::copy_n(in, m, out);
            } else {
                for (std::ptrdiff_t i = 0; i < m; ++i) out[i] = in[i * column.stride];
            }
        }
        return {buffer.data(), m, cols, 1, std::max<std::ptrdiff_t>(m, 1)};
    }

  private:
    MatrixView matrix_;
    std::vector<VectorView> columns_;
};

// Returns the design's shape as text, "rows x cols", for messages.
inline std::string shape(const DesignRows& x) {
    return std::to_string(x.rows) + " x " + std::to_string(x.cols);
}

}  // namespace velmora::engine
