// velmora_margins._kernels: the private kernels behind velmora_margins. Module
// initialisation and the entry routines, the one place where errors become Python
// exceptions. The kernels release the interpreter lock while they compute.
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/cblas.hpp"
#include "engine/contrast_sums.hpp"
#include "margins/contrast_inputs.hpp"
#include "margins/fit_entries.hpp"
#include "margins/kernel_arguments.hpp"
#include "surface/boundary.hpp"
#include "surface/gil.hpp"
#include "surface/numpy_view.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"
#include "surface/results_table.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyError;
using surface::PyRef;
using surface::Result;

// contrast_sums(kind, beta, x, weights, derivatives, factors) -> (effects, gradients, weight)
Result<PyRef> contrast_sums(PyObject* args) {
    const char* kind_text = nullptr;
    PyObject *beta_obj = nullptr, *x_obj = nullptr, *weights_obj = nullptr;
    PyObject *derivatives = nullptr, *factors = nullptr;
    if (!PyArg_ParseTuple(args, "sOOOOO:contrast_sums", &kind_text, &beta_obj, &x_obj, &weights_obj,
                          &derivatives, &factors)) {
        return fetched();
    }
    auto kind = read_kind(kind_text);
    if (!kind) return std::unexpected(std::move(kind.error()));
    auto beta = surface::as_vector_view(beta_obj, "beta");
    if (!beta) return std::unexpected(std::move(beta.error()));
    auto x = surface::as_matrix_view(x_obj, "x");
    if (!x) return std::unexpected(std::move(x.error()));
    auto weights = optional_vector(weights_obj, "weights");
    if (!weights) return std::unexpected(std::move(weights.error()));
    auto inputs = read_contrasts(derivatives, factors);
    if (!inputs) return std::unexpected(std::move(inputs.error()));

    const std::size_t count = inputs->set.count();
    engine::ContrastSums sums(count, static_cast<std::size_t>(x->cols));
    const engine::EngineResult<void> done = surface::without_gil(
        [&] { return engine::add_contrast_sums(*kind, *beta, *x, *weights, inputs->set, sums); });
    if (!done) return std::unexpected(from_fault(done.error()));

    const auto effects_size = static_cast<std::ptrdiff_t>(count);
    auto effects = surface::new_float64_array({effects_size});
    if (!effects) return std::unexpected(std::move(effects.error()));
    std::copy(sums.effects.begin(), sums.effects.end(), effects->data);
    auto gradients = surface::new_float64_array({effects_size, x->cols});
    if (!gradients) return std::unexpected(std::move(gradients.error()));
    std::copy(sums.gradients.begin(), sums.gradients.end(), gradients->data);
    PyRef out = PyRef::steal(
        Py_BuildValue("(OOd)", effects->array.get(), gradients->array.get(), sums.weight));
    if (!out) return fetched();
    return out;
}

// effects_table(effects, std_errors) -> DataFrame of the seven columns of the effects,
// formed as zarn forms them, indexed 0, 1, ...
Result<PyRef> effects_table(PyObject* args) {
    PyObject *effects_obj = nullptr, *errors_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO:effects_table", &effects_obj, &errors_obj)) return fetched();
    auto effects = surface::as_vector_view(effects_obj, "effects");
    if (!effects) return std::unexpected(std::move(effects.error()));
    auto errors = surface::as_vector_view(errors_obj, "std_errors");
    if (!errors) return std::unexpected(std::move(errors.error()));
    if (errors->size != effects->size) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, "effects and std_errors differ in length"));
    }
    std::vector<double> ames(static_cast<std::size_t>(effects->size));
    std::vector<double> std_errors(ames.size());
    std::vector<std::string> names(ames.size());
    for (std::size_t i = 0; i < ames.size(); ++i) {
        ames[i] = (*effects)[static_cast<std::ptrdiff_t>(i)];
        std_errors[i] = (*errors)[static_cast<std::ptrdiff_t>(i)];
        names[i] = std::to_string(i);
    }
    return surface::build_results_table(ames, std_errors, names, {});
}

// Runs an entry's routine: the one boundary where errors become a raised exception; no
// C++ exception passes it.
template <Result<PyRef> (*Routine)(PyObject*)>
PyObject* entry(PyObject*, PyObject* args) {
    return surface::at_boundary([&] { return Routine(args); });
}

PyMethodDef methods[] = {
    {"contrast_sums", entry<contrast_sums>, METH_VARARGS,
     "contrast_sums(kind, beta, x, weights, derivatives, factors)\n--\n\n"
     "Returns the weighted sums of the contrasts' effect terms over the rows of x, their\n"
     "gradients by beta (one row per effect) and the sum of the weights."},
    {"fit_sums", entry<fit_sums>, METH_VARARGS,
     "fit_sums(kind, beta, x, y, weights, with_meat)\n--\n\n"
     "Returns the sums over the rows of x behind a Newton step of a Logit or Probit fit:\n"
     "(loglik, score, information, meat, weight_sum, rows). loglik is sum w log F(q x b)\n"
     "with q = 2 y - 1, score sum w r x with r the derivative of the row's log-likelihood\n"
     "by x b, information sum w h x x^T with h minus its second derivative, meat\n"
     "sum w r^2 x x^T when with_meat is true and None otherwise, weight_sum the sum of\n"
     "the weights (1 each when weights is None) and rows the number of rows. y holds\n"
     "only 0 and 1."},
    {"cluster_scores", entry<cluster_scores>, METH_VARARGS,
     "cluster_scores(kind, beta, x, y, weights, codes, groups)\n--\n\n"
     "Returns the groups x k array whose row g is sum w r x over the rows whose code is g,\n"
     "with r as in fit_sums; codes is an int64 array of one code in [0, groups) per row."},
    {"effects_table", entry<effects_table>, METH_VARARGS,
     "effects_table(effects, std_errors)\n--\n\n"
     "Returns the table of the effects and their standard errors: z, p-values, bounds and\n"
     "stars formed as zarn forms them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_margins._kernels",
    "Private kernels of velmora_margins; use velmora_margins instead.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::margins

extern "C" PyMODINIT_FUNC PyInit__kernels() {
    try {
        // The kernels' products are small and run on the calling thread; parallel work
        // comes from calling the kernels from several threads at once. This OpenBLAS
        // serves velmora alone.
        VELMORA_CBLAS(openblas_set_num_threads)(1);
        return PyModule_Create(&velmora::margins::module_def);
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
