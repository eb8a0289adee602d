#include "surface/arguments.hpp"

#include <array>
#include <string>

namespace velmora::surface {
namespace {

constexpr std::array<const char*, 3> parameter_names{"model", "chunk_size", "se_method"};

// Fills the three parameter slots, as a generated argument parser would:
// positionals first, then keywords in order, then the required check.
Result<std::array<PyObject*, 3>> fill_slots(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    std::array<PyObject*, 3> slots{};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError,
                     "zarn() takes from 1 to 3 positional arguments but %zd were given", nargs);
        return fetched();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        std::size_t slot = parameter_names.size();
        for (std::size_t p = 0; p < parameter_names.size(); ++p) {
            if (PyUnicode_CompareWithASCIIString(name, parameter_names[p]) == 0) slot = p;
        }
        if (slot == parameter_names.size()) {
            PyErr_Format(PyExc_TypeError, "zarn() got an unexpected keyword argument '%U'", name);
            return fetched();
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "zarn() got multiple values for argument '%s'",
                         parameter_names[slot]);
            return fetched();
        }
        slots[slot] = args[nargs + i];
    }
    if (slots[0] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "zarn() missing 1 required positional argument: 'model'");
        return fetched();
    }
    return slots;
}

// Returns the method that the exact bytes of text name.
engine::SeMethod method_named(std::string_view text) {
    if (text == "sm") return engine::SeMethod::statsmodels_style;
    if (text == "kova") return engine::SeMethod::per_observation;
    return engine::SeMethod::unrecognised;
}

// Converts chunk_size through __index__ to an unsigned 64-bit row count.
Result<std::uint64_t> convert_chunk_size(PyObject* value) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    unsigned long long rows = 0;
    if (index) rows = PyLong_AsUnsignedLongLong(index.get());
    if (!index || (rows == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        PyError error = PyError::fetch();
        if (!error.is_exactly(PyExc_TypeError)) return std::unexpected(std::move(error));
        // A TypeError is re-raised naming the argument; it keeps the old one's cause.
        PyRef text = PyRef::steal(PyObject_Str(error.value()));
        if (!text) return fetched();
        PyErr_Format(PyExc_TypeError, "argument 'chunk_size': %U", text.get());
        PyError wrapped = PyError::fetch();
        PyRef cause = PyRef::steal(PyException_GetCause(error.value()));
        wrapped.set_cause(cause.get());
        return std::unexpected(std::move(wrapped));
    }
    if (rows == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "argument 'chunk_size': must be at least 1 row, got 0 "
                        "(pass None to take all rows as one chunk)");
        return fetched();
    }
    return static_cast<std::uint64_t>(rows);
}

}  // namespace

Result<CallArguments> bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VELMORA_ASSIGN_OR_RETURN(const auto slots, fill_slots(args, nargs, kwnames));
    auto [model, chunk_size, se_method] = slots;

    CallArguments out;
    out.model = model;
    if (chunk_size != nullptr && chunk_size != Py_None) {
        VELMORA_ASSIGN_OR_RETURN(out.chunk_size, convert_chunk_size(chunk_size));
    }
    if (se_method != nullptr && se_method != Py_None) {
        if (!PyUnicode_Check(se_method)) {
            return std::unexpected(
                PyError::make(PyExc_TypeError, "argument 'se_method': '" + type_name(se_method) +
                                                   "' object cannot be converted to 'PyString'"));
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(se_method, &size);
        if (text == nullptr) return fetched();
        out.se_method_text = std::string_view(text, static_cast<std::size_t>(size));
    }
    out.se_method = method_named(out.se_method_text);
    return out;
}

}  // namespace velmora::surface
