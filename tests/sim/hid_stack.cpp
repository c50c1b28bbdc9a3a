#include "hid_stack.h"

#include <vector>

template <class Fn>
static bool bind(HMODULE m, const char* name, Fn& out) {
    out = m ? (Fn)(void*)GetProcAddress(m, name) : nullptr;
    return out != nullptr;
}

bool HidStack::load() {
    hid = LoadLibraryA("hid.dll");
    cfgmgr32 = LoadLibraryA("cfgmgr32.dll");
    setupapi = LoadLibraryA("setupapi.dll");
    bool ok = hid && cfgmgr32 && setupapi;
    ok &= bind(hid, "HidD_GetAttributes", GetAttributes);
    ok &= bind(hid, "HidD_GetHidGuid", GetHidGuid);
    ok &= bind(hid, "HidD_GetPreparsedData", GetPreparsedData);
    ok &= bind(hid, "HidP_GetCaps", GetCaps);
    ok &= bind(hid, "HidD_FreePreparsedData", FreePreparsedData);
    ok &= bind(hid, "HidD_GetNumInputBuffers", GetNumInputBuffers);
    ok &= bind(hid, "HidD_SetNumInputBuffers", SetNumInputBuffers);
    ok &= bind(hid, "HidD_GetSerialNumberString", GetSerialNumberString);
    ok &= bind(hid, "HidD_GetIndexedString", GetIndexedString);
    ok &= bind(cfgmgr32, "CM_Get_Parent", GetParent);
    ok &= bind(setupapi, "SetupDiGetDeviceInterfaceDetailA", GetDetail);
    ok &= bind(setupapi, "SetupDiGetClassDevsA", GetClassDevs);
    ok &= bind(setupapi, "SetupDiEnumDeviceInterfaces", EnumInterfaces);
    ok &= bind(setupapi, "SetupDiDestroyDeviceInfoList", DestroyList);
    return ok;
}

void HidStack::unload() {
    if (hid) FreeLibrary(hid);
    if (cfgmgr32) FreeLibrary(cfgmgr32);
    if (setupapi) FreeLibrary(setupapi);
    hid = cfgmgr32 = setupapi = nullptr;
}

std::vector<FoundInterface> enumerate_all(HidStack& hs) {
    std::vector<FoundInterface> out;
    GUID guid;
    hs.GetHidGuid(&guid);
    HDEVINFO set = hs.GetClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; hs.EnumInterfaces(set, nullptr, &guid, i, &data); i++) {
        SP_DEVINFO_DATA info;
        info.cbSize = sizeof info;
        DWORD size = 0;
        hs.GetDetail(set, &data, nullptr, 0, &size, &info);
        std::vector<char> buf(size ? size : 1);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buf.data();
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        FoundInterface f;
        if (size && hs.GetDetail(set, &data, detail, size, nullptr, &info)) f.path = detail->DevicePath;
        f.devinst = info.DevInst;
        out.push_back(f);
    }
    hs.DestroyList(set);
    return out;
}

void install_default_world(int devices) {
    static PdxSimWorld world;
    pdxsim_world_default(&world, devices);
    pdxsim_install(&world);
}

HANDLE open_path(const std::string& path, DWORD access, DWORD flags) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}
