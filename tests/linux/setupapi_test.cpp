// SetupDi* over /sys/class/hidraw: which interfaces a set holds, in which
// order, and the platform's answers to size queries and bad arguments.
#include <stddef.h>
#include <stdlib.h>

#include "hid_stack_fixture.h"
#include "report_descriptors.h"

namespace {

class SetupApi : public HidStackTest {
protected:
    HDEVINFO OpenSet(DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
        GUID guid;
        PdxLinux_HidD_GetHidGuid(&guid);
        return PdxLinux_SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
    }

    SP_DEVICE_INTERFACE_DATA InterfaceAt(HDEVINFO set, DWORD index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        GUID guid;
        PdxLinux_HidD_GetHidGuid(&guid);
        EXPECT_TRUE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data));
        return data;
    }
};

TEST_F(SetupApi, HidGuidIsTheHidInterfaceClass) {
    GUID guid;
    memset(&guid, 0, sizeof(guid));
    PdxLinux_HidD_GetHidGuid(&guid);
    EXPECT_EQ(0x4D1E55B2u, guid.Data1);
    EXPECT_EQ(0xF16F, guid.Data2);
    EXPECT_EQ(0x11CF, guid.Data3);
    const uint8_t tail[8] = {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
    EXPECT_EQ(0, memcmp(tail, guid.Data4, 8));
}

TEST_F(SetupApi, NoHidrawNodesGiveAnEmptySet) {
    HDEVINFO set = OpenSet();
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApi, InterfacesComeInTheOrderOfTheirNodeNumbers) {
    sysfs.AddChip(2, 0x2A11, 0x0100, "B", 10, 2);
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 1, 0);
    std::vector<EnumeratedInterface> found = Enumerate();
    ASSERT_EQ(4u, found.size());
    EXPECT_EQ("/dev/hidraw0", found[0].path);
    EXPECT_EQ("/dev/hidraw1", found[1].path);
    EXPECT_EQ("/dev/hidraw2", found[2].path);
    EXPECT_EQ("/dev/hidraw10", found[3].path);
    for (const EnumeratedInterface& i : found) EXPECT_NE(0u, i.devinst) << i.path;
    EXPECT_NE(found[0].devinst, found[1].devinst);
}

TEST_F(SetupApi, DevInstIsTheSameNodeInEveryNewSet) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    std::vector<EnumeratedInterface> first = Enumerate();
    std::vector<EnumeratedInterface> second = Enumerate();
    ASSERT_EQ(2u, first.size());
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ(first[0].devinst, second[0].devinst);
    EXPECT_EQ(first[1].devinst, second[1].devinst);
}

TEST_F(SetupApi, DetailSizeQueryFailsWithTheSizeAndTheDevice) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 7, 8);
    HDEVINFO set = OpenSet();
    SP_DEVICE_INTERFACE_DATA data = InterfaceAt(set, 0);
    SP_DEVINFO_DATA devinfo = {};
    devinfo.cbSize = sizeof(devinfo);
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, &devinfo));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof("/dev/hidraw7"), size);
    EXPECT_NE(0u, devinfo.DevInst);

    // One byte short is still too small, and leaves the path alone.
    std::vector<char> buffer(size + 8, 'x');
    auto* detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size - 1, nullptr, nullptr));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ('x', detail->DevicePath[0]);
    EXPECT_TRUE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
    EXPECT_STREQ("/dev/hidraw7", detail->DevicePath);
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApi, RecordSizesMustBeThoseOfThisBuild) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    HDEVINFO set = OpenSet();
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = 28;  // the 32-bit platform's size, not this build's
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());

    data = InterfaceAt(set, 0);
    char buffer[64];
    auto* detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer;
    detail->cbSize = 5;
    EXPECT_FALSE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA devinfo = {};
    devinfo.cbSize = 28;
    EXPECT_FALSE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, &devinfo));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
    EXPECT_EQ(0u, devinfo.DevInst);

    // No buffer but a size is a bad buffer too.
    EXPECT_FALSE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 10, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApi, ASetIsASnapshot) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    HDEVINFO set = OpenSet();
    sysfs.AddChip(2, 0x2A10, 0x0100, "B", 2, 3);
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    EXPECT_TRUE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 2, &data));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(4u, Enumerate().size());
}

TEST_F(SetupApi, OtherClassesAndDeviceSetsAreEmpty) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    GUID hid;
    PdxLinux_HidD_GetHidGuid(&hid);
    GUID other = hid;
    other.Data1 ^= 1;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);

    HDEVINFO set = PdxLinux_SetupDiGetClassDevsA(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));

    set = PdxLinux_SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT);  // devices, not interfaces
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 0, &data));
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));

    // The HID class asked for by interface GUID in a set of all classes.
    set = PdxLinux_SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    EXPECT_TRUE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &hid, 1, &data));
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, nullptr, &other, 0, &data));
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, PdxLinux_SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(SetupApi, InterfacesOfOneDeviceOnly) {
    sysfs.AddChip(1, 0x2A10, 0x0100, "A", 0, 1);
    std::vector<EnumeratedInterface> all = Enumerate();
    ASSERT_EQ(2u, all.size());
    HDEVINFO set = OpenSet();
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    SP_DEVINFO_DATA devinfo = {};
    devinfo.cbSize = sizeof(devinfo);
    devinfo.DevInst = all[1].devinst;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(PdxLinux_SetupDiEnumDeviceInterfaces(set, &devinfo, &guid, 0, &data));
    char buffer[64];
    auto* detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(PdxLinux_SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr));
    EXPECT_EQ(all[1].path, detail->DevicePath);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(set, &devinfo, &guid, 1, &data));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApi, UnknownAndDestroyedSetsAreInvalidHandles) {
    HDEVINFO set = OpenSet();
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    EXPECT_TRUE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    GUID guid;
    PdxLinux_HidD_GetHidGuid(&guid);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PdxLinux_SetupDiEnumDeviceInterfaces(INVALID_HANDLE_VALUE, nullptr, &guid, 0, &data));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
