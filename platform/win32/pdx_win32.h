// The Windows build compiles the library against the system's own headers.
#ifndef PDX_WIN32_WIN32_H
#define PDX_WIN32_WIN32_H

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <hidsdi.h>
#include <hidpi.h>

#endif
