// velmora_margins._kernels: the private kernels behind velmora_margins. Module
// initialisation, its state and the entry routines, where errors become Python
// exceptions at the one boundary. The kernels release the interpreter lock while they
// compute.
#include <Python.h>

#include <new>
#include <string>
#include <vector>

#include "engine/cblas.hpp"
#include "engine/contrast_sums.hpp"
#include "engine/fit_sums.hpp"
#include "margins/contrast_inputs.hpp"
#include "margins/contrast_sums_type.hpp"
#include "margins/fit_entries.hpp"
#include "margins/fit_sums_type.hpp"
#include "margins/glm_entries.hpp"
#include "margins/kernel_arguments.hpp"
#include "margins/kernels_state.hpp"
#include "margins/linear_entries.hpp"
#include "margins/link_entries.hpp"
#include "margins/record_type.hpp"
#include "surface/boundary.hpp"
#include "surface/gil.hpp"
#include "surface/libraries.hpp"
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

// contrast_sums(link, beta, x, weights, derivatives, level_contrasts, predictions=(),
//               offset=None) -> ContrastSums
Result<PyRef> contrast_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"link",        "beta",        "x",
                                     "weights",     "derivatives", "level_contrasts",
                                     "predictions", "offset",      nullptr};
    const char* link_text = nullptr;
    PyObject *beta_obj = nullptr, *x_obj = nullptr, *weights_obj = nullptr;
    PyObject *derivatives = nullptr, *level_contrasts = nullptr, *predictions = nullptr;
    PyObject* offset_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOOO|OO:contrast_sums",
                                     const_cast<char**>(keywords), &link_text, &beta_obj, &x_obj,
                                     &weights_obj, &derivatives, &level_contrasts, &predictions,
                                     &offset_obj)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::ModelKind link, read_link(link_text, engine::all_links));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView beta,
                             surface::as_vector_view(beta_obj, "beta"));
    VELMORA_ASSIGN_OR_RETURN(const engine::DesignRows x, surface::as_design_rows(x_obj, "x"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView weights,
                             optional_vector(weights_obj, "weights"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView offset,
                             optional_vector(offset_obj, "offset"));
    if (offset.size != 0 && offset.size != x.rows) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, "offset of " + std::to_string(offset.size) + " values for x of " +
                                  std::to_string(x.rows) + " rows"));
    }
    VELMORA_ASSIGN_OR_RETURN(
        const ContrastInputs inputs,
        read_contrasts(derivatives, level_contrasts, predictions, x.rows, x.cols));

    engine::ContrastSums sums(inputs.set.count(), engine::to_index(x.cols));
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_contrast_sums(link, beta, x, weights, inputs.set, sums, offset);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return contrast_sums_object(state_of(module), sums, x.cols);
}

// effects_table(effects, std_errors) -> DataFrame of the seven columns of the effects,
// formed as zarn forms them, indexed 0, 1, ...
Result<PyRef> effects_table(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"effects", "std_errors", nullptr};
    PyObject *effects_obj = nullptr, *errors_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:effects_table", const_cast<char**>(keywords),
                                     &effects_obj, &errors_obj)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView effects,
                             surface::as_vector_view(effects_obj, "effects"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView errors,
                             surface::as_vector_view(errors_obj, "std_errors"));
    if (errors.size != effects.size) {
        return std::unexpected(
            PyError::make(PyExc_ValueError, "effects and std_errors differ in length"));
    }
    std::vector<double> ames(engine::to_index(effects.size));
    std::vector<double> std_errors(ames.size());
    std::vector<std::string> names(ames.size());
    for (std::size_t i = 0; i < ames.size(); ++i) {
        ames[i] = effects[static_cast<std::ptrdiff_t>(i)];
        std_errors[i] = errors[static_cast<std::ptrdiff_t>(i)];
        names[i] = std::to_string(i);
    }
    return surface::build_results_table(ames, std_errors, names, {});
}

using Routine = Result<PyRef> (*)(PyObject* module, PyObject* args, PyObject* kwargs);

// Runs an entry's routine: the one boundary where errors become a raised exception; no
// C++ exception passes it.
template <Routine routine>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) {
    return surface::at_boundary([&] { return routine(module, args, kwargs); });
}

// Returns an entry as the function pointer of a method definition.
template <Routine routine>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<routine>));
}

constexpr int keywords_too = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"contrast_sums", method<contrast_sums>(), keywords_too,
     "contrast_sums(link, beta, x, weights, derivatives, level_contrasts, predictions=(),\n"
     "              offset=None)\n"
     "--\n\n"
     "Returns the ContrastSums of the contrasts over the rows of x: the weighted sums of\n"
     "their effect terms, of their gradients by beta (one row per effect) and of the\n"
     "weights. Effects come in the order derivatives, the levels of level_contrasts,\n"
     "predictions. link is one of LINKS. offset, a float64 array of one value per row,\n"
     "is added to every linear predictor of the row, x b and x~ b alike. A linear\n"
     "predictor outside the link's domain, or whose mean overflows, is a ValueError that\n"
     "names the row.\n\n"
     "A derivative is (columns, slopes) or (columns, slopes, side_columns, side,\n"
     "multiplier, per_prediction): c f(v) d / F(v)^p at v = x~ b, x~ the row with\n"
     "side_columns set to side's values (the row itself for no side columns),\n"
     "d = sum_s beta[columns[s]] slopes[:, s], c multiplier's value of the row (1 for\n"
     "None) and p 1 when per_prediction is true. A level contrast is (columns, base,\n"
     "levels, two_valued): F(x(level) b) - F(x(base) b) for each level. A prediction is\n"
     "(columns, values): F(x~ b), x~ the row with columns set to values. Arrays of\n"
     "changed columns have one row per row of x, or one row for all."},
    {"fit_sums", method<fit_sums>(), keywords_too,
     "fit_sums(link, beta, x, y, weights, with_meat, offset=None)\n--\n\n"
     "Returns the FitSums over the rows of x behind a Newton step of a fit: loglik is\n"
     "sum w log F(q x b) with q = 2 y - 1, score sum w r x with r the derivative of the\n"
     "row's log-likelihood by x b, information sum w h x x^T with h minus its second\n"
     "derivative, meat sum w r^2 x x^T when with_meat is true and None otherwise, weight\n"
     "the sum of the weights (1 each when weights is None) and rows the number of rows.\n"
     "y holds only 0 and 1; link is one of FIT_LINKS. offset, one value per row or None,\n"
     "is added to x b."},
    {"cluster_scores", method<cluster_scores>(), keywords_too,
     "cluster_scores(link, beta, x, y, weights, codes, groups, offset=None)\n--\n\n"
     "Returns the groups x k array whose row g is sum w r x over the rows whose code is g,\n"
     "with r as in fit_sums; codes is an int64 array of one code in [0, groups) per row."},
    {"glm_sums", method<glm_sums>(), keywords_too,
     "glm_sums(family, link, beta, x, y, offset=None, freq_weights=None, var_weights=None,\n"
     "         scale=1.0, alpha=1.0, var_power=1.0, with_observed=False, with_meat=False,\n"
     "         with_constants=True)\n"
     "--\n\n"
     "Returns the GlmSums over the rows of x of a generalized linear model of the family\n"
     "(one of FAMILIES; alpha is the negative binomial's, var_power the Tweedie family's)\n"
     "and link (one of LINKS), at the mean mu = F(x b + offset): loglik (at the scale\n"
     "given), deviance and pearson_chi2 as statsmodels' GLM defines them; score and\n"
     "information (expected) times the scale, whose solve is a Fisher scoring step;\n"
     "observed, the observed information times the scale, and meat, the score's outer\n"
     "products, when asked for; weight, the sum of freq_weights; rows. For the Tweedie\n"
     "family with 1 < var_power < 2, loglik leaves out the series term of the rows with\n"
     "y > 0, which depends on y, var_weights and scale only. constant is the part of\n"
     "loglik in y, var_weights and scale alone (the log-gamma functions of the outcome);\n"
     "without constants it is 0 and left out of loglik, for the iterations of a fit,\n"
     "which do not depend on it. An outcome or a mean the\n"
     "family does not take, or a linear predictor the link refuses, is a ValueError\n"
     "that names the row."},
    {"glm_cluster_scores", method<glm_cluster_scores>(), keywords_too,
     "glm_cluster_scores(family, link, beta, x, y, codes, groups, offset=None,\n"
     "                   freq_weights=None, var_weights=None, alpha=1.0, var_power=1.0)\n"
     "--\n\n"
     "Returns the groups x k array whose row g sums the scores n w e x (times the scale,\n"
     "as in glm_sums) of the rows whose code is g."},
    {"negbin_sums", method<negbin_sums>(), keywords_too,
     "negbin_sums(params, x, y, weights, with_meat, offset=None)\n--\n\n"
     "Returns the FitSums of the negative binomial model NB2 over the rows of x at params,\n"
     "the k coefficients and then alpha: loglik, score and information (the observed\n"
     "information) of the k + 1 parameters, alpha's row and column last, as statsmodels'\n"
     "NegativeBinomial(loglike_method='nb2') defines them, each row times its frequency\n"
     "weight; meat the weighted score outer products when with_meat is true. The mean is\n"
     "exp(x b + offset)."},
    {"negbin_cluster_scores", method<negbin_cluster_scores>(), keywords_too,
     "negbin_cluster_scores(params, x, y, weights, codes, groups, offset=None)\n--\n\n"
     "Returns the groups x (k + 1) array whose row g sums the weighted scores of the\n"
     "rows whose code is g, as in negbin_sums."},
    {"ols_sums", method<ols_sums>(), keywords_too,
     "ols_sums(x, y, weights)\n--\n\n"
     "Returns the LinearSums of least squares over the rows of x: X'WX, X'Wy, y'Wy, the\n"
     "sum of the weights and of their logarithms, and the rows; W holds the WLS weights,\n"
     "or 1 each when weights is None."},
    {"ols_meat", method<ols_meat>(), keywords_too,
     "ols_meat(beta, bread, x, y, weights)\n--\n\n"
     "Returns the LinearMeat over the rows of x at beta, with bread the inverse of X'WX:\n"
     "the meats of HC0 (sum w^2 e^2 x x^T), HC2 and HC3 (divided by 1 - h and its square,\n"
     "h = w x bread x^T), the sum of w e^2, the largest h and the rows."},
    {"ols_cluster_scores", method<ols_cluster_scores>(), keywords_too,
     "ols_cluster_scores(beta, x, y, weights, codes, groups)\n--\n\n"
     "Returns the groups x k array whose row g sums w e x over the rows whose code is g."},
    {"link_values", method<link_values>(), keywords_too,
     "link_values(link, v)\n--\n\n"
     "Returns the LinkValues (cdf, pdf, pdf_derivative) of the link at every value of v,\n"
     "a float64 array: F(v), its density f(v) and f'(v), each an array of v's shape."},
    {"binary_columns", method<binary_columns>(), keywords_too,
     "binary_columns(x)\n--\n\n"
     "Returns a boolean array that tells for each column of x (a matrix, or a tuple of its\n"
     "columns) whether it holds only 0 and 1."},
    {"effects_table", method<effects_table>(), keywords_too,
     "effects_table(effects, std_errors)\n--\n\n"
     "Returns the table of the effects and their standard errors: z, p-values, bounds and\n"
     "stars formed as zarn forms them."},
    {nullptr, nullptr, 0, nullptr},
};

int traverse(PyObject* module, visitproc visit, void* arg) {
    const KernelsState& state = state_of(module);
    Py_VISIT(state.contrast_sums_type.get());
    Py_VISIT(state.fit_sums_type.get());
    Py_VISIT(state.glm_sums_type.get());
    Py_VISIT(state.linear_sums_type.get());
    Py_VISIT(state.linear_meat_type.get());
    Py_VISIT(state.link_values_type.get());
    return 0;
}

int clear(PyObject* module) {
    state_of(module).clear();
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_margins._kernels",
    "Private kernels of velmora_margins; use velmora_margins instead.",
    sizeof(KernelsState),
    methods,
    nullptr,
    traverse,
    clear,
    free_module,
};

// Adds a tuple of the names of links to the module under name.
Result<void> add_link_names(PyObject* module, const char* name,
                            std::span<const engine::ModelKind> links) {
    VELMORA_ASSIGN_OR_RETURN(const PyRef names, link_name_tuple(links));
    if (PyModule_AddObjectRef(module, name, names.get()) < 0) return fetched();
    return {};
}

Result<PyRef> init_module() {
    VELMORA_RETURN_IF_ERROR(surface::load_engine_libraries("velmora_margins._kernels"));
    // The kernels' products are small and run on the calling thread; parallel work
    // comes from calling the kernels from several threads at once. This OpenBLAS
    // serves velmora alone.
    VELMORA_CBLAS(openblas_set_num_threads)(1);
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return fetched();
    // The state's memory comes zeroed from CPython; its members start their lives here.
    KernelsState& state = *new (PyModule_GetState(module.get())) KernelsState();
    VELMORA_RETURN_IF_ERROR(add_contrast_sums_type(module.get(), state));
    VELMORA_RETURN_IF_ERROR(add_fit_sums_type(module.get(), state));
    VELMORA_RETURN_IF_ERROR(add_link_values_type(module.get(), state));
    VELMORA_RETURN_IF_ERROR(add_link_names(module.get(), "LINKS", engine::all_links));
    VELMORA_RETURN_IF_ERROR(add_link_names(module.get(), "FIT_LINKS", engine::fit_links));
    VELMORA_ASSIGN_OR_RETURN(state.glm_sums_type, add_record_type<glm_sums_spec>(module.get()));
    VELMORA_ASSIGN_OR_RETURN(state.linear_sums_type,
                             add_record_type<linear_sums_spec>(module.get()));
    VELMORA_ASSIGN_OR_RETURN(state.linear_meat_type,
                             add_record_type<linear_meat_spec>(module.get()));
    VELMORA_ASSIGN_OR_RETURN(const PyRef families, family_name_tuple());
    if (PyModule_AddObjectRef(module.get(), "FAMILIES", families.get()) < 0) return fetched();
    return module;
}

}  // namespace
}  // namespace velmora::margins

PyMODINIT_FUNC PyInit__kernels() {
    return velmora::surface::at_boundary([] { return velmora::margins::init_module(); });
}
