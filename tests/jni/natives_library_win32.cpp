#include <windows.h>

#include "natives_library_platform.h"

namespace {
uint32_t SystemGetLastError(void) { return GetLastError(); }
void SystemSetLastError(uint32_t error) { SetLastError(error); }
}  // namespace

// The DLL sits beside the test program, where LoadLibraryA looks first.
void* OpenPdxKitLibrary(std::string* error) {
    HMODULE module = LoadLibraryA("pdxkit.dll");
    if (module == nullptr) *error = "LoadLibraryA(pdxkit.dll) failed with " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}

void* PdxKitLibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool ResolveLastError(void*, uint32_t (**get)(void), void (**set)(uint32_t), std::string*) {
    *get = &SystemGetLastError;
    *set = &SystemSetLastError;
    return true;
}
