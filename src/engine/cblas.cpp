// The CBLAS routines, taken from the shared library when a module is imported.
#include "engine/cblas.hpp"

#include <dlfcn.h>

namespace velmora::engine::cblas {

Routines routines{};

namespace {

#define VELMORA_CBLAS_TEXT2(text) #text
#define VELMORA_CBLAS_TEXT(text) VELMORA_CBLAS_TEXT2(text)

// Sets a routine from the library's symbol of the prefixed name; false when it has none.
template <class Function>
bool take(void* library, Function*& routine, const char* name) {
    const std::string symbol = std::string(VELMORA_CBLAS_TEXT(VELMORA_CBLAS_PREFIX)) + name;
    void* address = dlsym(library, symbol.c_str());
    routine = reinterpret_cast<Function*>(address);
    return address != nullptr;
}

}  // namespace

EngineResult<void> load(const char* library) {
    // Called from this module, dlopen searches the module's own run path.
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        return internal_fault(error != nullptr ? error : library);
    }
    Routines found{};
    const bool complete =
        take(handle, found.cblas_ddot, "cblas_ddot") &&
        take(handle, found.cblas_dgemv, "cblas_dgemv") &&
        take(handle, found.openblas_get_num_threads, "openblas_get_num_threads") &&
        take(handle, found.openblas_set_num_threads, "openblas_set_num_threads") &&
        take(handle, found.cblas_dgemm, "cblas_dgemm") &&
        take(handle, found.cblas_dsyrk, "cblas_dsyrk");
    if (!complete) {
        const char* error = dlerror();
        dlclose(handle);
        return internal_fault(error != nullptr ? error : library);
    }
    // The library stays open for the life of the process, like one the linker loads.
    routines = found;
    return {};
}

}  // namespace velmora::engine::cblas
