#include "margins/glm_entries.hpp"

#include <array>
#include <cmath>
#include <span>
#include <string>

#include "engine/glm_sums.hpp"
#include "engine/negbin_sums.hpp"
#include "margins/fit_sums_type.hpp"
#include "margins/kernel_arguments.hpp"
#include "surface/gil.hpp"
#include "surface/numpy_view.hpp"

namespace velmora::margins {
namespace {

using surface::fetched;
using surface::PyError;
using surface::PyRef;
using surface::Result;

constexpr std::array glm_fields{
    FieldSpec{"loglik", FieldKind::number,
              "sum n l(y, mu, w, scale), the log-likelihood at the scale given."},
    FieldSpec{"deviance", FieldKind::number, "sum n w d(y, mu), the deviance (scale 1)."},
    FieldSpec{"pearson_chi2", FieldKind::number, "sum n w (y - mu)^2 / V(mu)."},
    FieldSpec{"score", FieldKind::vector,
              "sum n w e x, e = (y - mu) f / V(mu): the score times the scale."},
    FieldSpec{"information", FieldKind::matrix,
              "sum n w f^2 / V x x^T: the expected information times the scale."},
    FieldSpec{"observed", FieldKind::optional_matrix,
              "The observed information times the scale, or None when not asked for."},
    FieldSpec{"meat", FieldKind::optional_matrix,
              "sum n (w e)^2 x x^T, or None when not asked for."},
    FieldSpec{"weight", FieldKind::number, "The sum of the frequency weights."},
    FieldSpec{"rows", FieldKind::count, "The number of rows."},
    FieldSpec{"constant", FieldKind::number,
              "The part of loglik in the outcomes, weights and scale alone; 0, and left out "
              "of loglik, in sums without constants."},
};

std::unexpected<PyError> value_error(const std::string& text) {
    return std::unexpected(PyError::make(PyExc_ValueError, text));
}

Result<engine::FamilyKind> read_family(std::string_view text) {
    if (const auto found = engine::family_named(text)) return *found;
    std::string names;
    for (std::size_t i = 0; i < engine::family_names.size(); ++i) {
        if (i > 0) names += i + 1 == engine::family_names.size() ? " or " : ", ";
        names.append("'").append(engine::family_names[i]).append("'");
    }
    return value_error("family must be " + names + ", got '" + std::string(text) + "'");
}

// Returns the family with its parameter, which must be finite, above 0 for alpha.
Result<engine::Family> read_family_with(const char* name, double alpha, double var_power) {
    VELMORA_ASSIGN_OR_RETURN(const engine::FamilyKind kind, read_family(name));
    engine::Family family{kind, 1.0};
    if (kind == engine::FamilyKind::negative_binomial) {
        if (!(alpha > 0.0) || !std::isfinite(alpha)) {
            return value_error("alpha must be above 0 and finite, got " + std::to_string(alpha));
        }
        family.parameter = alpha;
    }
    if (kind == engine::FamilyKind::tweedie) {
        if (!std::isfinite(var_power)) {
            return value_error("var_power must be finite, got " + std::to_string(var_power));
        }
        family.parameter = var_power;
    }
    return family;
}

// The arguments of the GLM entries, read and checked.
struct GlmInputs {
    engine::Family family;
    engine::ModelKind link{};
    engine::VectorView beta;
    engine::DesignRows x{engine::MatrixView{}};
    engine::GlmRows rows;
};

Result<GlmInputs> read_glm(const char* family, const char* link, PyObject* beta, PyObject* x,
                           PyObject* y, PyObject* offset, PyObject* frequency, PyObject* variance,
                           double alpha, double var_power) {
    GlmInputs in;
    VELMORA_ASSIGN_OR_RETURN(in.family, read_family_with(family, alpha, var_power));
    VELMORA_ASSIGN_OR_RETURN(in.link, read_link(link, engine::all_links));
    VELMORA_ASSIGN_OR_RETURN(in.beta, surface::as_vector_view(beta, "beta"));
    VELMORA_ASSIGN_OR_RETURN(in.x, surface::as_design_rows(x, "x"));
    VELMORA_ASSIGN_OR_RETURN(in.rows.y, surface::as_vector_view(y, "y"));
    VELMORA_ASSIGN_OR_RETURN(in.rows.offset, optional_vector(offset, "offset"));
    VELMORA_ASSIGN_OR_RETURN(in.rows.frequency, optional_vector(frequency, "freq_weights"));
    VELMORA_ASSIGN_OR_RETURN(in.rows.variance, optional_vector(variance, "var_weights"));
    return in;
}

// Returns a new groups x width array of zeros for the scores by cluster.
Result<surface::NewArray> cluster_array(std::ptrdiff_t groups, std::ptrdiff_t width) {
    if (groups < 0) {
        return value_error("groups must be at least 0, got " + std::to_string(groups));
    }
    return surface::new_float64_array({groups, width});
}

}  // namespace

const RecordSpec glm_sums_spec{
    "GlmSums",
    "velmora_margins._kernels.GlmSums",
    "GlmSums(loglik, deviance, pearson_chi2, score, information, observed, meat, weight, rows,\n"
    "        constant)\n"
    "--\n\n"
    "The sums of glm_sums over some rows (see glm_sums). The sums over disjoint rows\n"
    "add up with +; observed and meat add only to their own kind.",
    glm_fields,
};

Result<PyRef> glm_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"family",    "link",           "beta",         "x",
                                     "y",         "offset",         "freq_weights", "var_weights",
                                     "scale",     "alpha",          "var_power",    "with_observed",
                                     "with_meat", "with_constants", nullptr};
    const char *family = nullptr, *link = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr;
    PyObject *offset = Py_None, *frequency = Py_None, *variance = Py_None;
    double scale = 1.0, alpha = 1.0, var_power = 1.0;
    int with_observed = 0, with_meat = 0, with_constants = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ssOOO|OOOdddppp:glm_sums",
                                     const_cast<char**>(keywords), &family, &link, &beta, &x, &y,
                                     &offset, &frequency, &variance, &scale, &alpha, &var_power,
                                     &with_observed, &with_meat, &with_constants)) {
        return fetched();
    }
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        return value_error("scale must be above 0 and finite, got " + std::to_string(scale));
    }
    VELMORA_ASSIGN_OR_RETURN(const GlmInputs in, read_glm(family, link, beta, x, y, offset,
                                                          frequency, variance, alpha, var_power));
    const std::ptrdiff_t k = in.x.cols;
    engine::GlmSums sums(static_cast<std::size_t>(k), with_observed != 0, with_meat != 0,
                         with_constants != 0);
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_glm_sums(in.family, in.link, in.beta, in.x, in.rows, scale, sums);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    std::vector<PyRef> values;
    for (const double v : {sums.loglik, sums.deviance, sums.pearson_chi2}) {
        VELMORA_ASSIGN_OR_RETURN(PyRef value, float_value(v));
        values.push_back(std::move(value));
    }
    VELMORA_ASSIGN_OR_RETURN(PyRef score, vector_value(sums.score));
    values.push_back(std::move(score));
    for (const std::vector<double>* m : {&sums.information, &sums.observed, &sums.meat}) {
        PyRef value;
        if (!m->empty()) {
            VELMORA_ASSIGN_OR_RETURN(value, matrix_value(*m, k));
        }
        values.push_back(std::move(value));
    }
    VELMORA_ASSIGN_OR_RETURN(PyRef weight, float_value(sums.weight));
    values.push_back(std::move(weight));
    VELMORA_ASSIGN_OR_RETURN(PyRef rows, count_value(sums.rows));
    values.push_back(std::move(rows));
    VELMORA_ASSIGN_OR_RETURN(PyRef constant, float_value(sums.constant));
    values.push_back(std::move(constant));
    return record_object(state_of(module).glm_sums_type.get(), glm_sums_spec, std::move(values));
}

Result<PyRef> glm_cluster_scores(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {
        "family", "link",         "beta",        "x",     "y",         "codes", "groups",
        "offset", "freq_weights", "var_weights", "alpha", "var_power", nullptr};
    const char *family = nullptr, *link = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *codes = nullptr;
    PyObject *offset = Py_None, *frequency = Py_None, *variance = Py_None;
    Py_ssize_t groups = 0;
    double alpha = 1.0, var_power = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ssOOOOn|OOOdd:glm_cluster_scores",
                                     const_cast<char**>(keywords), &family, &link, &beta, &x, &y,
                                     &codes, &groups, &offset, &frequency, &variance, &alpha,
                                     &var_power)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const GlmInputs in, read_glm(family, link, beta, x, y, offset,
                                                          frequency, variance, alpha, var_power));
    VELMORA_ASSIGN_OR_RETURN(const engine::CodeView code_view,
                             surface::as_code_view(codes, "codes"));
    const std::ptrdiff_t k = in.x.cols;
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out, cluster_array(groups, k));
    // The new array is not yet seen by any other code while the lock is released.
    const std::span<double> values(out.data, static_cast<std::size_t>(groups * k));
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_glm_cluster_scores(in.family, in.link, in.beta, in.x, in.rows, code_view,
                                              groups, values);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return std::move(out.array);
}

Result<PyRef> negbin_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"params", "x", "y", "weights", "with_meat", "offset", nullptr};
    PyObject *params = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *offset = Py_None;
    int with_meat = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOp|O:negbin_sums",
                                     const_cast<char**>(keywords), &params, &x, &y, &weights,
                                     &with_meat, &offset)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView p, surface::as_vector_view(params, "params"));
    VELMORA_ASSIGN_OR_RETURN(const engine::DesignRows xv, surface::as_design_rows(x, "x"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView yv, surface::as_vector_view(y, "y"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView w, optional_vector(weights, "weights"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView o, optional_vector(offset, "offset"));
    const std::ptrdiff_t k = xv.cols + 1;
    engine::FitSums sums(static_cast<std::size_t>(k), with_meat != 0);
    const engine::EngineResult<void> done =
        surface::without_gil([&] { return engine::add_negbin_sums(p, xv, yv, w, o, sums); });
    if (!done) return std::unexpected(from_fault(done.error()));
    return fit_sums_object(state_of(module), sums, k);
}

Result<PyRef> negbin_cluster_scores(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"params", "x",      "y",      "weights",
                                     "codes",  "groups", "offset", nullptr};
    PyObject *params = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *codes = nullptr;
    PyObject* offset = Py_None;
    Py_ssize_t groups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOn|O:negbin_cluster_scores",
                                     const_cast<char**>(keywords), &params, &x, &y, &weights,
                                     &codes, &groups, &offset)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView p, surface::as_vector_view(params, "params"));
    VELMORA_ASSIGN_OR_RETURN(const engine::DesignRows xv, surface::as_design_rows(x, "x"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView yv, surface::as_vector_view(y, "y"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView w, optional_vector(weights, "weights"));
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView o, optional_vector(offset, "offset"));
    VELMORA_ASSIGN_OR_RETURN(const engine::CodeView code_view,
                             surface::as_code_view(codes, "codes"));
    const std::ptrdiff_t width = xv.cols + 1;
    VELMORA_ASSIGN_OR_RETURN(surface::NewArray out, cluster_array(groups, width));
    const std::span<double> values(out.data, static_cast<std::size_t>(groups * width));
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_negbin_cluster_scores(p, xv, yv, w, o, code_view, groups, values);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return std::move(out.array);
}

Result<PyRef> family_name_tuple() {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(engine::family_names.size())));
    if (!tuple) return fetched();
    for (std::size_t i = 0; i < engine::family_names.size(); ++i) {
        const std::string_view name = engine::family_names[i];
        PyObject* item =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr) return fetched();
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return tuple;
}

}  // namespace velmora::margins
