// Each fault knob of the HID-stack side produces the failure the platform's
// libraries produce.
#include <gtest/gtest.h>

#include <cstring>

#include "hid_stack.h"

namespace {

class FaultKnobs : public ::testing::Test {
protected:
    void SetUp() override {
        pdxsim_world_default(&world, 1);
        ASSERT_TRUE(pdxsim_install(&world));
        ASSERT_TRUE(hs.load());
    }
    void TearDown() override {
        hs.unload();
        pdxsim_uninstall();
    }
    void set_faults(int iface, const PdxSimInterfaceFaults& f) { pdxsim_set_interface_faults(0, iface, &f); }
    // Opens interface `iface` through the path the detail query hands out.
    HANDLE open_found(int iface, DWORD access) {
        auto found = enumerate_all(hs);
        return (size_t)iface < found.size() ? open_path(found[iface].path, access) : INVALID_HANDLE_VALUE;
    }
    static PdxSimWorld world;
    HidStack hs;
};
PdxSimWorld FaultKnobs::world;

TEST_F(FaultKnobs, SetCreationFails) {
    PdxSimWorldFaults f = world.faults;
    f.class_devs_fail = 1;
    f.class_devs_error = ERROR_NOT_ENOUGH_MEMORY;
    pdxsim_set_world_faults(&f);
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    PdxSimCounters c;
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.live_sets, 0);
}

TEST_F(FaultKnobs, EnumerationEndsEarlyWithTheChosenError) {
    PdxSimWorldFaults f = world.faults;
    f.enum_fail_index = 1;
    f.enum_fail_error = ERROR_GEN_FAILURE;
    pdxsim_set_world_faults(&f);
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    HDEVINFO set = hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    EXPECT_TRUE(hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);
    hs.SetupDiDestroyDeviceInfoList(set);
}

TEST_F(FaultKnobs, DetailSizeZero) {
    PdxSimInterfaceFaults f{};
    f.detail_size_zero = 1;
    set_faults(1, f);
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    HDEVINFO set = hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    DWORD size = 1234;
    ASSERT_TRUE(hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    hs.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    EXPECT_GT(size, 0u);
    ASSERT_TRUE(hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
    size = 1234;
    EXPECT_FALSE(hs.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
    EXPECT_EQ(size, 0u);
    hs.SetupDiDestroyDeviceInfoList(set);
}

TEST_F(FaultKnobs, OpenRefusedForReadWriteButAllowedForQueries) {
    PdxSimInterfaceFaults f{};
    f.open_rw_refused = 1;
    set_faults(0, f);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(open_found(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    HANDLE h = open_found(0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "CreateFileA(0) error " << GetLastError();
    HIDD_ATTRIBUTES attr;
    attr.Size = sizeof attr;
    EXPECT_TRUE(hs.HidD_GetAttributes(h, &attr));
    EXPECT_EQ(attr.ProductID, PDXSIM_PRODUCT_B);
    CloseHandle(h);
    // The other interface is untouched.
    h = open_found(1, GENERIC_READ | GENERIC_WRITE);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FaultKnobs, OpenRefusedEntirely) {
    PdxSimInterfaceFaults f{};
    f.open_refused = 1;
    set_faults(0, f);
    EXPECT_EQ(open_found(0, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_found(0, 0), INVALID_HANDLE_VALUE);
}

TEST_F(FaultKnobs, AttributesPreparsedDataAndCapsFail) {
    PdxSimInterfaceFaults f{};
    f.attributes_fail = 1;
    f.preparsed_fail = 1;
    set_faults(0, f);
    PdxSimInterfaceFaults g{};
    g.caps_fail = 1;
    set_faults(1, g);
    HANDLE h0 = open_found(0, 0);
    HANDLE h1 = open_found(1, 0);
    ASSERT_NE(h0, INVALID_HANDLE_VALUE);
    ASSERT_NE(h1, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attr;
    attr.Size = sizeof attr;
    EXPECT_FALSE(hs.HidD_GetAttributes(h0, &attr));
    EXPECT_TRUE(hs.HidD_GetAttributes(h1, &attr));
    PHIDP_PREPARSED_DATA pp = nullptr;
    EXPECT_FALSE(hs.HidD_GetPreparsedData(h0, &pp));
    ASSERT_TRUE(hs.HidD_GetPreparsedData(h1, &pp));
    HIDP_CAPS caps;
    EXPECT_EQ(hs.HidP_GetCaps(pp, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_TRUE(hs.HidD_FreePreparsedData(pp));
    PdxSimCounters c;
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.live_preparsed, 0);
    CloseHandle(h0);
    CloseHandle(h1);
}

TEST_F(FaultKnobs, ParentWalkFailsAtTheChosenStep) {
    PdxSimInterfaceFaults f{};
    f.parent_fail_step = 1;
    set_faults(0, f);
    f.parent_fail_step = 2;
    set_faults(1, f);
    DEVINST parent = 0x5555;
    EXPECT_EQ(hs.CM_Get_Parent(&parent, pdxsim_interface_devinst(0, 0), 0), (CONFIGRET)CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(parent, 0x5555u);
    EXPECT_EQ(hs.CM_Get_Parent(&parent, pdxsim_interface_devinst(0, 1), 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(parent, pdxsim_interface_parent_devinst(0, 1));
    DEVINST key = 0x5555;
    EXPECT_EQ(hs.CM_Get_Parent(&key, parent, 0), (CONFIGRET)CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(key, 0x5555u);
}

TEST_F(FaultKnobs, SerialAndIndexZeroQueriesFail) {
    PdxSimInterfaceFaults f{};
    f.serial_fail = 1;
    f.string0_fail = 1;
    set_faults(0, f);
    HANDLE h = open_found(0, 0);
    WCHAR buf[64];
    EXPECT_FALSE(hs.HidD_GetSerialNumberString(h, buf, 18));
    EXPECT_FALSE(hs.HidD_GetIndexedString(h, 0, buf, 128));
    CloseHandle(h);
    h = open_found(1, 0);
    EXPECT_TRUE(hs.HidD_GetSerialNumberString(h, buf, 18));
    EXPECT_TRUE(hs.HidD_GetIndexedString(h, 0, buf, 128));
    CloseHandle(h);
}

TEST_F(FaultKnobs, SerialNoneAndSerialEqualToIndexZero) {
    hs.unload();
    pdxsim_world_default(&world, 2);
    pdxsim_set_serial(&world.device[0], nullptr);
    world.device[1].serial_kind = PDXSIM_SERIAL_STRING0;
    ASSERT_TRUE(pdxsim_install(&world));
    ASSERT_TRUE(hs.load());
    auto found = enumerate_all(hs);
    ASSERT_EQ(found.size(), 4u);
    HANDLE h = open_path(found[0].path, 0);
    WCHAR serial[9], lang[64];
    EXPECT_FALSE(hs.HidD_GetSerialNumberString(h, serial, 18));
    CloseHandle(h);
    h = open_path(found[2].path, 0);
    ASSERT_TRUE(hs.HidD_GetSerialNumberString(h, serial, 18));
    ASSERT_TRUE(hs.HidD_GetIndexedString(h, 0, lang, 128));
    EXPECT_EQ(serial[0], 0x0409);
    EXPECT_EQ(serial[1], 0);
    EXPECT_EQ(lang[0], 0x0409);
    CloseHandle(h);
}

TEST_F(FaultKnobs, MissingLibraryCannotBeLoaded) {
    hs.unload();
    PdxSimWorldFaults f = world.faults;
    f.missing_library[PDXSIM_LIB_HID] = 1;
    pdxsim_set_world_faults(&f);
    EXPECT_FALSE(hs.load());
    EXPECT_EQ(hs.hid, nullptr);
    EXPECT_NE(hs.cfgmgr32, nullptr);
    EXPECT_NE(hs.setupapi, nullptr);
    hs.unload();
    PdxSimCounters c;
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.loads[PDXSIM_LIB_HID], 1u);  // the load in SetUp
    EXPECT_EQ(c.frees[PDXSIM_LIB_HID], 1u);
    EXPECT_EQ(c.loads[PDXSIM_LIB_SETUPAPI], 2u);
    EXPECT_EQ(c.frees[PDXSIM_LIB_SETUPAPI], 2u);
    f.missing_library[PDXSIM_LIB_HID] = 0;
    pdxsim_set_world_faults(&f);
    EXPECT_TRUE(hs.load());
}

TEST_F(FaultKnobs, MissingEntryPointIsNotExported) {
    hs.unload();
    PdxSimWorldFaults f = world.faults;
    f.missing_entry[PDXSIM_HidD_GetNumInputBuffers] = 1;
    pdxsim_set_world_faults(&f);
    EXPECT_FALSE(hs.load());
    EXPECT_NE(hs.hid, nullptr);
    EXPECT_EQ(hs.HidD_GetNumInputBuffers, nullptr);
    EXPECT_NE(hs.HidD_SetNumInputBuffers, nullptr);
    EXPECT_NE(hs.HidD_GetIndexedString, nullptr);
    EXPECT_NE(hs.HidD_GetPreparsedData, nullptr);
}

}  // namespace
