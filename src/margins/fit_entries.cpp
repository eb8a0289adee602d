#include "margins/fit_entries.hpp"

#include <span>
#include <string>

#include "engine/fit_sums.hpp"
#include "margins/fit_sums_type.hpp"
#include "margins/kernel_arguments.hpp"
#include "margins/kernels_state.hpp"
#include "surface/gil.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyError;
using surface::PyRef;
using surface::Result;

// The arguments both entries share, read and checked.
struct RowInputs {
    engine::ModelKind link{};
    engine::VectorView beta, y, weights, offset;
    engine::DesignRows x{engine::MatrixView{}};
};

Result<RowInputs> read_rows(const char* link, PyObject* beta, PyObject* x, PyObject* y,
                            PyObject* weights, PyObject* offset) {
    RowInputs in;
    VELMORA_ASSIGN_OR_RETURN(in.link, read_link(link, engine::fit_links));
    VELMORA_ASSIGN_OR_RETURN(in.beta, surface::as_vector_view(beta, "beta"));
    VELMORA_ASSIGN_OR_RETURN(in.x, surface::as_design_rows(x, "x"));
    VELMORA_ASSIGN_OR_RETURN(in.y, surface::as_vector_view(y, "y"));
    VELMORA_ASSIGN_OR_RETURN(in.weights, optional_vector(weights, "weights"));
    VELMORA_ASSIGN_OR_RETURN(in.offset, optional_vector(offset, "offset"));
    return in;
}

}  // namespace

Result<PyRef> fit_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"link",    "beta",      "x",      "y",
                                     "weights", "with_meat", "offset", nullptr};
    const char* link = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *offset = Py_None;
    int with_meat = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOOp|O:fit_sums",
                                     const_cast<char**>(keywords), &link, &beta, &x, &y, &weights,
                                     &with_meat, &offset)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const RowInputs in, read_rows(link, beta, x, y, weights, offset));

    const std::ptrdiff_t k = in.x.cols;
    engine::FitSums sums(static_cast<std::size_t>(k), with_meat != 0);
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_fit_sums(in.link, in.beta, in.x, in.y, in.weights, sums, {}, in.offset);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return fit_sums_object(state_of(module), sums, k);
}

Result<PyRef> cluster_scores(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"link",  "beta",   "x",      "y",    "weights",
                                     "codes", "groups", "offset", nullptr};
    const char* link = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *codes = nullptr;
    PyObject* offset = Py_None;
    Py_ssize_t groups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOOOn|O:cluster_scores",
                                     const_cast<char**>(keywords), &link, &beta, &x, &y, &weights,
                                     &codes, &groups, &offset)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const RowInputs in, read_rows(link, beta, x, y, weights, offset));
    VELMORA_ASSIGN_OR_RETURN(const engine::CodeView code_view,
                             surface::as_code_view(codes, "codes"));
    if (groups < 0) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, "groups must be at least 0, got " + std::to_string(groups)));
    }

    const std::ptrdiff_t k = in.x.cols;
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out,
                             surface::new_float64_array({static_cast<std::ptrdiff_t>(groups), k}));
    // The new array is not yet seen by any other code while the lock is released.
    const std::span<double> values(out.data, static_cast<std::size_t>(groups * k));
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_cluster_scores(in.link, in.beta, in.x, in.y, in.weights, code_view,
                                          groups, values, {}, in.offset);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return std::move(out.array);
}

}  // namespace velmora::margins
