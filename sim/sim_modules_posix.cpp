// The simulator inside a program linked with the runtime (pdxsim): the three
// HID-stack modules and the device-path handler are registered with the
// runtime directly.
#include "sim_channel_posix.h"
#include "sim_hidstack.h"
#include "sim_modules_table.h"
#include "sim_state.h"

namespace {

SimModuleTable g_table;
bool g_path_registered = false;
bool g_named_faults_set = false;

void on_load(void* ctx) { sim_library_loaded((int)(intptr_t)ctx); }
void on_unload(void* ctx) { sim_library_unloaded((int)(intptr_t)ctx); }

}  // namespace

void sim_modules_install() {
    const PdxSimWorldFaults faults = sim_installed_faults();
    if (!g_path_registered)
        g_path_registered = pdxrt_register_path_handler(SIM_POSIX_PATH_PREFIX, sim_posix_open, nullptr);
    sim_modules_table_build(&g_table, faults, on_load, on_unload);
    // A missing library must fail LoadLibraryA as the platform's loader does,
    // not fall back to another provider, so it is a named fault of the
    // runtime (the only faults the simulator itself ever sets there).
    if (g_named_faults_set) pdxrt_clear_faults();
    g_named_faults_set = false;
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++) {
        pdxrt_register_module(&g_table.defs[lib]);
        if (faults.missing_library[lib]) {
            pdxrt_fail_named_call(PDXRT_LoadLibraryA, pdxsim_library_name((PdxSimLibrary)lib), ERROR_MOD_NOT_FOUND);
            g_named_faults_set = true;
        }
    }
}

int sim_handle_fd(HANDLE h) { return pdxrt_handle_fd(h); }

void sim_set_last_error(DWORD error) { SetLastError(error); }
