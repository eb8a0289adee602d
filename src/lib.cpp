// Module initialisation and the zarn entry routine.
#include <Python.h>

#include <atomic>

#include "engine/accumulate.hpp"
#include "engine/covariance.hpp"
#include "surface/arguments.hpp"
#include "surface/boundary.hpp"
#include "surface/libraries.hpp"
#include "surface/model_inputs.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"
#include "surface/results_table.hpp"

namespace velmora {
namespace {

using surface::PyError;
using surface::PyRef;
using surface::Result;

constexpr const char* zarn_doc =
    "zarn(model, chunk_size=..., se_method=...)\n"
    "--\n"
    "\n"
    "Computes the average marginal effects (AMEs) for Logit/Probit models.\n"
    "\n"
    "This function mimics the style of the original Probit code, but with a twist:  \n"
    "you can choose between two methods for calculating the standard errors (SEs):\n"
    "\n"
    "- \"kova\": Uses the original gradient (Jacobian) calculation based on per-observation "
    "effects.\n"
    "- \"sm\": Uses a statsmodels-style gradient for continuous variables.\n"
    "\n"
    "The function accepts a model (Logit or Probit), an optional chunk size (to process data in "
    "parts),\n"
    "and an optional `se_method` string which defaults to \"kova\".";

// Returns the Python error that an engine fault stands for.
PyError from_fault(const engine::EngineFault& fault) {
    // An interrupted pass stopped because a signal handler raised; that exception stands.
    if (fault.kind == engine::FaultKind::interrupted && PyErr_Occurred()) return PyError::fetch();
    return PyError::panic(fault.detail);
}

// Runs pending signal handlers; true when one of them raised (Ctrl-C, say).
bool signal_raised(void*) { return PyErr_CheckSignals() < 0; }

// Warns that a se_method text names neither method, so continuous columns get nothing.
Result<void> warn_unrecognised(std::string_view method) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        method.data(), static_cast<Py_ssize_t>(method.size()), "surrogatepass"));
    if (!text) return surface::fetched();
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "zarn: se_method %R is neither \"kova\" nor \"sm\"; continuous "
                         "regressors are left out and reported with dy/dx 0 and Std. Err 0",
                         text.get()) < 0) {
        return surface::fetched();
    }
    return {};
}

// Runs one call of zarn from its bound arguments to the finished table.
Result<PyRef> run_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VELMORA_ASSIGN_OR_RETURN(const surface::CallArguments call,
                             surface::bind_arguments(args, nargs, kwnames));
    VELMORA_ASSIGN_OR_RETURN(const surface::ModelInputs inputs,
                             surface::read_model_inputs(call.model));

    const engine::SeMethod method = call.se_method;
    if (method == engine::SeMethod::unrecognised) {
        VELMORA_RETURN_IF_ERROR(warn_unrecognised(call.se_method_text));
    }
    engine::PassOptions options;
    options.chunk_size = call.chunk_size;
    options.interrupt = {signal_raised, nullptr};
    auto pass = engine::find_binary_columns_and_accumulate(inputs.beta, inputs.x,
                                                           inputs.names.size(), inputs.kind, method,
                                                           inputs.intercept_columns, options);
    if (!pass) return std::unexpected(from_fault(pass.error()));

    auto effects = engine::finalise_effects(static_cast<std::uint64_t>(inputs.x.rows),
                                            static_cast<std::size_t>(inputs.x.cols), method,
                                            pass->sums, inputs.cov_params);
    if (!effects) return std::unexpected(from_fault(effects.error()));

    return surface::build_results_table(effects->ames, effects->std_errors, inputs.names,
                                        inputs.intercept_columns);
}

// The one boundary where errors become a raised exception; no C++ exception passes it.
PyObject* zarn_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return surface::at_boundary([&] { return run_call(args, nargs, kwnames); });
}

PyMethodDef zarn_def = {
    "zarn",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(zarn_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    zarn_doc,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

std::atomic<bool> initialised{false};

// Adds the function to the module under its __name__ and lists it in __all__.
Result<void> add_function(PyObject* module, PyObject* function) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(function, "__name__"));
    if (!name) return surface::fetched();
    if (!PyUnicode_Check(name.get())) {
        return std::unexpected(PyError::cannot_convert(name.get(), "PyString"));
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return surface::fetched();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all) return surface::fetched();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return surface::fetched();
    }
    if (!PyList_Check(all.get())) {
        return std::unexpected(PyError::cannot_convert(all.get(), "PyList"));
    }
    if (PyList_Append(all.get(), name.get()) < 0) return surface::fetched();
    if (PyObject_SetAttr(module, name.get(), function) < 0) return surface::fetched();
    return {};
}

PyObject* init_module() {
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora may only be initialized once per interpreter process");
        return nullptr;
    }
    if (auto loaded = surface::load_engine_libraries("velmora"); !loaded) {
        initialised.store(false);
        std::move(loaded.error()).restore();
        return nullptr;
    }
    const char* module_name = PyModule_GetName(module.get());
    if (module_name == nullptr) return nullptr;
    PyRef name = PyRef::steal(PyUnicode_FromString(module_name));
    if (!name) return nullptr;
    PyRef function = PyRef::steal(PyCMethod_New(&zarn_def, module.get(), name.get(), nullptr));
    if (!function) return nullptr;
    if (auto ok = add_function(module.get(), function.get()); !ok) {
        std::move(ok.error()).restore();
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_velmora() {
    try {
        return velmora::init_module();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
