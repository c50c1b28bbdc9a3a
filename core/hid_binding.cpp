#include "hid_binding.h"

HidBinding g_hid;

// Every entry point is resolved by name so the same binary runs wherever the
// libraries differ; a missing one fails the bind even if nothing calls it.
template <typename Fn>
static void Bind(Fn* slot, HMODULE module, const char* name) {
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

#define PDX_LOAD_MODULE(library, entry_points) g_hid.library##_module = LoadLibraryA(#library ".dll");
#define PDX_MODULE_MISSING(library, entry_points) || !g_hid.library##_module
#define PDX_BIND_SLOT(library, result, name, parameters, arguments) Bind(&g_hid.name, g_hid.library##_module, #name);
#define PDX_SLOT_MISSING(library, result, name, parameters, arguments) || !g_hid.name
#define PDX_CLEAR_SLOT(library, result, name, parameters, arguments) g_hid.name = nullptr;
#define PDX_UNLOAD_MODULE(library, entry_points)                     \
    if (g_hid.library##_module) FreeLibrary(g_hid.library##_module); \
    g_hid.library##_module = nullptr;                                \
    entry_points(PDX_CLEAR_SLOT)

BOOLEAN BindHidLibraries(void) {
    PDX_HID_LIBRARIES(PDX_LOAD_MODULE)
    if (false PDX_HID_LIBRARIES(PDX_MODULE_MISSING)) {
        UnbindHidLibraries();
        return FALSE;
    }

    PDX_HID_ENTRY_POINTS(PDX_BIND_SLOT)
    if (false PDX_HID_ENTRY_POINTS(PDX_SLOT_MISSING)) {
        UnbindHidLibraries();
        return FALSE;
    }
    return TRUE;
}

void UnbindHidLibraries(void) { PDX_HID_LIBRARIES(PDX_UNLOAD_MODULE) }
