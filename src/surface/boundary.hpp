// The boundary of an extension's entry routines: where errors become a raised exception.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::surface {

// Returns what run() returns, released to CPython, or null with its error raised. No C++
// exception passes: a failed allocation is a MemoryError, anything else a panic.
template <class Run>
PyObject* at_boundary(Run&& run) noexcept {
    try {
        Result<PyRef> out = run();
        if (!out) {
            std::move(out.error()).restore();
            return nullptr;
        }
        return out->release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        return PyErr_NoMemory();
    } catch (...) {
        PyError::panic("unexpected C++ exception").restore();
        return nullptr;
    }
}

}  // namespace velmora::surface
