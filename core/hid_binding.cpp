#include "hid_binding.h"

HidBinding g_hid;

// Every entry point is resolved by name so the same binary runs wherever the
// libraries differ; a missing one fails the bind even if nothing calls it.
template <typename Fn>
static void Bind(Fn* slot, HMODULE module, const char* name) {
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

BOOLEAN BindHidLibraries(void) {
    g_hid.hid_module = LoadLibraryA("hid.dll");
    g_hid.cfgmgr_module = LoadLibraryA("cfgmgr32.dll");
    g_hid.setupapi_module = LoadLibraryA("setupapi.dll");
    if (!g_hid.hid_module || !g_hid.cfgmgr_module || !g_hid.setupapi_module) {
        UnbindHidLibraries();
        return FALSE;
    }

    Bind(&g_hid.HidD_GetAttributes, g_hid.hid_module, "HidD_GetAttributes");
    Bind(&g_hid.HidD_GetHidGuid, g_hid.hid_module, "HidD_GetHidGuid");
    Bind(&g_hid.HidD_GetPreparsedData, g_hid.hid_module, "HidD_GetPreparsedData");
    Bind(&g_hid.HidP_GetCaps, g_hid.hid_module, "HidP_GetCaps");
    Bind(&g_hid.HidD_FreePreparsedData, g_hid.hid_module, "HidD_FreePreparsedData");
    Bind(&g_hid.HidD_GetNumInputBuffers, g_hid.hid_module, "HidD_GetNumInputBuffers");
    Bind(&g_hid.HidD_SetNumInputBuffers, g_hid.hid_module, "HidD_SetNumInputBuffers");
    Bind(&g_hid.HidD_GetSerialNumberString, g_hid.hid_module, "HidD_GetSerialNumberString");
    Bind(&g_hid.HidD_GetIndexedString, g_hid.hid_module, "HidD_GetIndexedString");
    Bind(&g_hid.CM_Get_Parent, g_hid.cfgmgr_module, "CM_Get_Parent");
    Bind(&g_hid.SetupDiGetDeviceInterfaceDetailA, g_hid.setupapi_module, "SetupDiGetDeviceInterfaceDetailA");
    Bind(&g_hid.SetupDiGetClassDevsA, g_hid.setupapi_module, "SetupDiGetClassDevsA");
    Bind(&g_hid.SetupDiEnumDeviceInterfaces, g_hid.setupapi_module, "SetupDiEnumDeviceInterfaces");
    Bind(&g_hid.SetupDiDestroyDeviceInfoList, g_hid.setupapi_module, "SetupDiDestroyDeviceInfoList");

    if (!g_hid.HidD_GetAttributes || !g_hid.HidD_GetHidGuid || !g_hid.HidD_GetPreparsedData || !g_hid.HidP_GetCaps ||
        !g_hid.HidD_FreePreparsedData || !g_hid.HidD_GetNumInputBuffers || !g_hid.HidD_SetNumInputBuffers ||
        !g_hid.HidD_GetSerialNumberString || !g_hid.HidD_GetIndexedString || !g_hid.CM_Get_Parent ||
        !g_hid.SetupDiGetDeviceInterfaceDetailA || !g_hid.SetupDiGetClassDevsA || !g_hid.SetupDiEnumDeviceInterfaces ||
        !g_hid.SetupDiDestroyDeviceInfoList) {
        UnbindHidLibraries();
        return FALSE;
    }
    return TRUE;
}

void UnbindHidLibraries(void) {
    if (g_hid.hid_module) FreeLibrary(g_hid.hid_module);
    g_hid.hid_module = nullptr;
    g_hid.HidD_GetAttributes = nullptr;
    g_hid.HidD_GetHidGuid = nullptr;
    g_hid.HidD_GetPreparsedData = nullptr;
    g_hid.HidP_GetCaps = nullptr;
    g_hid.HidD_FreePreparsedData = nullptr;
    g_hid.HidD_GetNumInputBuffers = nullptr;
    g_hid.HidD_SetNumInputBuffers = nullptr;
    g_hid.HidD_GetSerialNumberString = nullptr;
    g_hid.HidD_GetIndexedString = nullptr;

    if (g_hid.cfgmgr_module) FreeLibrary(g_hid.cfgmgr_module);
    g_hid.cfgmgr_module = nullptr;
    g_hid.CM_Get_Parent = nullptr;

    if (g_hid.setupapi_module) FreeLibrary(g_hid.setupapi_module);
    g_hid.setupapi_module = nullptr;
    g_hid.SetupDiGetDeviceInterfaceDetailA = nullptr;
    g_hid.SetupDiGetClassDevsA = nullptr;
    g_hid.SetupDiEnumDeviceInterfaces = nullptr;
    g_hid.SetupDiDestroyDeviceInfoList = nullptr;
}
