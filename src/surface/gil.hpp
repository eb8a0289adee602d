// Running plain C++ work with the interpreter lock released.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace velmora::surface {

// Returns work() run with the interpreter lock released, so that other Python threads
// run meanwhile. work must not touch Python objects; a C++ exception it throws is
// thrown again once the lock is held.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> out;
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS try { out.emplace(std::forward<Work>(work)()); } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
    return std::move(*out);
}

}  // namespace velmora::surface
