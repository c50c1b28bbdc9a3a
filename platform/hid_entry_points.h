/* The entry points of the system's HID class library, configuration manager
 * and setup API that pdxkit binds at run time, each listed once. Everything
 * that has to agree on them expands these lists: the library's binding, the
 * Linux stand-ins' export tables, the simulator's entry-point numbers, names
 * and export tables, and the simulator's fake libraries for Windows.
 *
 * Every row is X(library, return type, name, (parameters), (arguments)):
 *   library     the module's file name without ".dll" (hid, cfgmgr32,
 *               setupapi), as a token: #library ".dll" is its file name
 *   parameters  the platform's parameter list, with names
 *   arguments   the same names, for forwarding a call
 * Types are the platform's (pdx_win32.h); a list only names them, so an
 * includer provides them before expanding. The rows are in pdxkit's binding
 * order, one library's together, the libraries in PDX_HID_LIBRARIES order.
 * Plain macros, so that C includers (pdxsim.h) can use them too.
 */
#ifndef PDX_HID_ENTRY_POINTS_H
#define PDX_HID_ENTRY_POINTS_H

#define PDX_HID_DLL_ENTRY_POINTS(X)                                                                                    \
    X(hid, BOOLEAN, HidD_GetAttributes, (HANDLE device, PHIDD_ATTRIBUTES attributes), (device, attributes))            \
    X(hid, void, HidD_GetHidGuid, (LPGUID guid), (guid))                                                               \
    X(hid, BOOLEAN, HidD_GetPreparsedData, (HANDLE device, PHIDP_PREPARSED_DATA * preparsed), (device, preparsed))     \
    X(hid, NTSTATUS, HidP_GetCaps, (PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps), (preparsed, caps))               \
    X(hid, BOOLEAN, HidD_FreePreparsedData, (PHIDP_PREPARSED_DATA preparsed), (preparsed))                             \
    X(hid, BOOLEAN, HidD_GetNumInputBuffers, (HANDLE device, PULONG count), (device, count))                           \
    X(hid, BOOLEAN, HidD_SetNumInputBuffers, (HANDLE device, ULONG count), (device, count))                            \
    X(hid, BOOLEAN, HidD_GetSerialNumberString, (HANDLE device, PVOID buffer, ULONG length), (device, buffer, length)) \
    X(hid, BOOLEAN, HidD_GetIndexedString, (HANDLE device, ULONG index, PVOID buffer, ULONG length),                   \
      (device, index, buffer, length))

#define PDX_CFGMGR32_ENTRY_POINTS(X) \
    X(cfgmgr32, CONFIGRET, CM_Get_Parent, (PDEVINST parent, DEVINST devinst, ULONG flags), (parent, devinst, flags))

#define PDX_SETUPAPI_ENTRY_POINTS(X)                                                                                  \
    X(setupapi, BOOL, SetupDiGetDeviceInterfaceDetailA,                                                               \
      (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interface_data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,             \
       DWORD detail_size, PDWORD required_size, PSP_DEVINFO_DATA devinfo),                                            \
      (set, interface_data, detail, detail_size, required_size, devinfo))                                             \
    X(setupapi, HDEVINFO, SetupDiGetClassDevsA, (const GUID* class_guid, PCSTR enumerator, HWND parent, DWORD flags), \
      (class_guid, enumerator, parent, flags))                                                                        \
    X(setupapi, BOOL, SetupDiEnumDeviceInterfaces,                                                                    \
      (HDEVINFO set, PSP_DEVINFO_DATA devinfo, const GUID* interface_guid, DWORD index,                               \
       PSP_DEVICE_INTERFACE_DATA interface_data),                                                                     \
      (set, devinfo, interface_guid, index, interface_data))                                                          \
    X(setupapi, BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO set), (set))

/* The three libraries in load order, each with the list of its entry points:
 * X(library, entry-point list). */
#define PDX_HID_LIBRARIES(X)               \
    X(hid, PDX_HID_DLL_ENTRY_POINTS)       \
    X(cfgmgr32, PDX_CFGMGR32_ENTRY_POINTS) \
    X(setupapi, PDX_SETUPAPI_ENTRY_POINTS)

/* All of them, in binding order. */
#define PDX_HID_ENTRY_POINTS(X) PDX_HID_DLL_ENTRY_POINTS(X) PDX_CFGMGR32_ENTRY_POINTS(X) PDX_SETUPAPI_ENTRY_POINTS(X)

#endif
