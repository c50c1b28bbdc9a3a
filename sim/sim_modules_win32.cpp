// The simulator as pdxsim.dll: the fake system libraries beside it ask here
// at load time whether they may load and which exports to hide.
#include "sim_state.h"
#include "win32/fake_api.h"

void sim_modules_install() {
    // Nothing to register: the fakes read the world's faults when they load.
}

extern "C" {

int pdxsim_fake_attach(int lib) {
    if (lib < 0 || lib >= PDXSIM_LIB_COUNT) return 0;
    if (sim_library_refused(lib)) return 0;
    sim_library_loaded(lib);
    return 1;
}

void pdxsim_fake_detach(int lib) {
    if (lib >= 0 && lib < PDXSIM_LIB_COUNT) sim_library_unloaded(lib);
}

int pdxsim_fake_entry_missing(int entry) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    return s.installed && entry >= 0 && entry < PDXSIM_ENTRY_COUNT && s.world->faults.missing_entry[entry];
}

}  // extern "C"
