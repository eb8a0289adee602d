#include "margins/kernel_arguments.hpp"

#include <string>

#include "surface/numpy_view.hpp"

namespace velmora::margins {

using surface::PyError;
using surface::Result;

Result<engine::ModelKind> read_kind(const char* text) {
    const std::string_view kind(text);
    if (kind == "logit") return engine::ModelKind::logit;
    if (kind == "probit") return engine::ModelKind::probit;
    return std::unexpected(PyError::make(
        PyExc_ValueError, "kind must be 'logit' or 'probit', got '" + std::string(kind) + "'"));
}

Result<engine::VectorView> optional_vector(PyObject* obj, std::string_view label) {
    if (obj == Py_None) return engine::VectorView{nullptr, 0, 1};
    return surface::as_vector_view(obj, label);
}

PyError from_fault(const engine::EngineFault& fault) {
    if (fault.kind == engine::FaultKind::bad_value) {
        return PyError::make(PyExc_ValueError, fault.detail);
    }
    return PyError::panic(fault.detail);
}

}  // namespace velmora::margins
