// Memory layouts of one logical matrix, for tests that every layout gives the same sums.
#pragma once

#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "engine/strided.hpp"

namespace velmora::test {

// One memory layout of a matrix: its own storage and a view into it.
struct Layout {
    const char* name;
    std::vector<double> storage;
    engine::MatrixView view;
};

// Returns the n x k values value(i, j) placed in storage of size doubles at the given
// offset and strides (in elements); the storage they leave out holds NaN.
template <class Value>
Layout laid_out(const char* name, std::ptrdiff_t n, std::ptrdiff_t k, Value&& value,
                std::size_t size, std::ptrdiff_t offset, std::ptrdiff_t row_stride,
                std::ptrdiff_t col_stride) {
    Layout l{name, std::vector<double>(size, std::numeric_limits<double>::quiet_NaN()), {}};
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            l.storage[static_cast<std::size_t>(offset + i * row_stride + j * col_stride)] =
                value(i, j);
        }
    }
    l.view = {l.storage.data() + offset, n, k, row_stride, col_stride};
    return l;
}

}  // namespace velmora::test
