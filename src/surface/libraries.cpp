// The shared libraries the engine takes at run time, opened when a module is imported.
#include "surface/libraries.hpp"

#include <dlfcn.h>
#include <string>

#include "engine/cblas.hpp"
#include "engine/link.hpp"

namespace velmora::surface {

namespace {

// Returns the folder of the module that holds this code, with its trailing slash, or
// an empty string where the loader cannot say.
std::string module_folder() {
    static const char marker = 0;
    Dl_info info{};
    if (dladdr(&marker, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string path(info.dli_fname);
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

// Opens OpenBLAS as the dynamic linker finds the module's own libraries (its run path
// first), then by its path from the module's folder: where a runtime wraps dlopen (the
// sanitizers' does), the search is made for the wrapper's run path, not the module's.
engine::EngineResult<void> load_openblas() {
    auto loaded = engine::cblas::load(VELMORA_OPENBLAS_NAME);
    if (loaded) return loaded;
    const std::string folder = module_folder();
    if (folder.empty()) return loaded;
    const std::string path = folder + VELMORA_OPENBLAS_FOLDER "/" VELMORA_OPENBLAS_NAME;
    if (auto beside = engine::cblas::load(path.c_str())) return beside;
    return loaded;
}

}  // namespace

Result<void> load_engine_libraries(const char* module_name) {
    if (auto loaded = load_openblas(); !loaded) {
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
