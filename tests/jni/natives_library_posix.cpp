#include <dlfcn.h>

#include "natives_library_platform.h"

void* OpenPdxKitLibrary(std::string* error) {
    void* library = dlopen(PDX_TEST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) *error = std::string("dlopen failed: ") + dlerror();
    return library;
}

void* PdxKitLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

bool ResolveLastError(void* library, uint32_t (**get)(void), void (**set)(uint32_t), std::string* error) {
    *get = reinterpret_cast<uint32_t (*)(void)>(dlsym(library, "PdxKitGetLastError"));
    *set = reinterpret_cast<void (*)(uint32_t)>(dlsym(library, "PdxKitSetLastError"));
    if (*get == nullptr || *set == nullptr) {
        *error = "no export named PdxKitGetLastError or PdxKitSetLastError";
        return false;
    }
    return true;
}
