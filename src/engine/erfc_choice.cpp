// The choice of erfc for the links, made when a module is imported: glibc's vector
// erfc (libmvec, x86-64), looked up at run time because libmvec is outside what a
// portable build may link, or the C library's scalar erfc.
#include <cstdlib>
#include <cstring>

#include "engine/link.hpp"

#if VELMORA_VECTOR_ERFC
#include <cpuid.h>
#include <dlfcn.h>
#endif

namespace velmora::engine {

#if VELMORA_VECTOR_ERFC
__m128d (*vector_erfc)(__m128d) = nullptr;

namespace {

// Returns whether the processor has SSE4.1, which libmvec's two-lane erfc is written for.
bool has_sse4_1() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & bit_SSE4_1) != 0;
}

// Returns libmvec's two-lane erfc, or null where the C library has none.
__m128d (*find_vector_erfc())(__m128d) {
    void* library = dlopen("libmvec.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    void* address = dlsym(library, "_ZGVbN2v_erfc");
    if (address == nullptr) {
        dlclose(library);
        return nullptr;
    }
    // The library stays open for the life of the process.
    return reinterpret_cast<__m128d (*)(__m128d)>(address);
}

}  // namespace

bool choose_erfc(bool scalar_only) {
    vector_erfc = scalar_only || !has_sse4_1() ? nullptr : find_vector_erfc();
    return vector_erfc != nullptr;
}
#else
bool choose_erfc(bool) { return false; }
#endif

bool scalar_erfc_requested() {
    const char* value = std::getenv("VELMORA_SCALAR_ERFC");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace velmora::engine
