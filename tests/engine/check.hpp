// A minimal test harness: CHECK counts and reports failures, main returns finish().
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "engine/cblas.hpp"
#include "engine/link.hpp"

namespace velmora::test {

inline int check_count = 0;
inline int failure_count = 0;

// Reports one failed check.
inline void report_failure(const char* file, int line, const char* expression) {
    ++failure_count;
    std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, expression);
}

// Prints the summary and returns the process exit status.
inline int finish(const char* suite) {
    std::printf("%s: %d checks, %d failed\n", suite, check_count, failure_count);
    return failure_count == 0 ? 0 : 1;
}

// Opens OpenBLAS and chooses the erfc before main, as a module does when it is imported
// (VELMORA_SCALAR_ERFC=1 asks for the scalar erfc); a test cannot run without them.
inline const bool engine_libraries_loaded = [] {
    if (auto loaded = engine::cblas::load(VELMORA_OPENBLAS_NAME); !loaded) {
        std::fprintf(stderr, "cannot load OpenBLAS: %s\n", loaded.error().detail.c_str());
        std::exit(1);
    }
    const bool vector = engine::choose_erfc(engine::scalar_erfc_requested());
    std::printf("erfc: %s\n", vector ? "the C library's vector erfc" : "the scalar erfc");
    return true;
}();

// True when both are NaN or both have the same bits (so +0.0 and -0.0 differ).
inline bool identical(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Maps a double to an integer that orders like the double, with +0.0 and -0.0 equal.
inline std::int64_t ordered(double x) {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
}

// Returns how many representable doubles lie between a and b; NaN is infinitely far.
inline std::uint64_t ulps_apart(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<std::uint64_t>::max();
    const auto x = static_cast<std::uint64_t>(ordered(a));
    const auto y = static_cast<std::uint64_t>(ordered(b));
    return ordered(a) > ordered(b) ? x - y : y - x;
}

}  // namespace velmora::test

// Checks a condition; optional printf-style arguments describe the case on failure.
#define CHECK(condition, ...)                                                               \
    do {                                                                                    \
        ++::velmora::test::check_count;                                                     \
        if (!(condition)) {                                                                 \
            ::velmora::test::report_failure(__FILE__, __LINE__, #condition);                \
            __VA_OPT__(std::fprintf(stderr, "    " __VA_ARGS__); std::fputc('\n', stderr);) \
        }                                                                                   \
    } while (0)
