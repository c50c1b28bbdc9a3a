// What the fake hid.dll, cfgmgr32.dll and setupapi.dll share: the
// simulator's entry points as they import them from pdxsim.dll, and the
// forwarder each exports under the platform's name. The fakes define the
// platform's names themselves, so they cannot include the platform's HID
// and setup headers (those declare the same functions, some as imports):
// the types of hid_entry_points.h are given here in plain form, records as
// untyped pointers that pass through untouched.
#ifndef PDXSIM_FAKE_STACK_H
#define PDXSIM_FAKE_STACK_H

#include <windows.h>

#include "hid_entry_points.h"

typedef LONG NTSTATUS;
typedef DWORD CONFIGRET;
typedef DWORD DEVINST;
typedef DWORD* PDEVINST;
typedef void* HDEVINFO;
typedef void* PHIDD_ATTRIBUTES;
typedef void* PHIDP_PREPARSED_DATA;
typedef void* PHIDP_CAPS;
typedef void* PSP_DEVICE_INTERFACE_DATA;
typedef void* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
typedef void* PSP_DEVINFO_DATA;

#define FAKE_IMPORT(library, result, name, parameters, arguments) \
    extern "C" __declspec(dllimport) result WINAPI pdxsim_stack_##name parameters;
PDX_HID_ENTRY_POINTS(FAKE_IMPORT)
#undef FAKE_IMPORT

// Exported undecorated (the build links with --kill-at), as the platform's
// libraries export them.
#define FAKE_FORWARD(library, result, name, parameters, arguments) \
    extern "C" __declspec(dllexport) result WINAPI name parameters { return pdxsim_stack_##name arguments; }

#endif
