// Arguments and faults shared by the entry routines of velmora_margins._kernels.
#pragma once

#include <Python.h>

#include <string_view>

#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/strided.hpp"
#include "surface/py_error.hpp"

namespace velmora::margins {

// Returns the model kind named by text: "logit" or "probit"; a ValueError otherwise.
surface::Result<engine::ModelKind> read_kind(const char* text);

// Returns a view of an optional one-dimensional float64 array: no values for None.
surface::Result<engine::VectorView> optional_vector(PyObject* obj, std::string_view label);

// Returns the Python exception for an engine fault: a ValueError with the fault's text for
// a bad value in the caller's data, PanicException for everything else.
surface::PyError from_fault(const engine::EngineFault& fault);

}  // namespace velmora::margins
