#include "natives_library.h"

#include "natives_library_platform.h"

namespace {

template <typename Fn>
bool Resolve(void* library, const char* name, Fn* out, std::string* error) {
    void* address = PdxKitLibrarySymbol(library, name);
    if (address == nullptr) {
        *error = std::string("no export named ") + name;
        return false;
    }
    *out = reinterpret_cast<Fn>(address);
    return true;
}

bool Load(NativesLibrary* lib, std::string* error) {
    void* library = OpenPdxKitLibrary(error);
    if (library == nullptr) return false;
#define PDX_RESOLVE_NATIVE(method) Resolve(library, "Java_com_vantelo_pdx_PdxKit_" #method, &lib->method, error)
#define PDX_RESOLVE(function) Resolve(library, #function, &lib->function, error)
    bool ok = PDX_RESOLVE_NATIVE(openDevice) && PDX_RESOLVE_NATIVE(closeDevice) && PDX_RESOLVE_NATIVE(read) &&
              PDX_RESOLVE_NATIVE(write) && PDX_RESOLVE_NATIVE(readImmediate) && PDX_RESOLVE_NATIVE(getNumDevs) &&
              PDX_RESOLVE_NATIVE(getDeviceHandle) && PDX_RESOLVE_NATIVE(getProductId) &&
              PDX_RESOLVE_NATIVE(getSerialNumber) && PDX_RESOLVE_NATIVE(setTimeout) && PDX_RESOLVE_NATIVE(cancelIo) &&
              PDX_RESOLVE_NATIVE(setWriteTimeout) && PDX_RESOLVE_NATIVE(version) && PDX_RESOLVE_NATIVE(getRevision) &&
              PDX_RESOLVE_NATIVE(getThreadHandle) && PDX_RESOLVE(PdxKitOpenDevice) && PDX_RESOLVE(PdxKitCloseDevice) &&
              PDX_RESOLVE(PdxKitGetNumDevs) && PDX_RESOLVE(PdxKitGetDeviceHandle) &&
              PDX_RESOLVE(PdxKitGetThreadHandle) && PDX_RESOLVE(PdxKitSetTimeout) &&
              PDX_RESOLVE(PdxKitSetWriteTimeout) && PDX_RESOLVE(PdxKitRead) && PDX_RESOLVE(PdxKitWrite) &&
              PDX_RESOLVE(PdxKitReadImmediate);
#undef PDX_RESOLVE
#undef PDX_RESOLVE_NATIVE
    return ok && ResolveLastError(library, &lib->GetLastError, &lib->SetLastError, error);
}

}  // namespace

const NativesLibrary* LoadNativesLibrary(std::string* error) {
    static NativesLibrary library;
    static bool loaded = false;
    static std::string load_error;
    static bool tried = false;
    if (!tried) {
        tried = true;
        loaded = Load(&library, &load_error);
    }
    if (!loaded) {
        *error = load_error;
        return nullptr;
    }
    return &library;
}
