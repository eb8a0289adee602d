#include "margins/kernel_arguments.hpp"

#include <string>

#include "surface/numpy_view.hpp"

namespace velmora::margins {

using surface::PyError;
using surface::PyRef;
using surface::Result;

Result<engine::ModelKind> read_link(std::string_view text,
                                    std::span<const engine::ModelKind> taken) {
    std::string names;  // "'probit', 'logit' or 'cloglog'"
    for (std::size_t i = 0; i < taken.size(); ++i) {
        if (engine::link_name(taken[i]) == text) return taken[i];
        if (i > 0) names += i + 1 == taken.size() ? " or " : ", ";
        names.append("'").append(engine::link_name(taken[i])).append("'");
    }
    return std::unexpected(PyError::make(
        PyExc_ValueError, "link must be " + names + ", got '" + std::string(text) + "'"));
}

Result<PyRef> link_name_tuple(std::span<const engine::ModelKind> links) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(links.size())));
    if (!tuple) return surface::fetched();
    for (std::size_t i = 0; i < links.size(); ++i) {
        const std::string_view name = engine::link_name(links[i]);
        PyObject* item =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr) return surface::fetched();
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return tuple;
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
