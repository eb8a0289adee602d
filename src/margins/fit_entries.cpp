#include "margins/fit_entries.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "engine/fit_sums.hpp"
#include "margins/kernel_arguments.hpp"
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
    engine::ModelKind kind{};
    engine::VectorView beta, y, weights;
    engine::MatrixView x;
};

Result<RowInputs> read_rows(const char* kind_text, PyObject* beta, PyObject* x, PyObject* y,
                            PyObject* weights) {
    RowInputs in;
    auto kind = read_kind(kind_text);
    if (!kind) return std::unexpected(std::move(kind.error()));
    in.kind = *kind;
    auto beta_view = surface::as_vector_view(beta, "beta");
    if (!beta_view) return std::unexpected(std::move(beta_view.error()));
    in.beta = *beta_view;
    auto x_view = surface::as_matrix_view(x, "x");
    if (!x_view) return std::unexpected(std::move(x_view.error()));
    in.x = *x_view;
    auto y_view = surface::as_vector_view(y, "y");
    if (!y_view) return std::unexpected(std::move(y_view.error()));
    in.y = *y_view;
    auto weights_view = optional_vector(weights, "weights");
    if (!weights_view) return std::unexpected(std::move(weights_view.error()));
    in.weights = *weights_view;
    return in;
}

// Returns a new k x k array holding a row-major matrix.
Result<PyRef> square_array(const std::vector<double>& values, std::ptrdiff_t k) {
    auto out = surface::new_float64_array({k, k});
    if (!out) return std::unexpected(std::move(out.error()));
    std::copy(values.begin(), values.end(), out->data);
    return std::move(out->array);
}

}  // namespace

Result<PyRef> fit_sums(PyObject* args) {
    const char* kind_text = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr;
    int with_meat = 0;
    if (!PyArg_ParseTuple(args, "sOOOOp:fit_sums", &kind_text, &beta, &x, &y, &weights,
                          &with_meat)) {
        return fetched();
    }
    auto in = read_rows(kind_text, beta, x, y, weights);
    if (!in) return std::unexpected(std::move(in.error()));

    const std::ptrdiff_t k = in->x.cols;
    engine::FitSums sums(static_cast<std::size_t>(k), with_meat != 0);
    const engine::EngineResult<void> done = surface::without_gil(
        [&] { return engine::add_fit_sums(in->kind, in->beta, in->x, in->y, in->weights, sums); });
    if (!done) return std::unexpected(from_fault(done.error()));

    auto score = surface::new_float64_array({k});
    if (!score) return std::unexpected(std::move(score.error()));
    std::copy(sums.score.begin(), sums.score.end(), score->data);
    auto information = square_array(sums.information, k);
    if (!information) return std::unexpected(std::move(information.error()));
    PyRef meat = PyRef::borrow(Py_None);
    if (with_meat != 0) {
        auto made = square_array(sums.meat, k);
        if (!made) return std::unexpected(std::move(made.error()));
        meat = std::move(*made);
    }
    PyRef out =
        PyRef::steal(Py_BuildValue("(dOOOdn)", sums.loglik, score->array.get(), information->get(),
                                   meat.get(), sums.weight, static_cast<Py_ssize_t>(sums.rows)));
    if (!out) return fetched();
    return out;
}

Result<PyRef> cluster_scores(PyObject* args) {
    const char* kind_text = nullptr;
    PyObject *beta = nullptr, *x = nullptr, *y = nullptr, *weights = nullptr, *codes = nullptr;
    Py_ssize_t groups = 0;
    if (!PyArg_ParseTuple(args, "sOOOOOn:cluster_scores", &kind_text, &beta, &x, &y, &weights,
                          &codes, &groups)) {
        return fetched();
    }
    auto in = read_rows(kind_text, beta, x, y, weights);
    if (!in) return std::unexpected(std::move(in.error()));
    auto code_view = surface::as_code_view(codes, "codes");
    if (!code_view) return std::unexpected(std::move(code_view.error()));
    if (groups < 0) {
        return std::unexpected(PyError::make(
            PyExc_ValueError, "groups must be at least 0, got " + std::to_string(groups)));
    }

    const std::ptrdiff_t k = in->x.cols;
    auto out = surface::new_float64_array({static_cast<std::ptrdiff_t>(groups), k});
    if (!out) return std::unexpected(std::move(out.error()));
    // The new array is not yet seen by any other code while the lock is released.
    const std::span<double> values(out->data, static_cast<std::size_t>(groups * k));
    const engine::EngineResult<void> done = surface::without_gil([&] {
        return engine::add_cluster_scores(in->kind, in->beta, in->x, in->y, in->weights, *code_view,
                                          groups, values);
    });
    if (!done) return std::unexpected(from_fault(done.error()));
    return std::move(out->array);
}

}  // namespace velmora::margins
