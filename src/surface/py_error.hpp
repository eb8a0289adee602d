// Python exceptions held as values, and the results that carry them.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>

#include "engine/propagate.hpp"
#include "surface/py_ref.hpp"

namespace velmora::surface {

// A Python exception instance taken off the error indicator, or made here.
class PyError {
  public:
    // Takes the raised exception off the indicator; if none is set, a SystemError.
    static PyError fetch();
    // Makes an exception of the given class with a text message.
    static PyError make(PyObject* type, std::string_view message);
    // "'TYPE' object cannot be converted to 'KIND'", TYPE the qualified name of value's type.
    static PyError cannot_convert(PyObject* value, std::string_view kind);
    // An internal failure: PanicException, derived from BaseException.
    static PyError panic(std::string_view what);

    // Sets the exception's __cause__ (cause may be null, which clears it).
    void set_cause(PyObject* cause);

    // Puts the exception back on the indicator; called once, at the entry boundary.
    void restore() &&;

    PyObject* value() const noexcept { return exc_.get(); }
    // Returns whether the exception's class is exactly type (not a subclass).
    bool is_exactly(PyObject* type) const noexcept;

  private:
    explicit PyError(PyRef exc) : exc_(std::move(exc)) {}
    PyRef exc_;
};

template <class T>
using Result = std::expected<T, PyError>;

// Returns the failure of the last C-API call, fetched from the indicator.
inline std::unexpected<PyError> fetched() { return std::unexpected(PyError::fetch()); }

// Returns the qualified name of obj's type, as UTF-8 ("?" if it cannot be read).
std::string type_name(PyObject* obj);

// Returns the UTF-8 text of a str object.
Result<std::string> utf8(PyObject* str);

}  // namespace velmora::surface
