#include "margins/linear_entries.hpp"

#include <array>
#include <span>
#include <string>

#include "engine/linear_sums.hpp"
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

constexpr std::array sums_fields{
    FieldSpec{"xtwx", FieldKind::matrix, "sum w x x^T."},
    FieldSpec{"xtwy", FieldKind::vector, "sum w y x."},
    FieldSpec{"ytwy", FieldKind::number, "sum w y^2."},
    FieldSpec{"weight", FieldKind::number, "The sum of the weights."},
    FieldSpec{"log_weight", FieldKind::number, "The sum of the weights' logarithms."},
    FieldSpec{"rows", FieldKind::count, "The number of rows."},
};

constexpr std::array meat_fields{
    FieldSpec{"hc0", FieldKind::matrix, "sum w^2 e^2 x x^T, e = y - x b."},
    FieldSpec{"hc2", FieldKind::matrix, "sum w^2 e^2 / (1 - h) x x^T, h = w x B x^T."},
    FieldSpec{"hc3", FieldKind::matrix, "sum w^2 e^2 / (1 - h)^2 x x^T."},
    FieldSpec{"ssr", FieldKind::number, "sum w e^2, the weighted sum of squared residuals."},
    FieldSpec{"max_leverage", FieldKind::largest, "The largest leverage h."},
    FieldSpec{"rows", FieldKind::count, "The number of rows."},
};

// The arrays every entry reads.
struct LinearInputs {
    engine::DesignRows x{engine::MatrixView{}};
    engine::VectorView y, weights;
};

Result<LinearInputs> read_linear(PyObject* x, PyObject* y, PyObject* weights) {
    LinearInputs in;
    VELMORA_ASSIGN_OR_RETURN(in.x, surface::as_design_rows(x, "x"));
    VELMORA_ASSIGN_OR_RETURN(in.y, surface::as_vector_view(y, "y"));
    VELMORA_ASSIGN_OR_RETURN(in.weights, optional_vector(weights, "weights"));
    return in;
}

// Returns the values of a record: the matrices, then the vector, then the numbers.
Result<std::vector<PyRef>> values_of(std::initializer_list<const std::vector<double>*> matrices,
                                     const std::vector<double>* vector,
                                     std::initializer_list<double> numbers, std::ptrdiff_t rows,
                                     std::ptrdiff_t k) {
    std::vector<PyRef> values;
    for (const std::vector<double>* m : matrices) {
        VELMORA_ASSIGN_OR_RETURN(PyRef value, matrix_value(*m, k));
        values.push_back(std::move(value));
    }
    if (vector != nullptr) {
        VELMORA_ASSIGN_OR_RETURN(PyRef value, vector_value(*vector));
        values.push_back(std::move(value));
    }
    for (const double number : numbers) {
        VELMORA_ASSIGN_OR_RETURN(PyRef value, float_value(number));
        values.push_back(std::move(value));
    }
    VELMORA_ASSIGN_OR_RETURN(PyRef count, count_value(rows));
    values.push_back(std::move(count));
    return values;
}

}  // namespace

const RecordSpec linear_sums_spec{
    "LinearSums",
    "velmora_margins._kernels.LinearSums",
    "LinearSums(xtwx, xtwy, ytwy, weight, log_weight, rows)\n--\n\n"
    "The sums of ols_sums over some rows (see ols_sums); the sums over disjoint rows add\n"
    "up with +.",
    sums_fields,
};

const RecordSpec linear_meat_spec{
    "LinearMeat",
    "velmora_margins._kernels.LinearMeat",
    "LinearMeat(hc0, hc2, hc3, ssr, max_leverage, rows)\n--\n\n"
    "The sums of ols_meat over some rows (see ols_meat); the sums over disjoint rows add\n"
    "up with +, which keeps the larger max_leverage.",
    meat_fields,
};

Result<PyRef> ols_sums(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x", "y", "weights", nullptr};
    PyObject *x = nullptr, *y = nullptr, *weights = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:ols_sums", const_cast<char**>(keywords), &x,
                                     &y, &weights)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const LinearInputs in, read_linear(x, y, weights));
    const std::ptrdiff_t k = in.x.cols;
    engine::LinearSums sums(static_cast<std::size_t>(k));
    const engine::EngineResult<void> done =
        surface::without_gil([&] { return engine::add_linear_sums(in.x, in.y, in.weights, sums); });
    if (!done) return std::unexpected(from_fault(done.error()));
    VELMORA_ASSIGN_OR_RETURN(std::vector<PyRef> values,
                             values_of({&sums.xtwx}, &sums.xtwy,
                                       {sums.ytwy, sums.weight, sums.log_weight}, sums.rows, k));
    return record_object(state_of(module).linear_sums_type.get(), linear_sums_spec,
                         std::move(values));
}

Result<PyRef> ols_meat(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"beta", "bread", "x", "y", "weights", nullptr};
    PyObject *beta = nullptr, *bread = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:ols_meat", const_cast<char**>(keywords),
                                     &beta, &bread, &x, &y, &weights)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView b, surface::as_vector_view(beta, "beta"));
    VELMORA_ASSIGN_OR_RETURN(const engine::MatrixView bread_view,
                             surface::as_matrix_view(bread, "bread"));
    VELMORA_ASSIGN_OR_RETURN(const LinearInputs in, read_linear(x, y, weights));
    const std::ptrdiff_t k = in.x.cols;
    engine::LinearMeat meat(static_cast<std::size_t>(k));
    const engine::EngineResult<void> done = surface::without_gil(
        [&] { return engine::add_linear_meat(b, bread_view, in.x, in.y, in.weights, meat); });
    if (!done) return std::unexpected(from_fault(done.error()));
    VELMORA_ASSIGN_OR_RETURN(std::vector<PyRef> values,
                             values_of({&meat.hc0, &meat.hc2, &meat.hc3}, nullptr,
                                       {meat.ssr, meat.max_leverage}, meat.rows, k));
    return record_object(state_of(module).linear_meat_type.get(), linear_meat_spec,
                         std::move(values));
}

Result<PyRef> ols_cluster_scores(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"beta", "x", "y", "weights", "codes", "groups", nullptr};
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *codes = nullptr;
    Py_ssize_t groups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOn:ols_cluster_scores",
                                     const_cast<char**>(keywords), &beta, &x, &y, &weights, &codes,
                                     &groups)) {
        return fetched();
    }
    VELMORA_ASSIGN_OR_RETURN(const engine::VectorView b, surface::as_vector_view(beta, "beta"));
    VELMORA_ASSIGN_OR_RETURN(const LinearInputs in, read_linear(x, y, weights));
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
        return engine::add_linear_cluster_scores(b, in.x, in.y, in.weights, code_view, groups,
                                                 values);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return std::move(out.array);
}

}  // namespace velmora::margins
