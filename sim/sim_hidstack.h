// The HID-stack entry points of the simulator (hid_entry_points.h) as
// pdxsim_stack_<name>, with the platform's signatures. Linux: registered as
// the exports of the three modules. Windows: exported by pdxsim.dll and
// forwarded to by the fake hid.dll, cfgmgr32.dll and setupapi.dll (which
// declare them in plain types, see sim/win32/).
#ifndef PDXSIM_HIDSTACK_H
#define PDXSIM_HIDSTACK_H

#include "hid_entry_points.h"
#include "pdx_win32.h"
#include "pdxsim.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PDXSIM_STACK_DECLARE(library, result, name, parameters, arguments) \
    PDXSIM_API result WINAPI pdxsim_stack_##name parameters;
PDX_HID_ENTRY_POINTS(PDXSIM_STACK_DECLARE)
#undef PDXSIM_STACK_DECLARE

#ifdef __cplusplus
}
#endif

#endif
