// The CBLAS routines the engine uses, declared here rather than taken from
// a provider's header, because providers disagree on header names and symbol
// prefixes. The build names the prefix of the library's symbols.
//
// The routines are looked up in the library when a module is imported (load),
// not bound by the dynamic linker: a missing library is then an error with a
// message of the module's own, not a failure to load the module at all.
// VELMORA_CBLAS(name) is the routine of that name.
#pragma once

#include <string>

#include "engine/fault.hpp"

#ifndef VELMORA_CBLAS_PREFIX
#define VELMORA_CBLAS_PREFIX
#endif

#define VELMORA_CBLAS(name) ::velmora::engine::cblas::routines.name

extern "C" {

enum CBLAS_ORDER { CblasRowMajor = 101, CblasColMajor = 102 };
enum CBLAS_TRANSPOSE { CblasNoTrans = 111, CblasTrans = 112 };
enum CBLAS_UPLO { CblasUpper = 121, CblasLower = 122 };
}

namespace velmora::engine::cblas {

// The library's routines, null until load succeeds.
struct Routines {
    double (*cblas_ddot)(int n, const double* x, int incx, const double* y, int incy);

    void (*cblas_dgemv)(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, double alpha,
                        const double* a, int lda, const double* x, int incx, double beta, double* y,
                        int incy);

    // OpenBLAS's own thread control (not part of CBLAS).
    int (*openblas_get_num_threads)(void);
    void (*openblas_set_num_threads)(int num_threads);

    void (*cblas_dgemm)(CBLAS_ORDER order, CBLAS_TRANSPOSE trans_a, CBLAS_TRANSPOSE trans_b, int m,
                        int n, int k, double alpha, const double* a, int lda, const double* b,
                        int ldb, double beta, double* c, int ldc);

    void (*cblas_dsyrk)(CBLAS_ORDER order, CBLAS_UPLO uplo, CBLAS_TRANSPOSE trans, int n, int k,
                        double alpha, const double* a, int lda, double beta, double* c, int ldc);
};

extern Routines routines;

// Opens the shared library of the given file name (searched as the dynamic linker
// searches for the calling module's own libraries, its run path first) and takes
// every routine from it. Fails with the loader's message; the routines stay null then.
EngineResult<void> load(const char* library);

inline double ddot(int n, const double* x, int incx, const double* y, int incy) {
    return VELMORA_CBLAS(cblas_ddot)(n, x, incx, y, incy);
}

inline void dgemv(CBLAS_ORDER order, CBLAS_TRANSPOSE trans, int m, int n, double alpha,
                  const double* a, int lda, const double* x, int incx, double beta, double* y,
                  int incy) {
    VELMORA_CBLAS(cblas_dgemv)(order, trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}

inline void dgemm(CBLAS_ORDER order, CBLAS_TRANSPOSE trans_a, CBLAS_TRANSPOSE trans_b, int m, int n,
                  int k, double alpha, const double* a, int lda, const double* b, int ldb,
                  double beta, double* c, int ldc) {
    VELMORA_CBLAS(cblas_dgemm)
    (order, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

inline void dsyrk(CBLAS_ORDER order, CBLAS_UPLO uplo, CBLAS_TRANSPOSE trans, int n, int k,
                  double alpha, const double* a, int lda, double beta, double* c, int ldc) {
    VELMORA_CBLAS(cblas_dsyrk)(order, uplo, trans, n, k, alpha, a, lda, beta, c, ldc);
}

// Keeps OpenBLAS to the calling thread while it lives, and restores its thread
// count after. The products of the pass are small and many, and a call holds
// the interpreter lock throughout: handing them to worker threads costs more
// than it gains, and on a busy machine much more.
class SingleThreaded {
  public:
    SingleThreaded() : previous_(VELMORA_CBLAS(openblas_get_num_threads)()) {
        if (previous_ != 1) VELMORA_CBLAS(openblas_set_num_threads)(1);
    }
    ~SingleThreaded() {
        if (previous_ != 1) VELMORA_CBLAS(openblas_set_num_threads)(previous_);
    }
    SingleThreaded(const SingleThreaded&) = delete;
    SingleThreaded& operator=(const SingleThreaded&) = delete;

  private:
    int previous_;
};

}  // namespace velmora::engine::cblas
