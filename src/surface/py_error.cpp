#include "surface/py_error.hpp"

// Each extension module built from these sources names its own class.
#ifndef VELMORA_PANIC_NAME
#define VELMORA_PANIC_NAME "velmora.PanicException"
#endif

namespace velmora::surface {
namespace {

constexpr const char* panic_doc =
    "Raised when velmora meets an internal failure: a fault in velmora, not in the input.";

// Takes the raised exception off the indicator as one new reference, or null.
PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef type_ref = PyRef::steal(type);
    PyRef traceback_ref = PyRef::steal(traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return value;
#endif
}

// Returns the process's PanicException class, created on first need and kept for good.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type =
            PyErr_NewExceptionWithDoc(VELMORA_PANIC_NAME, panic_doc, PyExc_BaseException, nullptr);
        if (type == nullptr) Py_FatalError("uncaught panic at ffi boundary");
    }
    return type;
}

}  // namespace

PyError PyError::fetch() {
    PyObject* exc = take_raised();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = take_raised();
    }
    return PyError(PyRef::steal(exc));
}

PyError PyError::make(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return fetch();
    PyErr_SetObject(type, text.get());
    return fetch();
}

PyError PyError::cannot_convert(PyObject* value, std::string_view kind) {
    std::string message = type_name(value);
    message.insert(0, 1, '\'');
    message.append("' object cannot be converted to '").append(kind).append("'");
    return make(PyExc_TypeError, message);
}

PyError PyError::panic(std::string_view what) {
    PyObject* type = panic_type();
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(what.data(), static_cast<Py_ssize_t>(what.size())));
    PyRef exc = text ? PyRef::steal(PyObject_CallOneArg(type, text.get())) : PyRef();
    if (!exc) Py_FatalError("uncaught panic at ffi boundary");
    return PyError(std::move(exc));
}

void PyError::set_cause(PyObject* cause) {
    Py_XINCREF(cause);  // PyException_SetCause steals it
    PyException_SetCause(exc_.get(), cause);
}

void PyError::restore() && {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc_.release());
#else
    PyObject* value = exc_.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

bool PyError::is_exactly(PyObject* type) const noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(exc_.get())) == type;
}

std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "?";
}

Result<std::string> utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) return fetched();
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace velmora::surface
