// Arguments and faults shared by the entry routines of velmora_margins._kernels.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "engine/fault.hpp"
#include "engine/link.hpp"
#include "engine/strided.hpp"
#include "surface/py_error.hpp"
#include "surface/py_ref.hpp"

namespace velmora::margins {

// Returns the link named by text, one of those a kernel takes; a ValueError that lists
// them otherwise.
surface::Result<engine::ModelKind> read_link(std::string_view text,
                                             std::span<const engine::ModelKind> taken);

// Returns a tuple of the names of the given links.
surface::Result<surface::PyRef> link_name_tuple(std::span<const engine::ModelKind> links);

// Returns a view of an optional one-dimensional float64 array: no values for None.
surface::Result<engine::VectorView> optional_vector(PyObject* obj, std::string_view label);

// Returns the Python exception for an engine fault: a ValueError with the fault's text for
// a bad value in the caller's data, PanicException for everything else.
surface::PyError from_fault(const engine::EngineFault& fault);

}  // namespace velmora::margins
