// Export tables of the simulated libraries, and the load counting shared by
// every platform.
#include "sim_modules_table.h"
#include "sim_hidstack.h"
#include "sim_state.h"

namespace {

#define SIM_ENTRY_ADDRESS(library, result, name, parameters, arguments) (void*)pdxsim_stack_##name,
void* const kAddresses[PDXSIM_ENTRY_COUNT] = {PDX_HID_ENTRY_POINTS(SIM_ENTRY_ADDRESS)};
#undef SIM_ENTRY_ADDRESS

}  // namespace

void sim_modules_table_build(SimModuleTable* t, const PdxSimWorldFaults& faults, void (*on_load)(void*),
                             void (*on_unload)(void*)) {
    t->which ^= 1;
    size_t counts[PDXSIM_LIB_COUNT] = {};
    for (int e = 0; e < PDXSIM_ENTRY_COUNT; e++) {
        if (faults.missing_entry[e]) continue;
        int lib = pdxsim_entry_library((PdxSimEntry)e);
        t->exports[t->which][lib][counts[lib]++] = {pdxsim_entry_name((PdxSimEntry)e), kAddresses[e]};
    }
    t->defs = t->def_sets[t->which];
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++) {
        PdxRtModuleDef& d = t->defs[lib];
        d.name = pdxsim_library_name((PdxSimLibrary)lib);
        d.exports = t->exports[t->which][lib];
        d.export_count = counts[lib];
        d.on_load = on_load;
        d.on_unload = on_unload;
        d.ctx = (void*)(intptr_t)lib;
    }
}

PdxSimWorldFaults sim_installed_faults() {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    return s.installed ? s.world->faults : PdxSimWorldFaults{};
}
