// Which columns are binary and which are left as continuous.
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "engine/binary_columns.hpp"

namespace {

using namespace velmora::engine;

void test_binary_detection() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Columns: intercept of ones, zeros, ones, -0.0/1.0, 2.0, 0.5, -1, inf, NaN, 0/1.
    const std::vector<double> row0{1.0, 0.0, 1.0, -0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
    const std::vector<double> row1{1.0, 0.0, 1.0, 1.0, 2.0, 0.5, -1.0, inf, nan, 0.0};
    std::vector<double> values(row0);
    values.insert(values.end(), row1.begin(), row1.end());
    const MatrixView x{values.data(), 2, 10, 10, 1};
    const std::vector<std::size_t> intercepts{0};
    auto binary = find_binary_columns(x, 10, intercepts);
    CHECK(binary && *binary == (std::vector<std::size_t>{1, 2, 3, 9}));

    // No rows: every named column that is not an intercept is binary.
    const MatrixView empty{values.data(), 0, 10, 10, 1};
    auto all = find_binary_columns(empty, 10, intercepts);
    CHECK(all && all->size() == 9 && all->front() == 1 && all->back() == 9);

    // A surplus name is a fault unless it is an intercept.
    CHECK(!find_binary_columns(x, 11, intercepts));
    const std::vector<std::size_t> surplus_intercept{0, 10};
    CHECK(find_binary_columns(x, 11, surplus_intercept).has_value());
}

// X is scanned a few hundred rows at a time: a value other than 0 and 1 counts
// wherever it lies, in either memory order.
void test_values_far_down_count() {
    const std::ptrdiff_t n = 600, k = 4;
    for (const std::ptrdiff_t row : {std::ptrdiff_t{255}, std::ptrdiff_t{256}, n - 1}) {
        std::vector<double> c_order(static_cast<std::size_t>(n * k), 1.0);
        for (std::ptrdiff_t i = 0; i < n; ++i) c_order[static_cast<std::size_t>(i * k + 2)] = 0.0;
        c_order[static_cast<std::size_t>(row * k + 1)] = 0.5;
        c_order[static_cast<std::size_t>(row * k + 3)] = 2.0;
        std::vector<double> f_order(c_order.size());
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            for (std::ptrdiff_t j = 0; j < k; ++j) {
                f_order[static_cast<std::size_t>(j * n + i)] =
                    c_order[static_cast<std::size_t>(i * k + j)];
            }
        }
        const std::vector<std::size_t> intercepts{0};
        for (const MatrixView& x :
             {MatrixView{c_order.data(), n, k, k, 1}, MatrixView{f_order.data(), n, k, 1, n}}) {
            auto binary = find_binary_columns(x, 4, intercepts);
            CHECK(binary && *binary == std::vector<std::size_t>{2}, "row=%td", row);
        }
    }
}

// Columns held as level codes read table[code] for each row, at any stride, beside
// columns of values; a level's value that no row takes does not make a column continuous.
void test_coded_columns() {
    const std::ptrdiff_t n = 600;
    std::vector<std::uint8_t> codes(static_cast<std::size_t>(2 * n));
    std::vector<double> plain(static_cast<std::size_t>(n));
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        codes[static_cast<std::size_t>(2 * i)] = static_cast<std::uint8_t>(i % 3);
        plain[static_cast<std::size_t>(i)] = 0.5 * static_cast<double>(i);
    }
    const std::vector<double> sum_coded{1.0, 0.0, -1.0, 7.0};  // code 3: no row
    const std::vector<double> indicator{0.0, 1.0, 0.0, 2.0};   // code 3: no row
    auto coded = [&](const std::vector<double>& table) {
        return DesignColumn{{nullptr, n, 1}, codes.data(), 2, {table.data(), 4, 1}};
    };
    DesignColumn values;
    values.values = {plain.data(), n, 1};
    const DesignRows x({coded(sum_coded), values, coded(indicator)}, n);
    std::vector<double> buffer;
    const MatrixView block = x.block(250, 300, buffer);
    CHECK(block.rows == 300 && block.cols == 3);
    for (std::ptrdiff_t i = 0; i < 300; ++i) {
        const auto level = static_cast<std::size_t>((250 + i) % 3);
        CHECK(block.at(i, 0) == sum_coded[level] && block.at(i, 2) == indicator[level], "i=%td", i);
        CHECK(block.at(i, 1) == 0.5 * static_cast<double>(250 + i), "i=%td", i);
    }
    auto binary = find_binary_columns(x, 3, {});
    CHECK(binary && *binary == std::vector<std::size_t>{2});

    // A row far down that takes the level 0/1 columns leave out.
    codes[static_cast<std::size_t>(2 * 599)] = 3;
    binary = find_binary_columns(x, 3, {});
    CHECK(binary && binary->empty());
}

void test_continuous_columns_are_the_rest() {
    const std::vector<std::size_t> intercepts{0, 4};
    const std::vector<std::size_t> binary{2, 3};
    CHECK((continuous_columns(7, intercepts, binary) == std::vector<std::size_t>{1, 5, 6}));
    CHECK(continuous_columns(0, intercepts, binary).empty());
    CHECK((continuous_columns(3, {}, {}) == std::vector<std::size_t>{0, 1, 2}));
}

}  // namespace

int main() {
    test_binary_detection();
    test_values_far_down_count();
    test_coded_columns();
    test_continuous_columns_are_the_rest();
    return velmora::test::finish("test_binary_columns");
}
