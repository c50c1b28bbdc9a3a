// The simulator as a shared object of its own (libpdxsim_provider.so), for
// programs whose runtime lives hidden inside libpdxkit.so (a JVM running the
// Java tests): such a program names this object in PDXKIT_HID_STACK, and
// the runtime loads it and takes the simulated libraries and device paths
// from its pdxkit_hid_stack_* entry points (pdx_runtime.h). Worlds are
// built with the pdxsim.h API, which this object exports as well.
#include <dlfcn.h>

#include "sim_channel_posix.h"
#include "sim_modules_table.h"
#include "sim_state.h"

namespace {

SimModuleTable g_table;
const PdxRtModuleDef* g_list[2][PDXSIM_LIB_COUNT + 1];
int g_list_which = 0;
const PdxRtServices* g_services = nullptr;
typedef void (*SetLastErrorFn)(DWORD);
SetLastErrorFn g_set_last_error = nullptr;

const PdxRtPathDef kPaths[] = {
    {SIM_POSIX_PATH_PREFIX, sim_posix_open, nullptr},
    {nullptr, nullptr, nullptr},
};

void on_load(void* ctx) { sim_library_loaded((int)(intptr_t)ctx); }
void on_unload(void* ctx) { sim_library_unloaded((int)(intptr_t)ctx); }

// The last-error value belongs to the runtime that called us: find the
// shared object behind its services and its exported setter.
void bind_last_error(const PdxRtServices* services) {
    Dl_info info;
    if (!services || !dladdr((void*)services->handle_fd, &info) || !info.dli_fname) return;
    void* self = dlopen(info.dli_fname, RTLD_NOLOAD | RTLD_LAZY);
    if (!self) return;
    g_set_last_error = (SetLastErrorFn)dlsym(self, "PdxKitSetLastError");
    if (!g_set_last_error) g_set_last_error = (SetLastErrorFn)dlsym(self, "SetLastError");
}

}  // namespace

void sim_modules_install() {
    const PdxSimWorldFaults faults = sim_installed_faults();
    sim_modules_table_build(&g_table, faults, on_load, on_unload);
    int w = g_list_which ^ 1;
    int n = 0;
    // A missing library is left out of the list (the runtime then looks
    // further, e.g. to its default provider).
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++)
        if (!faults.missing_library[lib]) g_list[w][n++] = &g_table.defs[lib];
    g_list[w][n] = nullptr;
    g_list_which = w;
}

int sim_handle_fd(HANDLE h) { return g_services ? g_services->handle_fd(h) : -1; }

void sim_set_last_error(DWORD error) {
    if (g_set_last_error) g_set_last_error(error);
}

extern "C" {

PDXSIM_API const PdxRtModuleDef* const* pdxkit_hid_stack_modules(void) {
    if (!g_list[g_list_which][0] && !g_table.defs) sim_modules_install();
    return g_list[g_list_which];
}

PDXSIM_API const PdxRtPathDef* pdxkit_hid_stack_paths(void) { return kPaths; }

PDXSIM_API void pdxkit_hid_stack_attach(const PdxRtServices* services) {
    g_services = services;
    bind_last_error(services);
}

}  // extern "C"
