#include "hid_stack_fixture.h"

#include <stdlib.h>

void HidStackTest::SetUp() {
    ASSERT_EQ("", sysfs.error());
    pdx_linux_hid_install();
}

std::vector<EnumeratedInterface> HidStackTest::Enumerate() {
    std::vector<EnumeratedInterface> found;
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    HDEVINFO set = PdxLinux_SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(INVALID_HANDLE_VALUE, set);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); i++) {
        SP_DEVINFO_DATA devinfo = {};
        devinfo.cbSize = sizeof(devinfo);
        DWORD size = 0;
        PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, &devinfo);
        auto* detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)calloc(1, size);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &devinfo));
        found.push_back({detail->DevicePath, devinfo.DevInst});
        free(detail);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
    return found;
}

HANDLE HidStackTest::OpenForQueries(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}
