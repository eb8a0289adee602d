#include "margins/contrast_sums_type.hpp"

#include <algorithm>
#include <string>

#include "margins/sums_object.hpp"
#include "surface/boundary.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::PyError;
using surface::PyRef;
using surface::Result;

struct ContrastSumsFields {
    PyRef effects;    // count
    PyRef gradients;  // count x k
    double weight = 0.0;
};

ContrastSumsFields& fields(PyObject* self) { return fields_of<ContrastSumsFields>(self); }

// Returns the fields after checking that the arrays fit together.
Result<ContrastSumsFields> checked(PyObject* effects, PyObject* gradients, double weight) {
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView e,
                             surface::as_vector_view(effects, "effects"));
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView g,
                             surface::as_matrix_view(gradients, "gradients"));
    if (g.rows != e.size) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, "ContrastSums: gradients of shape " + engine::shape(g) +
                                                " for " + std::to_string(e.size) + " effects"));
    }
    return ContrastSumsFields{PyRef::borrow(effects), PyRef::borrow(gradients), weight};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        static const char* keywords[] = {"effects", "gradients", "weight", nullptr};
        PyObject *effects = nullptr, *gradients = nullptr;
        double weight = 0.0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOd:ContrastSums",
                                         const_cast<char**>(keywords), &effects, &gradients,
                                         &weight)) {
            return surface::fetched();
        }
        VELMORA_ASSIGN_OR_RETURN(ContrastSumsFields f, checked(effects, gradients, weight));
        return new_object(type, std::move(f));
    });
}

// The sum of two ContrastSums over disjoint rows.
PyObject* add(PyObject* a, PyObject* b) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        if (Py_TYPE(a) != Py_TYPE(b)) return PyRef::borrow(Py_NotImplemented);
        const ContrastSumsFields &x = fields(a), &y = fields(b);
        VELMORA_ASSIGN_OR_RETURN(PyRef effects, added_arrays(x.effects.get(), y.effects.get(), 1,
                                                             "ContrastSums", "effects"));
        VELMORA_ASSIGN_OR_RETURN(PyRef gradients, added_arrays(x.gradients.get(), y.gradients.get(),
                                                               2, "ContrastSums", "gradients"));
        return new_object(Py_TYPE(a), ContrastSumsFields{std::move(effects), std::move(gradients),
                                                         x.weight + y.weight});
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    const ContrastSumsFields& f = fields(self);
    return Py_BuildValue("O(OOd)", Py_TYPE(self), f.effects.get(), f.gradients.get(), f.weight);
}

PyObject* repr(PyObject* self) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        const ContrastSumsFields& f = fields(self);
        VELMORA_ASSIGN_OR_RETURN(const std::string shape,
                                 array_shape(f.gradients.get(), 2, "gradients"));
        VELMORA_ASSIGN_OR_RETURN(const std::string weight, float_text(f.weight));
        const std::string text = "<ContrastSums: gradients " + shape + ", weight " + weight + ">";
        PyRef out = PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!out) return surface::fetched();
        return out;
    });
}

PyObject* get_effects(PyObject* self, void*) { return Py_NewRef(fields(self).effects.get()); }
PyObject* get_gradients(PyObject* self, void*) { return Py_NewRef(fields(self).gradients.get()); }
PyObject* get_weight(PyObject* self, void*) { return PyFloat_FromDouble(fields(self).weight); }

PyGetSetDef getset[] = {
    {"effects", get_effects, nullptr, "The weighted sums of the effect terms, one per effect.",
     nullptr},
    {"gradients", get_gradients, nullptr,
     "The weighted sums of their gradients by the coefficients: effects x k.", nullptr},
    {"weight", get_weight, nullptr, "The sum of the weights of the rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "Returns how to make the sums again, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ContrastSums(effects, gradients, weight)\n--\n\n"
                       "The sums of contrast_sums over some rows: effects (one per effect), their\n"
                       "gradients by the coefficients (effects x k) and the sum of the weights.\n"
                       "The sums over disjoint rows add up with +.")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ContrastSumsFields>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_nb_add, reinterpret_cast<void*>(add)},
    {0, nullptr},
};

PyType_Spec spec = {
    "velmora_margins._kernels.ContrastSums",
    sizeof(SumsObject<ContrastSumsFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

Result<void> add_contrast_sums_type(PyObject* module, KernelsState& state) {
    state.contrast_sums_type = PyRef::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!state.contrast_sums_type) return surface::fetched();
    if (PyModule_AddType(module, as_type(state.contrast_sums_type)) < 0) return surface::fetched();
    return {};
}

Result<PyRef> contrast_sums_object(const KernelsState& state, const engine::ContrastSums& sums,
                                   std::ptrdiff_t k) {
    const auto count = static_cast<std::ptrdiff_t>(sums.effects.size());
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray effects, surface::new_float64_array({count}));
    std::copy(sums.effects.begin(), sums.effects.end(), effects.data);
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray gradients, surface::new_float64_array({count, k}));
    std::copy(sums.gradients.begin(), sums.gradients.end(), gradients.data);
    return new_object(
        as_type(state.contrast_sums_type),
        ContrastSumsFields{std::move(effects.array), std::move(gradients.array), sums.weight});
}

}  // namespace velmora::margins
