// The fourteen HID-stack entry points of the simulator, with the platform's
// signatures. Linux: registered as the exports of the three modules. Windows:
// exported by pdxsim.dll and forwarded to by the fake hid.dll, cfgmgr32.dll
// and setupapi.dll (which declare them on their own, see sim/win32/).
#ifndef PDXSIM_HIDSTACK_H
#define PDXSIM_HIDSTACK_H

#include "pdx_win32.h"
#include "pdxsim.h"

#ifdef __cplusplus
extern "C" {
#endif

PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes);
PDXSIM_API VOID WINAPI pdxsim_stack_HidD_GetHidGuid(LPGUID guid);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data);
PDXSIM_API NTSTATUS WINAPI pdxsim_stack_HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_GetNumInputBuffers(HANDLE h, PULONG count);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_SetNumInputBuffers(HANDLE h, ULONG count);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_GetSerialNumberString(HANDLE h, PVOID buffer, ULONG length);
PDXSIM_API BOOLEAN WINAPI pdxsim_stack_HidD_GetIndexedString(HANDLE h, ULONG index, PVOID buffer, ULONG length);
PDXSIM_API CONFIGRET WINAPI pdxsim_stack_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags);
PDXSIM_API BOOL WINAPI pdxsim_stack_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                                     DWORD size, PDWORD required,
                                                                     PSP_DEVINFO_DATA info);
PDXSIM_API HDEVINFO WINAPI pdxsim_stack_SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent,
                                                             DWORD flags);
PDXSIM_API BOOL WINAPI pdxsim_stack_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid,
                                                                DWORD index, PSP_DEVICE_INTERFACE_DATA data);
PDXSIM_API BOOL WINAPI pdxsim_stack_SetupDiDestroyDeviceInfoList(HDEVINFO set);

#ifdef __cplusplus
}
#endif

#endif
