#include "surface/model_inputs.hpp"

#include <algorithm>

#include "surface/numpy_view.hpp"

namespace velmora::surface {
namespace {

// Returns text in ASCII lower case; no other character lowercases into ASCII
// letters that could complete one of the names compared against.
std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Returns the argument's "model" attribute, or the argument itself when that read fails.
PyRef model_object(PyObject* model) {
    PyRef inner = PyRef::steal(PyObject_GetAttrString(model, "model"));
    if (inner) return inner;
    PyErr_Clear();
    return PyRef::borrow(model);
}

// Returns obj.values when that attribute can be read, else obj itself.
PyRef values_or_self(PyObject* obj) {
    PyRef values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
    if (values) return values;
    PyErr_Clear();
    return PyRef::borrow(obj);
}

Result<engine::ModelKind> read_model_kind(PyObject* model_obj) {
    PyRef cls = PyRef::steal(PyObject_GetAttrString(model_obj, "__class__"));
    if (!cls) return fetched();
    PyRef name = PyRef::steal(PyObject_GetAttrString(cls.get(), "__name__"));
    if (!name) return fetched();
    if (!PyUnicode_Check(name.get())) {
        return std::unexpected(PyError::cannot_convert(name.get(), "PyString"));
    }
    VELMORA_ASSIGN_OR_RETURN(const std::string text, utf8(name.get()));
    const std::string lower = ascii_lower(text);
    if (lower == "probit") return engine::ModelKind::probit;
    if (lower == "logit") return engine::ModelKind::logit;
    return std::unexpected(
        PyError::make(PyExc_ValueError, "ame: only Logit or Probit supported, got " + text));
}

// Copies a sequence of str into UTF-8 names. The room reserved up front is the
// claimed length, but no more than the columns there are to name: a length is
// only a claim, and a huge one must not turn into a huge allocation.
Result<std::vector<std::string>> read_names(PyObject* source, std::size_t columns) {
    if (PyUnicode_Check(source)) {
        return std::unexpected(PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    if (!PySequence_Check(source)) {
        return std::unexpected(PyError::cannot_convert(source, "Sequence"));
    }
    std::vector<std::string> names;
    const Py_ssize_t size = PySequence_Size(source);
    if (size < 0) {
        PyErr_Clear();
    } else {
        names.reserve(std::min(static_cast<std::size_t>(size), columns));
    }
    PyRef iter = PyRef::steal(PyObject_GetIter(source));
    if (!iter) return fetched();
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) {
            return std::unexpected(PyError::cannot_convert(item.get(), "PyString"));
        }
        VELMORA_ASSIGN_OR_RETURN(std::string text, utf8(item.get()));
        names.push_back(std::move(text));
    }
    if (PyErr_Occurred()) return fetched();
    return names;
}

// Checks that beta, cov_params and the names fit the k columns of X.
Result<void> check_sizes(const ModelInputs& in) {
    const auto k = std::to_string(in.x.cols);
    if (in.beta.size != in.x.cols) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, "params has " + std::to_string(in.beta.size) +
                                                " coefficients but exog has " + k + " columns"));
    }
    if (in.cov_params.rows != in.x.cols || in.cov_params.cols != in.x.cols) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, "cov_params() is " + std::to_string(in.cov_params.rows) + " x " +
                                  std::to_string(in.cov_params.cols) + " but exog has " + k +
                                  " columns (expected " + k + " x " + k + ")"));
    }
    if (in.names.size() != static_cast<std::size_t>(in.x.cols)) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, "the model names " + std::to_string(in.names.size()) +
                                                " regressors but exog has " + k + " columns"));
    }
    return {};
}

}  // namespace

std::vector<std::size_t> find_intercept_columns(const std::vector<std::string>& names) {
    std::vector<std::size_t> columns;
    columns.reserve(4);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string lower = ascii_lower(names[i]);
        if (lower == "const" || lower == "intercept") columns.push_back(i);
    }
    return columns;
}

Result<ModelInputs> read_model_inputs(PyObject* model) {
    ModelInputs in;
    {
        PyRef model_obj = model_object(model);
        VELMORA_ASSIGN_OR_RETURN(in.kind, read_model_kind(model_obj.get()));
    }

    PyRef params = PyRef::steal(PyObject_GetAttrString(model, "params"));
    if (!params) return fetched();
    in.beta_owner = values_or_self(params.get());
    VELMORA_ASSIGN_OR_RETURN(in.beta, as_vector_view(in.beta_owner.get(), "params"));

    PyRef cov = PyRef::steal(PyObject_CallMethod(model, "cov_params", nullptr));
    if (!cov) return fetched();
    in.cov_owner = values_or_self(cov.get());
    VELMORA_ASSIGN_OR_RETURN(in.cov_params, as_matrix_view(in.cov_owner.get(), "cov_params()"));

    PyRef model_obj = model_object(model);
    PyRef exog = PyRef::steal(PyObject_GetAttrString(model_obj.get(), "exog"));
    if (!exog) return fetched();
    PyRef names_source;
    if (PyRef values = PyRef::steal(PyObject_GetAttrString(exog.get(), "values"))) {
        in.x_owner = std::move(values);
        VELMORA_ASSIGN_OR_RETURN(in.x, as_matrix_view(in.x_owner.get(), "exog"));
        names_source = PyRef::steal(PyObject_GetAttrString(exog.get(), "columns"));
    } else {
        PyErr_Clear();
        in.x_owner = PyRef::borrow(exog.get());
        VELMORA_ASSIGN_OR_RETURN(in.x, as_matrix_view(in.x_owner.get(), "exog"));
        names_source = PyRef::steal(PyObject_GetAttrString(model_obj.get(), "exog_names"));
    }
    if (!names_source) return fetched();
    VELMORA_ASSIGN_OR_RETURN(in.names,
                             read_names(names_source.get(), static_cast<std::size_t>(in.x.cols)));

    VELMORA_RETURN_IF_ERROR(check_sizes(in));
    in.intercept_columns = find_intercept_columns(in.names);
    return in;
}

}  // namespace velmora::surface
