#include "margins/link_entries.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/binary_columns.hpp"
#include "engine/link_arrays.hpp"
#include "margins/kernel_arguments.hpp"
#include "surface/gil.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyRef;
using surface::Result;

PyStructSequence_Field link_value_fields[] = {
    {"cdf", "F(v), the distribution function"},
    {"pdf", "f(v), its density"},
    {"pdf_derivative", "f'(v), the derivative of the density"},
    {nullptr, nullptr},
};

PyStructSequence_Desc link_values_desc = {
    "velmora_margins._kernels.LinkValues",
    "The link functions of link_values, each an array of v's shape.",
    link_value_fields,
    3,
};

}  // namespace

Result<void> add_link_values_type(PyObject* module, KernelsState& state) {
    state.link_values_type =
        PyRef::steal(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&link_values_desc)));
    if (!state.link_values_type) return fetched();
    if (PyModule_AddType(module, as_type(state.link_values_type)) < 0) return fetched();
    return {};
}

Result<PyRef> link_values(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"link", "v", nullptr};
    const char* link_text = nullptr;
    PyObject* v_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO:link_values", const_cast<char**>(keywords),
                                     &link_text, &v_obj)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::ModelKind link, read_link(link_text, engine::all_links));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView v, surface::as_vector_view(v_obj, "v"));

    std::array<surface::NewArray, 3> out;
    for (surface::NewArray& array : out) {
        VELMORA_ASSIGN_OR_RETURN(array, surface::new_float64_array({v.size}));
    }
    // The new arrays are not yet seen by any other code while the lock is released.
    surface::without_gil([&] {
        std::vector<double> values(engine::to_index(v.size)), scratch(values.size());
        for (std::ptrdiff_t i = 0; i < v.size; ++i) values[engine::to_index(i)] = v[i];
        engine::all_link_values(link, values.data(), out[0].data, out[1].data, out[2].data, v.size,
                                scratch.data());
        return true;
    });

    PyRef result = PyRef::steal(PyStructSequence_New(as_type(state_of(module).link_values_type)));
    if (!result) return fetched();
    for (std::size_t i = 0; i < out.size(); ++i) {
        // Steals the reference.
        PyStructSequence_SetItem(result.get(), static_cast<Py_ssize_t>(i), out[i].array.release());
    }
    return result;
}

Result<PyRef> binary_columns(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x", nullptr};
    PyObject* x_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:binary_columns", const_cast<char**>(keywords),
                                     &x_obj)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::DesignRows x, surface::as_design_rows(x_obj, "x"));
    auto found = surface::without_gil(
        [&] { return engine::find_binary_columns(x, engine::to_index(x.cols), {}); });
    if (!found) return std::unexpected(from_fault(found.error()));
    VELMORA_ASSIGN_OR_RETURN(surface::NewBoolArray out, surface::new_bool_array(x.cols));
    for (const std::size_t j : *found) out.data[j] = 1;
    return std::move(out.array);
}

}  // namespace velmora::margins
