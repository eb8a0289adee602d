// Binding and conversion of the arguments of zarn(model, chunk_size=..., se_method=...).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/accumulators.hpp"
#include "surface/py_error.hpp"

namespace velmora::surface {

struct CallArguments {
    PyObject* model = nullptr;                // borrowed from the call
    std::optional<std::uint64_t> chunk_size;  // empty: all rows in one chunk
    engine::SeMethod se_method = engine::SeMethod::per_observation;
    std::string_view se_method_text = "kova";  // borrowed from the str object for the call
};

// Binds the vectorcall arguments to the three parameters and converts them.
Result<CallArguments> bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmora::surface
