#include "engine/changed_columns.hpp"

#include <algorithm>

namespace velmora::engine {

// True when every row of the view holds the same values.
bool constant_rows(const MatrixView& m) { return m.rows <= 1 || m.row_stride == 0; }

// Returns rows [first, first + m) of a view, or the view itself when its rows are all alike.
MatrixView rows_of(const MatrixView& v, std::ptrdiff_t first, std::ptrdiff_t m) {
    if (constant_rows(v)) return {v.data, m, v.cols, 0, v.col_stride};
    return {v.data + first * v.row_stride, m, v.cols, v.row_stride, v.col_stride};
}

// Writes out_i = sum_s b[columns[s]] v(i, s) for the m rows of v.
void combine(const MatrixView& v, const std::vector<std::ptrdiff_t>& columns, const double* b,
             double* out) {
    std::fill(out, out + v.rows, 0.0);
    for (std::size_t s = 0; s < columns.size(); ++s) {
        const double bs = b[columns[s]];
        const auto col = static_cast<std::ptrdiff_t>(s);
        for (std::ptrdiff_t i = 0; i < v.rows; ++i) out[i] += bs * v.at(i, col);
    }
}

// Adds sum_i w_i v(i, s) into out[s] for every column s of v.
void add_weighted_columns(const MatrixView& v, const double* w, double* out) {
    if (v.row_stride == 0) {
        double total = 0.0;
        for (std::ptrdiff_t i = 0; i < v.rows; ++i) total += w[i];
        for (std::ptrdiff_t s = 0; s < v.cols; ++s) out[s] += v.at(0, s) * total;
        return;
    }
    for (std::ptrdiff_t s = 0; s < v.cols; ++s) {
        double sum = 0.0;
        for (std::ptrdiff_t i = 0; i < v.rows; ++i) sum += w[i] * v.at(i, s);
        out[s] += sum;
    }
}

}  // namespace velmora::engine
