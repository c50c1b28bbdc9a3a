// Applications on Linux have no GetLastError of their own: these two exports
// give them the calling thread's last-error value, where the library reports
// every failure.
#include "pdx_win32.h"
#include "pdxkit.h"

extern "C" PDXKIT_API uint32_t PdxKitGetLastError(void) { return GetLastError(); }

extern "C" PDXKIT_API void PdxKitSetLastError(uint32_t error) { SetLastError(error); }
