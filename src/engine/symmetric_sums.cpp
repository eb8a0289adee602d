#include "engine/symmetric_sums.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/cblas.hpp"

namespace velmora::engine {
namespace {

int as_int(std::ptrdiff_t v) { return static_cast<int>(v); }

}  // namespace

void SymmetricSums::add(const MatrixView& rows, const double* a, const double* w, bool weighted,
                        ProductPath path, double* c) {
    const std::ptrdiff_t m = rows.rows, k = rows.cols;
    if (m == 0 || k == 0) return;
    if (path != ProductPath::automatic || k > INT_MAX || m > INT_MAX) {
        add_by_loop(rows, a, w, weighted, c);
        return;
    }
    std::ptrdiff_t negative = 0;
    if (weighted) {
        for (std::ptrdiff_t i = 0; i < m; ++i) negative += w[i] < 0.0 ? 1 : 0;
    }
    const std::ptrdiff_t positive = m - negative;
    // Row i of the view goes to place i of the copy, or past the positive rows.
    std::ptrdiff_t next_positive = 0, next_negative = positive;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        place_[to_index(i)] = negative != 0 && w[i] < 0.0 ? next_negative++ : next_positive++;
    }
    const bool by_rows = std::abs(rows.col_stride) <= std::abs(rows.row_stride);
    double* out = copy_.data();
    if (by_rows) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const double ai = a[i];
            double* dest = out + place_[to_index(i)] * k;
            const double* src = rows.data + i * rows.row_stride;
            if (rows.col_stride == 1) {
                for (std::ptrdiff_t j = 0; j < k; ++j) dest[j] = ai * src[j];
            } else {
                for (std::ptrdiff_t j = 0; j < k; ++j) dest[j] = ai * src[j * rows.col_stride];
            }
        }
    } else {
        for (std::ptrdiff_t j = 0; j < k; ++j) {
            double* dest = out + j * m;
            const double* src = rows.data + j * rows.col_stride;
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                dest[place_[to_index(i)]] = a[i] * src[i * rows.row_stride];
            }
        }
    }
    const auto update = [&](std::ptrdiff_t begin, std::ptrdiff_t count, double alpha) {
        if (count == 0) return;
        if (by_rows) {
            // The row-major count x k copy is, read column-major, its k x count transpose.
            cblas::dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, as_int(k), as_int(count), alpha,
                         out + begin * k, as_int(k), 1.0, c, as_int(k));
        } else {
            cblas::dsyrk(CblasColMajor, CblasUpper, CblasTrans, as_int(k), as_int(count), alpha,
                         out + begin, as_int(m), 1.0, c, as_int(k));
        }
    };
    update(0, positive, 1.0);
    update(positive, negative, -1.0);
}

void SymmetricSums::add_weighted(const MatrixView& rows, const double* weights, ProductPath path,
                                 double* c) {
    scale_.resize(to_index(rows.rows));
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        scale_[to_index(i)] = std::sqrt(std::fabs(weights[i]));
    }
    add(rows, scale_.data(), weights, true, path, c);
}

// The same sums by a plain loop over the view, for the upper triangle.
void SymmetricSums::add_by_loop(const MatrixView& rows, const double* a, const double* w,
                                bool weighted, double* c) {
    const std::ptrdiff_t k = rows.cols;
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        const double sign = weighted && w[i] < 0.0 ? -1.0 : 1.0;
        for (std::ptrdiff_t l = 0; l < k; ++l) {
            const double xl = a[i] * rows.at(i, l);
            for (std::ptrdiff_t j = 0; j <= l; ++j) {
                c[j + l * k] += sign * ((a[i] * rows.at(i, j)) * xl);
            }
        }
    }
}

// Writes the full symmetric matrix of the upper triangle of c (column-major) into out.
void mirror_into(const std::vector<double>& c, std::ptrdiff_t k, std::vector<double>& out) {
    for (std::ptrdiff_t l = 0; l < k; ++l) {
        for (std::ptrdiff_t j = 0; j <= l; ++j) {
            const double v = c[to_index(j + l * k)];
            out[to_index(j * k + l)] += v;
            if (j != l) out[to_index(l * k + j)] += v;
        }
    }
}

EngineResult<void> check_clusters(std::ptrdiff_t rows, CodeView codes, std::ptrdiff_t groups,
                                  std::ptrdiff_t width, std::size_t out) {
    if (codes.size != rows) {
        return internal_fault(std::to_string(codes.size) + " cluster codes for " +
                              std::to_string(rows) + " rows");
    }
    if (groups < 0 || (width != 0 && groups > PTRDIFF_MAX / width) ||
        out != to_index(groups * width)) {
        return internal_fault("cluster sums of " + std::to_string(out) + " values for " +
                              std::to_string(groups) + " groups of " + std::to_string(width));
    }
    return {};
}

EngineResult<void> add_cluster_rows(const MatrixView& rows, const double* s, CodeView codes,
                                    std::ptrdiff_t first, std::ptrdiff_t groups,
                                    std::ptrdiff_t width, std::span<double> out) {
    const std::ptrdiff_t k = rows.cols;
    for (std::ptrdiff_t i = 0; i < rows.rows; ++i) {
        const std::int64_t g = codes[first + i];
        if (g < 0 || g >= groups) {
            return std::unexpected(EngineFault{
                FaultKind::bad_value, "codes must lie in [0, " + std::to_string(groups) +
                                          "); row " + std::to_string(first + i) + " holds " +
                                          std::to_string(g)});
        }
        double* row = out.data() + g * width;
        for (std::ptrdiff_t j = 0; j < k; ++j) row[j] += s[i] * rows.at(i, j);
    }
    return {};
}

}  // namespace velmora::engine
