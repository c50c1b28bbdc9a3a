// Run-time binding of the system's HID class library, configuration manager
// and setup API. Bound only for the duration of one PdxKitOpenDevice call.
#ifndef PDXKIT_CORE_HID_BINDING_H
#define PDXKIT_CORE_HID_BINDING_H

#include "hid_entry_points.h"
#include "pdx_win32.h"

#define PDX_HID_BINDING_MODULE(library, entry_points) HMODULE library##_module;
#define PDX_HID_BINDING_SLOT(library, result, name, parameters, arguments) result(WINAPI* name) parameters;

// One module handle per library, then one slot per entry point, named as
// the entry point is.
struct HidBinding {
    PDX_HID_LIBRARIES(PDX_HID_BINDING_MODULE)
    PDX_HID_ENTRY_POINTS(PDX_HID_BINDING_SLOT)
};

#undef PDX_HID_BINDING_SLOT
#undef PDX_HID_BINDING_MODULE

// All values set (bound) or all none (unbound).
extern HidBinding g_hid;

// Loads the three libraries and binds all their entry points; on failure
// unbinds everything again and returns false.
BOOLEAN BindHidLibraries(void);
// Frees whatever is loaded, in load order; harmless when nothing is.
void UnbindHidLibraries(void);

#endif
