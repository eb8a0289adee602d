#include "surface/results_table.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/link.hpp"

namespace velmora::surface {
namespace {

constexpr double se_threshold = 1e-15;
constexpr double critical_value = 1.96;

// The seven result columns and the index, before they become Python objects.
struct EffectsTable {
    std::vector<double> dydx, std_err, z, p, low, high;
    std::vector<std::string_view> stars;
    std::vector<std::string_view> index;
};

Result<PyRef> float_list(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return fetched();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return fetched();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

Result<PyRef> text_list(const std::vector<std::string_view>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return fetched();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyUnicode_FromStringAndSize(values[i].data(),
                                                     static_cast<Py_ssize_t>(values[i].size()));
        if (item == nullptr) return fetched();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

Result<void> set_item(PyObject* dict, const char* key, Result<PyRef> value) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef item, std::move(value));
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name) return fetched();
    if (PyDict_SetItem(dict, name.get(), item.get()) < 0) return fetched();
    return {};
}

EffectsTable compute_rows(std::span<const double> ames, std::span<const double> std_errors,
                          const std::vector<std::string>& names,
                          std::span<const std::size_t> intercept_columns) {
    EffectsTable t;
    for (std::size_t j = 0; j < ames.size(); ++j) {
        if (std::find(intercept_columns.begin(), intercept_columns.end(), j) !=
            intercept_columns.end()) {
            continue;
        }
        const double a = ames[j];
        const double s = std_errors[j];
        t.dydx.push_back(a);
        t.std_err.push_back(s);
        if (s > se_threshold) {
            const double z = a / s;
            const double tail = 1.0 - engine::standard_normal_cdf(std::fabs(z));
            const double p = tail + tail;
            const double h = s * critical_value;
            t.z.push_back(z);
            t.p.push_back(p);
            t.stars.push_back(significance_stars(p));
            t.low.push_back(a - h);
            t.high.push_back(a + h);
        } else {
            t.z.push_back(0.0);
            t.p.push_back(1.0);
            t.stars.push_back("");
            t.low.push_back(a);
            t.high.push_back(a);
        }
        t.index.push_back(names[j]);
    }
    return t;
}

}  // namespace

std::string_view significance_stars(double p) {
    if (p < 0.01) return "***";
    if (p < 0.05) return "**";
    if (p < 0.1) return "*";
    return "";
}

Result<PyRef> build_results_table(std::span<const double> ames, std::span<const double> std_errors,
                                  const std::vector<std::string>& names,
                                  std::span<const std::size_t> intercept_columns) {
    if (std_errors.size() != ames.size() || names.size() != ames.size()) {
        return std::unexpected(PyError::panic("results table: " + std::to_string(ames.size()) +
                                              " effects, " + std::to_string(std_errors.size()) +
                                              " standard errors, " + std::to_string(names.size()) +
                                              " names"));
    }
    const EffectsTable t = compute_rows(ames, std_errors, names, intercept_columns);

    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return fetched();
    PyRef pandas = PyRef::steal(PyImport_Import(name.get()));
    if (!pandas) return fetched();

    PyRef data = PyRef::steal(PyDict_New());
    if (!data) return fetched();
    const std::array<std::pair<const char*, const std::vector<double>*>, 6> numbers{{
        {"dy/dx", &t.dydx},
        {"Std. Err", &t.std_err},
        {"z", &t.z},
        {"Pr(>|z|)", &t.p},
        {"Conf. Int. Low", &t.low},
        {"Conf. Int. Hi", &t.high},
    }};
    for (const auto& [key, column] : numbers) {
        VELMORA_RETURN_IF_ERROR(set_item(data.get(), key, float_list(*column)));
    }
    VELMORA_RETURN_IF_ERROR(set_item(data.get(), "Significance", text_list(t.stars)));

    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return fetched();
    VELMORA_RETURN_IF_ERROR(set_item(kwargs.get(), "data", PyRef::borrow(data.get())));
    VELMORA_RETURN_IF_ERROR(set_item(kwargs.get(), "index", text_list(t.index)));
    PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!frame_type) return fetched();
    PyRef args = PyRef::steal(PyTuple_New(0));
    if (!args) return fetched();
    PyRef frame = PyRef::steal(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
    if (!frame) return fetched();
    return frame;
}

}  // namespace velmora::surface
