// Two doubles in one vector register, and loops over values taken two at a time.
//
// GCC and Clang turn the operations on a Pair into the target's vector
// instructions (SSE2 on x86-64), selects included. A plain loop that sums
// selected values is kept scalar, adding one value at a time, and its selects
// become branches on the data. Each lane is its own double operation, rounded
// as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::engine {

using Pair = double __attribute__((vector_size(16)));
using PairMask = std::int64_t __attribute__((vector_size(16)));

// Loads p[0] and p[1], or p[0] and a zero when count is 1.
inline Pair load_pair(const double* p, std::ptrdiff_t count) {
    if (count == 1) return Pair{p[0], 0.0};
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Stores the first count (1 or 2) lanes of v at p.
inline void store_pair(double* p, Pair v, std::ptrdiff_t count) {
    if (count == 1) {
        p[0] = v[0];
        return;
    }
    std::memcpy(p, &v, sizeof v);
}

// Returns the sum of the two lanes.
inline double total(Pair v) { return v[0] + v[1]; }

// Calls step(i, count) over m values in pairs, the last one alone when m is
// odd. A lone value is loaded beside a zero, which adds nothing to a sum.
template <class Step>
void in_pairs(std::ptrdiff_t m, Step step) {
    std::ptrdiff_t i = 0;
    for (; i + 2 <= m; i += 2) step(i, 2);
    if (i < m) step(i, 1);
}

// Returns the sum of m values. A chunk's sums may be formed in any order: this
// one adds the even and the odd rows apart, then the two.
inline double sum_of(const double* v, std::ptrdiff_t m) {
    Pair sum{};
    in_pairs(m, [&](std::ptrdiff_t i, std::ptrdiff_t count) { sum += load_pair(v + i, count); });
    return total(sum);
}

}  // namespace velmora::engine
