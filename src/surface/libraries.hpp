// The shared libraries the engine takes at run time, opened when a module is imported.
#pragma once

#include "surface/py_error.hpp"

namespace velmora::surface {

// Opens OpenBLAS and chooses the links' erfc (the vector erfc unless VELMORA_SCALAR_ERFC
// is 1). Fails with an ImportError that says how to install OpenBLAS.
Result<void> load_engine_libraries(const char* module_name);

}  // namespace velmora::surface
