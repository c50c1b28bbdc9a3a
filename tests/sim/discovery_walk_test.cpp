// A world of two chips walked through the three libraries exactly as pdxkit's
// discovery walks them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hid_stack.h"

namespace {

class DiscoveryWalk : public ::testing::Test {
protected:
    void SetUp() override {
        PdxSimWorld* w = &world;
        pdxsim_world_default(w, 2);
        pdxsim_set_serial(&w->device[0], "A1B2C3D4");
        pdxsim_set_serial(&w->device[1], "0000BEEF");
        w->device[1].product_id = PDXSIM_PRODUCT_A;
        ASSERT_TRUE(pdxsim_install(w));
        ASSERT_TRUE(hs.load());
    }
    void TearDown() override {
        hs.unload();
        pdxsim_uninstall();
    }
    static PdxSimWorld world;
    HidStack hs;
};
PdxSimWorld DiscoveryWalk::world;

TEST_F(DiscoveryWalk, EveryInterfaceAnswersAsDiscoveryRelies) {
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    HDEVINFO set = hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);

    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    struct Seen {
        uint16_t product;
        DEVINST key;
        uint16_t output_len;
        std::vector<WCHAR> serial;
    };
    std::vector<Seen> seen;
    DWORD index = 0;
    for (; hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data); index++) {
        SP_DEVINFO_DATA info;
        info.cbSize = sizeof info;
        DWORD required = 0;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(hs.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, &info));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        ASSERT_GT(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        std::vector<char> buf(required);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buf.data();
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD second = 0;
        info.cbSize = sizeof info;
        ASSERT_TRUE(hs.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &second, &info));
        EXPECT_EQ(strlen(detail->DevicePath) + 1 + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), required);

        HANDLE h = open_path(detail->DevicePath, GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "CreateFileA error " << GetLastError();
        CloseHandle(h);
        h = open_path(detail->DevicePath, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "CreateFileA(0) error " << GetLastError();

        HIDD_ATTRIBUTES attr;
        memset(&attr, 0, sizeof attr);
        attr.Size = 10;
        ASSERT_TRUE(hs.HidD_GetAttributes(h, &attr));
        EXPECT_EQ(attr.VendorID, 0x1F3A);

        DEVINST parent = 0, key = 0;
        EXPECT_EQ(hs.CM_Get_Parent(&parent, info.DevInst, 0), (CONFIGRET)CR_SUCCESS);
        EXPECT_EQ(hs.CM_Get_Parent(&key, parent, 0), (CONFIGRET)CR_SUCCESS);

        PHIDP_PREPARSED_DATA pp = nullptr;
        ASSERT_TRUE(hs.HidD_GetPreparsedData(h, &pp));
        HIDP_CAPS caps;
        EXPECT_EQ(hs.HidP_GetCaps(pp, &caps), HIDP_STATUS_SUCCESS);
        EXPECT_TRUE(hs.HidD_FreePreparsedData(pp));

        std::vector<WCHAR> serial(9, 0xFFFF);
        EXPECT_TRUE(hs.HidD_GetSerialNumberString(h, serial.data(), 18));
        WCHAR lang[64];
        memset(lang, 0xFF, sizeof lang);
        EXPECT_TRUE(hs.HidD_GetIndexedString(h, 0, lang, 128));
        EXPECT_EQ(lang[0], 0x0409);
        EXPECT_EQ(lang[1], 0);
        CloseHandle(h);
        seen.push_back({attr.ProductID, key, caps.OutputReportByteLength, serial});
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(index, 4u);
    EXPECT_TRUE(hs.SetupDiDestroyDeviceInfoList(set));

    ASSERT_EQ(seen.size(), 4u);
    // Device by device: the two interfaces of one chip share the parent key,
    // which is the node of its USB device.
    EXPECT_EQ(seen[0].key, pdxsim_device_devinst(0));
    EXPECT_EQ(seen[1].key, pdxsim_device_devinst(0));
    EXPECT_EQ(seen[2].key, pdxsim_device_devinst(1));
    EXPECT_NE(seen[0].key, seen[2].key);
    EXPECT_EQ(seen[0].output_len, 5);
    EXPECT_EQ(seen[1].output_len, 65);
    EXPECT_EQ(seen[0].product, PDXSIM_PRODUCT_B);
    EXPECT_EQ(seen[2].product, PDXSIM_PRODUCT_A);
    // 8 characters and the terminating zero in 18 bytes.
    const WCHAR expect[9] = {'A', '1', 'B', '2', 'C', '3', 'D', '4', 0};
    EXPECT_EQ(memcmp(seen[0].serial.data(), expect, sizeof expect), 0);

    PdxSimCounters c;
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.live_sets, 0);
    EXPECT_EQ(c.live_preparsed, 0);
    EXPECT_EQ(c.calls[PDXSIM_SetupDiEnumDeviceInterfaces], 5u);
    EXPECT_EQ(c.calls[PDXSIM_SetupDiGetDeviceInterfaceDetailA], 8u);
    EXPECT_EQ(c.calls[PDXSIM_CM_Get_Parent], 8u);
    EXPECT_EQ(c.loads[PDXSIM_LIB_HID], 1u);

    PdxSimRecord r;
    pdxsim_get_record(&r);
    EXPECT_EQ(r.class_devs_flags, 0x12u);
    EXPECT_TRUE(r.class_devs_guid_is_hid);
    EXPECT_TRUE(r.class_devs_enumerator_null);
    EXPECT_EQ(r.interface_data_cbsize, (uint32_t)sizeof(SP_DEVICE_INTERFACE_DATA));
    EXPECT_EQ(r.detail_cbsize, (uint32_t)sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    EXPECT_EQ(r.devinfo_cbsize, (uint32_t)sizeof(SP_DEVINFO_DATA));
    EXPECT_EQ(r.attributes_size, 10u);
    EXPECT_EQ(r.serial_buffer_len, 18u);
    EXPECT_EQ(r.indexed_buffer_len, 128u);
    EXPECT_EQ(r.indexed_string_index, 0u);
}

TEST_F(DiscoveryWalk, DetailRecordSizeIsThePlatformsFixedPart) {
    // 5 on 32-bit Windows, 8 on 64-bit Linux: the simulator checks against
    // the size of the build it serves.
    auto found = enumerate_all(hs);
    ASSERT_EQ(found.size(), 4u);
    GUID guid;
    hs.HidD_GetHidGuid(&guid);
    HDEVINFO set = hs.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    ASSERT_TRUE(hs.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    char buf[512];
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buf;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(hs.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info - 4;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(hs.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buf, nullptr, &info));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    EXPECT_TRUE(hs.SetupDiDestroyDeviceInfoList(set));
}

TEST_F(DiscoveryWalk, SerialIsCutToTheBufferWithoutTerminator) {
    pdxsim_uninstall();
    pdxsim_world_default(&world, 1);
    pdxsim_set_serial(&world.device[0], "ABCDEFGHIJ");
    ASSERT_TRUE(pdxsim_install(&world));
    HANDLE h = open_path(pdxsim_device_path(0, 0), 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WCHAR buf[10];
    memset(buf, 0xFF, sizeof buf);
    EXPECT_TRUE(hs.HidD_GetSerialNumberString(h, buf, 18));
    EXPECT_EQ(buf[8], 'I');
    EXPECT_EQ(buf[9], 0xFFFF);  // nothing written past the 18 bytes
    CloseHandle(h);
}

TEST_F(DiscoveryWalk, InputBuffersAreKeptPerHandleAndBelowTwoRefused) {
    HANDLE a = open_path(pdxsim_device_path(0, 0), GENERIC_READ, FILE_FLAG_OVERLAPPED);
    HANDLE b = open_path(pdxsim_device_path(0, 0), GENERIC_READ, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(hs.HidD_SetNumInputBuffers(a, 128));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(hs.HidD_SetNumInputBuffers(b, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ULONG n = 0;
    EXPECT_TRUE(hs.HidD_GetNumInputBuffers(a, &n));
    EXPECT_EQ(n, 128u);
    EXPECT_TRUE(hs.HidD_GetNumInputBuffers(b, &n));
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(pdxsim_handle_input_buffers(a), 128u);
    EXPECT_EQ(pdxsim_handle_input_buffers(b), 0u);
    EXPECT_EQ(pdxsim_handle_access(a), (uint32_t)GENERIC_READ);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(DiscoveryWalk, LibrariesAreCountedPerLoadAndFree) {
    hs.unload();
    PdxSimCounters c;
    pdxsim_get_counters(&c);
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++) {
        EXPECT_EQ(c.loads[lib], 1u) << pdxsim_library_name((PdxSimLibrary)lib);
        EXPECT_EQ(c.frees[lib], 1u) << pdxsim_library_name((PdxSimLibrary)lib);
    }
    ASSERT_TRUE(hs.load());
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.loads[PDXSIM_LIB_SETUPAPI], 2u);
    pdxsim_reset_counters();
    pdxsim_get_counters(&c);
    EXPECT_EQ(c.loads[PDXSIM_LIB_SETUPAPI], 0u);
}

}  // namespace
