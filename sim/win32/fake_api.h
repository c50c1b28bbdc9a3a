// What pdxsim.dll offers the fake hid.dll, cfgmgr32.dll and setupapi.dll
// beside it: load accounting and the world's library faults. The fakes do
// not include the platform's HID headers (they define the same names), so
// everything here is in plain types.
#ifndef PDXSIM_FAKE_API_H
#define PDXSIM_FAKE_API_H

#include "pdxsim.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called from the fake's DllMain at process attach: 0 refuses the load (the
   world wants the library missing), else the load is counted. */
PDXSIM_API int pdxsim_fake_attach(int lib);
/* At process detach of a load that attach accepted. */
PDXSIM_API void pdxsim_fake_detach(int lib);
/* Non-zero when the world wants the entry point missing from its library. */
PDXSIM_API int pdxsim_fake_entry_missing(int entry);

#ifdef __cplusplus
}
#endif

#endif
