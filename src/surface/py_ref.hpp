// An owning reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora::surface {

// Holds one strong reference, or none. Borrowed references stay plain PyObject*.
class PyRef {
  public:
    // Takes over a new reference that an API call returned (may be null).
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed object (may be null).
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef() = default;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        // The old value goes last: dropping it may run arbitrary code.
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, typically to return it to CPython.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit PyRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace velmora::surface
