#include "engine/products.hpp"

#include <climits>

#include "engine/cblas.hpp"

namespace velmora::engine {
namespace {

int as_int(std::ptrdiff_t v) { return static_cast<int>(v); }

bool fits_int(std::ptrdiff_t v) { return v >= 0 && v <= INT_MAX; }

}  // namespace

void matvec(const MatrixView& a, const double* x, double* y, ProductPath path) {
    if (a.rows == 0) return;
    if (path == ProductPath::automatic && row_major_blas_ok(a)) {
        cblas::dgemv(CblasRowMajor, CblasNoTrans, as_int(a.rows), as_int(a.cols), 1.0, a.data,
                     as_int(a.row_stride), x, 1, 0.0, y, 1);
        return;
    }
    if (path == ProductPath::automatic && col_major_blas_ok(a)) {
        cblas::dgemv(CblasColMajor, CblasNoTrans, as_int(a.rows), as_int(a.cols), 1.0, a.data,
                     as_int(a.col_stride), x, 1, 0.0, y, 1);
        return;
    }
    for (std::ptrdiff_t i = 0; i < a.rows; ++i) {
        double sum = 0.0;
        for (std::ptrdiff_t l = 0; l < a.cols; ++l) sum += a.at(i, l) * x[l];
        y[i] = sum;
    }
}

std::ptrdiff_t padded_product_width(const MatrixView& a, std::ptrdiff_t q, ProductPath path) {
    if (path != ProductPath::automatic || !(row_major_blas_ok(a) || col_major_blas_ok(a))) return q;
    const std::ptrdiff_t r = q % 8;
    if (r >= 5) return q + (8 - r);
    if (r == 3) return q + 1;
    return q;
}

void add_transposed_product(const MatrixView& a, const double* w, std::ptrdiff_t ldw,
                            std::ptrdiff_t q, double* c, ProductPath path) {
    if (a.rows == 0 || a.cols == 0 || q == 0) return;
    const bool blas_sizes = fits_int(q) && fits_int(ldw);
    if (path == ProductPath::automatic && blas_sizes && row_major_blas_ok(a)) {
        // A row-major m x k is, read column-major, the k x m matrix A^T itself.
        cblas::dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, as_int(a.cols), as_int(q),
                     as_int(a.rows), 1.0, a.data, as_int(a.row_stride), w, as_int(ldw), 1.0, c,
                     as_int(a.cols));
        return;
    }
    if (path == ProductPath::automatic && blas_sizes && col_major_blas_ok(a)) {
        cblas::dgemm(CblasColMajor, CblasTrans, CblasNoTrans, as_int(a.cols), as_int(q),
                     as_int(a.rows), 1.0, a.data, as_int(a.col_stride), w, as_int(ldw), 1.0, c,
                     as_int(a.cols));
        return;
    }
    for (std::ptrdiff_t p = 0; p < q; ++p) {
        const double* wp = w + p * ldw;
        for (std::ptrdiff_t l = 0; l < a.cols; ++l) {
            double sum = 0.0;
            for (std::ptrdiff_t i = 0; i < a.rows; ++i) sum += a.at(i, l) * wp[i];
            c[p * a.cols + l] += sum;
        }
    }
}

double dot(std::ptrdiff_t n, const double* x, const double* y) {
    if (n <= 0) return 0.0;
    if (fits_int(n)) return cblas::ddot(as_int(n), x, 1, y, 1);
    double sum = 0.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) sum += x[i] * y[i];
    return sum;
}

}  // namespace velmora::engine
