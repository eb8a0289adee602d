// The shared libraries the engine takes at run time, opened when a module is imported.
#include "surface/libraries.hpp"

#include <string>

#include "engine/cblas.hpp"
#include "engine/link.hpp"

namespace velmora::surface {

Result<void> load_engine_libraries(const char* module_name) {
    if (auto loaded = engine::cblas::load(VELMORA_OPENBLAS_NAME); !loaded) {
        const std::string message =
            std::string(module_name) +
            " cannot load OpenBLAS (" VELMORA_OPENBLAS_NAME
            "), which it takes from the scipy-openblas32 package: " +
            loaded.error().detail +
            ". Install that package into the same environment: pip install scipy-openblas32";
        return std::unexpected(PyError::make(PyExc_ImportError, message));
    }
    engine::choose_erfc(engine::scalar_erfc_requested());
    return {};
}

}  // namespace velmora::surface
