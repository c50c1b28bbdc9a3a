// The Windows build compiles the library against the system's own headers.
#ifndef PDX_WIN32_WIN32_H
#define PDX_WIN32_WIN32_H

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <hidsdi.h>
#include <hidpi.h>

// The setup API accepts a record only when its cbSize is exactly the size
// Windows itself publishes for the process's platform; the library takes
// cbSize from sizeof, so the headers must agree with Windows: 28, 28 and 5
// for 32-bit processes, 32, 32 and 8 for x64 ones.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28), "SP_DEVICE_INTERFACE_DATA size");
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28), "SP_DEVINFO_DATA size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A fixed part");

#endif
