// Run-time binding of the system's HID class library, configuration manager
// and setup API. Bound only for the duration of one PdxKitOpenDevice call.
#ifndef PDXKIT_CORE_HID_BINDING_H
#define PDXKIT_CORE_HID_BINDING_H

#include "pdx_win32.h"

typedef BOOLEAN(WINAPI* HidD_GetAttributes_Fn)(HANDLE, PHIDD_ATTRIBUTES);
typedef void(WINAPI* HidD_GetHidGuid_Fn)(LPGUID);
typedef BOOLEAN(WINAPI* HidD_GetPreparsedData_Fn)(HANDLE, PHIDP_PREPARSED_DATA*);
typedef NTSTATUS(WINAPI* HidP_GetCaps_Fn)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
typedef BOOLEAN(WINAPI* HidD_FreePreparsedData_Fn)(PHIDP_PREPARSED_DATA);
typedef BOOLEAN(WINAPI* HidD_GetNumInputBuffers_Fn)(HANDLE, PULONG);
typedef BOOLEAN(WINAPI* HidD_SetNumInputBuffers_Fn)(HANDLE, ULONG);
typedef BOOLEAN(WINAPI* HidD_GetSerialNumberString_Fn)(HANDLE, PVOID, ULONG);
typedef BOOLEAN(WINAPI* HidD_GetIndexedString_Fn)(HANDLE, ULONG, PVOID, ULONG);
typedef CONFIGRET(WINAPI* CM_Get_Parent_Fn)(PDEVINST, DEVINST, ULONG);
typedef BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA_Fn)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                          PSP_DEVINFO_DATA);
typedef HDEVINFO(WINAPI* SetupDiGetClassDevsA_Fn)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* SetupDiEnumDeviceInterfaces_Fn)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                     PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoList_Fn)(HDEVINFO);

struct HidBinding {
    HMODULE hid_module;
    HMODULE cfgmgr_module;
    HMODULE setupapi_module;
    HidD_GetAttributes_Fn HidD_GetAttributes;
    HidD_GetHidGuid_Fn HidD_GetHidGuid;
    HidD_GetPreparsedData_Fn HidD_GetPreparsedData;
    HidP_GetCaps_Fn HidP_GetCaps;
    HidD_FreePreparsedData_Fn HidD_FreePreparsedData;
    HidD_GetNumInputBuffers_Fn HidD_GetNumInputBuffers;
    HidD_SetNumInputBuffers_Fn HidD_SetNumInputBuffers;
    HidD_GetSerialNumberString_Fn HidD_GetSerialNumberString;
    HidD_GetIndexedString_Fn HidD_GetIndexedString;
    CM_Get_Parent_Fn CM_Get_Parent;
    SetupDiGetDeviceInterfaceDetailA_Fn SetupDiGetDeviceInterfaceDetailA;
    SetupDiGetClassDevsA_Fn SetupDiGetClassDevsA;
    SetupDiEnumDeviceInterfaces_Fn SetupDiEnumDeviceInterfaces;
    SetupDiDestroyDeviceInfoList_Fn SetupDiDestroyDeviceInfoList;
};

// All seventeen values set (bound) or all none (unbound).
extern HidBinding g_hid;

// Loads the three libraries and binds all fourteen entry points; on failure
// unbinds everything again and returns false.
BOOLEAN BindHidLibraries(void);
// Frees whatever is loaded, in load order; harmless when nothing is.
void UnbindHidLibraries(void);

#endif
