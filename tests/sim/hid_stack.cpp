#include "hid_stack.h"

#include <vector>

template <class Fn>
static bool bind(HMODULE m, const char* name, Fn& out) {
    out = m ? (Fn)(void*)GetProcAddress(m, name) : nullptr;
    return out != nullptr;
}

bool HidStack::load() {
#define PDXSIM_TEST_LOAD(library, entry_points) library = LoadLibraryA(#library ".dll");
#define PDXSIM_TEST_PRESENT(library, entry_points) ok = ok && library != nullptr;
#define PDXSIM_TEST_BIND(library, result, name, parameters, arguments) ok &= bind(library, #name, name);
    PDX_HID_LIBRARIES(PDXSIM_TEST_LOAD)
    bool ok = true;
    PDX_HID_LIBRARIES(PDXSIM_TEST_PRESENT)
    PDX_HID_ENTRY_POINTS(PDXSIM_TEST_BIND)
#undef PDXSIM_TEST_BIND
#undef PDXSIM_TEST_PRESENT
#undef PDXSIM_TEST_LOAD
    return ok;
}

void HidStack::unload() {
#define PDXSIM_TEST_UNLOAD(library, entry_points) \
    if (library) FreeLibrary(library);            \
    library = nullptr;
    PDX_HID_LIBRARIES(PDXSIM_TEST_UNLOAD)
#undef PDXSIM_TEST_UNLOAD
}

std::vector<FoundInterface> enumerate_all(HidStack& hs) {
    std::vector<FoundInterface> out;
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    HDEVINFO set = hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); i++) {
        SP_DEVINFO_DATA info;
        info.cbSize = sizeof info;
        DWORD size = 0;
        hs.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, &info);
        std::vector<char> buf(size ? size : 1);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buf.data();
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        FoundInterface f;
        if (size && hs.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &info))
            f.path = detail->DevicePath;
        f.devinst = info.DevInst;
        out.push_back(f);
    }
    hs.SetupDiDestroyDeviceInfoList(set);
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
