// Read-only strided views over float64 storage owned elsewhere.
//
// Strides are counted in elements and may be zero or negative, so a view can
// show any NumPy memory order without copying.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/fault.hpp"

namespace velmora::engine {

// Returns a nonnegative count or index as a size_t, to index a std::vector.
constexpr std::size_t to_index(std::ptrdiff_t i) { return static_cast<std::size_t>(i); }

struct VectorView {
    const double* data = nullptr;
    std::ptrdiff_t size = 0;
    std::ptrdiff_t stride = 1;

    double operator[](std::ptrdiff_t i) const { return data[i * stride]; }
};

// A read-only strided view of 64-bit integers, such as the cluster codes of rows.
struct CodeView {
    const std::int64_t* data = nullptr;
    std::ptrdiff_t size = 0;
    std::ptrdiff_t stride = 1;

    std::int64_t operator[](std::ptrdiff_t i) const { return data[i * stride]; }
};

struct MatrixView {
    const double* data = nullptr;
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    double at(std::ptrdiff_t i, std::ptrdiff_t j) const {
        return data[i * row_stride + j * col_stride];
    }

    // Returns column j as a vector view.
    VectorView column(std::ptrdiff_t j) const { return {data + j * col_stride, rows, row_stride}; }

    // Returns rows [begin, end) sharing this view's storage; requires 0 <= begin <= end <= rows.
    EngineResult<MatrixView> row_slice(std::ptrdiff_t begin, std::ptrdiff_t end) const {
        if (begin < 0 || begin > end || end > rows) {
            return internal_fault("row slice [" + std::to_string(begin) + ", " +
                                  std::to_string(end) + ") outside " + std::to_string(rows) +
                                  " rows");
        }
        return MatrixView{data + begin * row_stride, end - begin, cols, row_stride, col_stride};
    }

    // Returns the same rows in reverse order; the reversed view of a view with a
    // negative row stride has a positive one.
    MatrixView reversed_rows() const {
        if (rows == 0) return *this;
        return {data + (rows - 1) * row_stride, rows, cols, -row_stride, col_stride};
    }
};

// Returns the view's shape as text, "rows x cols", for messages.
inline std::string shape(const MatrixView& m) {
    return std::to_string(m.rows) + " x " + std::to_string(m.cols);
}

// True when the view is a row-major matrix that CBLAS can read in place: unit
// stride along a row, a row stride of at least one row, every size within int.
inline bool row_major_blas_ok(const MatrixView& m) {
    return m.rows > 0 && m.cols > 0 && m.col_stride == 1 &&
           m.row_stride >= (m.cols > 1 ? m.cols : 1) && m.rows <= INT_MAX && m.cols <= INT_MAX &&
           m.row_stride <= INT_MAX;
}

// True when the view is a column-major matrix that CBLAS can read in place.
inline bool col_major_blas_ok(const MatrixView& m) {
    return m.rows > 0 && m.cols > 0 && m.row_stride == 1 &&
           m.col_stride >= (m.rows > 1 ? m.rows : 1) && m.rows <= INT_MAX && m.cols <= INT_MAX &&
           m.col_stride <= INT_MAX;
}

}  // namespace velmora::engine
