#include "margins/fit_sums_type.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "margins/sums_object.hpp"
#include "surface/boundary.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::PyError;
using surface::PyRef;
using surface::Result;

struct FitSumsFields {
    double loglik = 0.0;
    PyRef score;        // k
    PyRef information;  // k x k
    PyRef meat;         // k x k, or null for None
    double weight = 0.0;
    Py_ssize_t rows = 0;
};

FitSumsFields& fields(PyObject* self) { return fields_of<FitSumsFields>(self); }

// Returns a ValueError of the constructor.
std::unexpected<PyError> invalid(const std::string& message) {
    return std::unexpected(PyError::make(PyExc_ValueError, "FitSums: " + message));
}

// Returns the fields after checking that the arrays fit together.
Result<FitSumsFields> checked(double loglik, PyObject* score, PyObject* information, PyObject* meat,
                              double weight, Py_ssize_t rows) {
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView s, surface::as_vector_view(score, "score"));
    const std::string k = std::to_string(s.size);
    const auto square = [&](PyObject* m, const char* label) -> Result<void> {
        VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView view, surface::as_matrix_view(m, label));
        if (view.rows != s.size || view.cols != s.size) {
            return invalid(std::string(label) + " of shape " + engine::shape(view) +
                           " for a score of " + k + " coefficients");
        }
        return {};
    };
    VELMORA_RETURN_IF_ERROR(square(information, "information"));
    if (meat != Py_None) {
        VELMORA_RETURN_IF_ERROR(square(meat, "meat"));
    }
    if (rows < 0) return invalid("rows must be at least 0, got " + std::to_string(rows));
    return FitSumsFields{loglik,
                         PyRef::borrow(score),
                         PyRef::borrow(information),
                         meat == Py_None ? PyRef() : PyRef::borrow(meat),
                         weight,
                         rows};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        static const char* keywords[] = {"loglik", "score", "information", "meat",
                                         "weight", "rows",  nullptr};
        double loglik = 0.0, weight = 0.0;
        PyObject *score = nullptr, *information = nullptr, *meat = nullptr;
        Py_ssize_t rows = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "dOOOdn:FitSums",
                                         const_cast<char**>(keywords), &loglik, &score,
                                         &information, &meat, &weight, &rows)) {
            return surface::fetched();
        }
        VELMORA_ASSIGN_OR_RETURN(FitSumsFields f,
                                 checked(loglik, score, information, meat, weight, rows));
        return new_object(type, std::move(f));
    });
}

// Returns the meat, or None.
PyObject* meat_or_none(const FitSumsFields& f) { return f.meat ? f.meat.get() : Py_None; }

// The sum of two FitSums over disjoint rows.
PyObject* add(PyObject* a, PyObject* b) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        if (Py_TYPE(a) != Py_TYPE(b)) return PyRef::borrow(Py_NotImplemented);
        const FitSumsFields &x = fields(a), &y = fields(b);
        VELMORA_ASSIGN_OR_RETURN(
            PyRef score, added_arrays(x.score.get(), y.score.get(), 1, "FitSums", "scores"));
        VELMORA_ASSIGN_OR_RETURN(
            PyRef information, added_arrays(x.information.get(), y.information.get(), 2, "FitSums",
                                            "information matrices"));
        PyRef meat;
        if (static_cast<bool>(x.meat) != static_cast<bool>(y.meat)) {
            return std::unexpected(PyError::make(
                PyExc_ValueError, "cannot add FitSums with a meat to FitSums without one"));
        }
        if (x.meat) {
            VELMORA_ASSIGN_OR_RETURN(
                meat, added_arrays(x.meat.get(), y.meat.get(), 2, "FitSums", "meats"));
        }
        return new_object(
            Py_TYPE(a), FitSumsFields{x.loglik + y.loglik, std::move(score), std::move(information),
                                      std::move(meat), x.weight + y.weight, x.rows + y.rows});
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    const FitSumsFields& f = fields(self);
    return Py_BuildValue("O(dOOOdn)", Py_TYPE(self), f.loglik, f.score.get(), f.information.get(),
                         meat_or_none(f), f.weight, f.rows);
}

PyObject* repr(PyObject* self) {
    return surface::at_boundary([&]() -> Result<PyRef> {
        const FitSumsFields& f = fields(self);
        VELMORA_ASSIGN_OR_RETURN(const std::string k, array_shape(f.score.get(), 1, "score"));
        VELMORA_ASSIGN_OR_RETURN(const std::string loglik, float_text(f.loglik));
        VELMORA_ASSIGN_OR_RETURN(const std::string weight, float_text(f.weight));
        const std::string text = "<FitSums: " + std::to_string(f.rows) + " rows, " + k +
                                 " coefficients, loglik " + loglik + ", weight " + weight +
                                 (f.meat ? ", with meat>" : ">");
        PyRef out = PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!out) return surface::fetched();
        return out;
    });
}

PyObject* get_loglik(PyObject* self, void*) { return PyFloat_FromDouble(fields(self).loglik); }
PyObject* get_score(PyObject* self, void*) { return Py_NewRef(fields(self).score.get()); }
PyObject* get_information(PyObject* self, void*) {
    return Py_NewRef(fields(self).information.get());
}
PyObject* get_meat(PyObject* self, void*) { return Py_NewRef(meat_or_none(fields(self))); }
PyObject* get_weight(PyObject* self, void*) { return PyFloat_FromDouble(fields(self).weight); }
PyObject* get_rows(PyObject* self, void*) { return PyLong_FromSsize_t(fields(self).rows); }

PyGetSetDef getset[] = {
    {"loglik", get_loglik, nullptr, "sum w log F(q x b), q = 2 y - 1.", nullptr},
    {"score", get_score, nullptr, "sum w r x, r the derivative of a row's loglik by x b.", nullptr},
    {"information", get_information, nullptr,
     "sum w h x x^T, h minus the second derivative of a row's loglik by x b.", nullptr},
    {"meat", get_meat, nullptr, "sum w r^2 x x^T, or None when not asked for.", nullptr},
    {"weight", get_weight, nullptr, "The sum of the weights.", nullptr},
    {"rows", get_rows, nullptr, "The number of rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "Returns how to make the sums again, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("FitSums(loglik, score, information, meat, weight, rows)\n--\n\n"
                       "The sums of fit_sums over some rows (see fit_sums). The sums over\n"
                       "disjoint rows add up with +; a meat adds only to a meat.")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<FitSumsFields>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_nb_add, reinterpret_cast<void*>(add)},
    {0, nullptr},
};

PyType_Spec spec = {
    "velmora_margins._kernels.FitSums",
    sizeof(SumsObject<FitSumsFields>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

// Returns a new k x k array holding a row-major matrix.
Result<PyRef> square_array(const std::vector<double>& values, std::ptrdiff_t k) {
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out, surface::new_float64_array({k, k}));
    std::copy(values.begin(), values.end(), out.data);
    return std::move(out.array);
}

}  // namespace

Result<void> add_fit_sums_type(PyObject* module, KernelsState& state) {
    state.fit_sums_type = PyRef::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!state.fit_sums_type) return surface::fetched();
    if (PyModule_AddType(module, as_type(state.fit_sums_type)) < 0) return surface::fetched();
    return {};
}

Result<PyRef> fit_sums_object(const KernelsState& state, const engine::FitSums& sums,
                              std::ptrdiff_t k) {
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray score, surface::new_float64_array({k}));
    std::copy(sums.score.begin(), sums.score.end(), score.data);
    VELMORA_ASSIGN_OR_RETURN(PyRef information, square_array(sums.information, k));
    PyRef meat;
    if (!sums.meat.empty()) {
        VELMORA_ASSIGN_OR_RETURN(meat, square_array(sums.meat, k));
    }
    return new_object(
        as_type(state.fit_sums_type),
        FitSumsFields{sums.loglik, std::move(score.array), std::move(information), std::move(meat),
                      sums.weight, static_cast<Py_ssize_t>(sums.rows)});
}

}  // namespace velmora::margins
