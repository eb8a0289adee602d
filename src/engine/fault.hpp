// Failures of the engine, carried as plain values.
#pragma once

#include <expected>
#include <string>

namespace velmora::engine {

enum class FaultKind {
    internal,     // an index outside an array, or sizes that do not fit together
    interrupted,  // the host asked the pass to stop
    not_binary,   // a column taken as binary holds a value other than 0 and 1
    bad_value,    // an input holds a value outside its domain (an outcome other than 0
                  // and 1, a cluster code outside its range); the detail says which
};

struct EngineFault {
    FaultKind kind = FaultKind::internal;
    std::string detail;
};

template <class T>
using EngineResult = std::expected<T, EngineFault>;

// Returns an internal fault with the given text.
inline std::unexpected<EngineFault> internal_fault(std::string detail) {
    return std::unexpected(EngineFault{FaultKind::internal, std::move(detail)});
}

}  // namespace velmora::engine
