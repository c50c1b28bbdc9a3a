// Export tables of the simulated libraries, and the load counting shared by
// every platform.
#include "sim_modules_table.h"
#include "sim_hidstack.h"
#include "sim_state.h"

namespace {

void* const kAddresses[PDXSIM_ENTRY_COUNT] = {
    (void*)pdxsim_stack_HidD_GetAttributes,
    (void*)pdxsim_stack_HidD_GetHidGuid,
    (void*)pdxsim_stack_HidD_GetPreparsedData,
    (void*)pdxsim_stack_HidP_GetCaps,
    (void*)pdxsim_stack_HidD_FreePreparsedData,
    (void*)pdxsim_stack_HidD_GetNumInputBuffers,
    (void*)pdxsim_stack_HidD_SetNumInputBuffers,
    (void*)pdxsim_stack_HidD_GetSerialNumberString,
    (void*)pdxsim_stack_HidD_GetIndexedString,
    (void*)pdxsim_stack_CM_Get_Parent,
    (void*)pdxsim_stack_SetupDiGetDeviceInterfaceDetailA,
    (void*)pdxsim_stack_SetupDiGetClassDevsA,
    (void*)pdxsim_stack_SetupDiEnumDeviceInterfaces,
    (void*)pdxsim_stack_SetupDiDestroyDeviceInfoList,
};

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
