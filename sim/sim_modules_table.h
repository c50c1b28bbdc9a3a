// Module definitions of the three simulated libraries for the POSIX runtime,
// built from the entry points minus those the world wants missing. Shared by
// the in-process registration (pdxsim) and the rendezvous provider.
#ifndef PDXSIM_MODULES_TABLE_H
#define PDXSIM_MODULES_TABLE_H

#include "pdx_runtime.h"
#include "pdxsim.h"

struct SimModuleTable {
    // Two export tables per library, used alternately: the runtime may still
    // read the previous one while a new world registers its definitions.
    PdxRtExport exports[2][PDXSIM_LIB_COUNT][PDXSIM_ENTRY_COUNT];
    PdxRtModuleDef def_sets[2][PDXSIM_LIB_COUNT];
    int which;
    PdxRtModuleDef* defs;  // the current set
};

// The faults of the installed world (none when no world is installed).
PdxSimWorldFaults sim_installed_faults();

void sim_modules_table_build(SimModuleTable* t, const PdxSimWorldFaults& faults, void (*on_load)(void*),
                             void (*on_unload)(void*));

#endif
