#include "engine/binary_columns.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace velmora::engine {
namespace {

// Returns whether j is in a short ascending index list.
bool contains(std::span<const std::size_t> list, std::size_t j) {
    return std::find(list.begin(), list.end(), j) != list.end();
}

}  // namespace

EngineResult<std::vector<std::size_t>> find_binary_columns(
    const DesignRows& x, std::size_t name_count, std::span<const std::size_t> intercept_columns) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < name_count; ++i) {
        if (contains(intercept_columns, i)) continue;
        if (i >= static_cast<std::size_t>(x.cols)) {
            return internal_fault("name " + std::to_string(i) + " has no column in X of " +
                                  std::to_string(x.cols) + " columns");
        }
        candidates.push_back(i);
    }
    // Rows are scanned in blocks so that a row-major X is read once, not once per column,
    // and a column is dropped at the first block that holds a value other than 0 and 1.
    // A column held as level codes is checked on the values its rows take, so a level's
    // value that no row takes does not count.
    constexpr std::ptrdiff_t scan_rows = 256;
    std::array<double, scan_rows> values{};
    for (std::ptrdiff_t start = 0; start < x.rows && !candidates.empty(); start += scan_rows) {
        const std::ptrdiff_t m = std::min(scan_rows, x.rows - start);
        std::erase_if(candidates, [&](std::size_t j) {
            x.gather(static_cast<std::ptrdiff_t>(j), start, m, values.data());
            double other = 0.0;
            for (std::ptrdiff_t r = 0; r < m; ++r) {
                const double v = values[to_index(r)];
                other = (v != 0.0) & (v != 1.0) ? 1.0 : other;
            }
            return other != 0.0;
        });
    }
    return candidates;
}

std::vector<std::size_t> continuous_columns(std::size_t k,
                                            std::span<const std::size_t> intercept_columns,
                                            std::span<const std::size_t> binary_columns) {
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < k; ++j) {
        if (!contains(intercept_columns, j) && !contains(binary_columns, j)) out.push_back(j);
    }
    return out;
}

}  // namespace velmora::engine
