// Discovery: which interfaces become which records and pipes, for worlds of
// every shape, and what discovery passes to the HID stack.
#include <string.h>

#include <string>

#include "discovery.h"
#include "hid_binding.h"
#include "library_world.h"

namespace {

class DiscoveryTest : public LibraryTest {
protected:
    // Discovery with its preconditions, as opening runs it.
    BOOLEAN Discover(const PdxSimWorld& world) {
        Install(world);
        ResetTable();
        EXPECT_EQ(TRUE, BindHidLibraries());
        g_private_heap = HeapCreate(HEAP_NO_SERIALIZE, 4096, 0);
        EXPECT_NE(nullptr, g_private_heap);
        const BOOLEAN found = DiscoverDevices();
        UnbindHidLibraries();
        return found;
    }

    void TearDown() override {
        // Records filled by discovery alone hold no handles: dropping the
        // heap releases all of them.
        ResetTable();
        if (g_private_heap) HeapDestroy(g_private_heap);
        g_private_heap = nullptr;
        LibraryTest::TearDown();
    }

    static std::string PathOf(const DeviceRecord& record, int pipe) {
        const SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = record.pipes[pipe].detail;
        return detail ? std::string(detail->DevicePath) : std::string("<none>");
    }

    // Record index holds device `device` with its default two interfaces.
    static void ExpectCompleteDevice(uint32_t index, int device) {
        const DeviceRecord& record = g_device_table[index];
        SCOPED_TRACE("record " + std::to_string(index) + " / device " + std::to_string(device));
        EXPECT_EQ(0u, record.magic) << "discovery does not open";
        EXPECT_EQ(2u, record.pipe_count);
        EXPECT_EQ(pdxsim_device_devinst(device), record.parent_key);
        EXPECT_EQ(pdxsim_device_path(device, 0), PathOf(record, 0));
        EXPECT_EQ(pdxsim_device_path(device, 1), PathOf(record, 1));
        EXPECT_EQ(PDXSIM_PIPE0_OUTPUT_LEN, record.pipes[0].caps.OutputReportByteLength);
        EXPECT_EQ(PDXSIM_PIPE1_OUTPUT_LEN, record.pipes[1].caps.OutputReportByteLength);
        EXPECT_EQ(INFINITE, record.read_timeout);
        EXPECT_EQ(INFINITE, record.write_timeout);
        EXPECT_EQ(nullptr, record.reader_thread);
        EXPECT_EQ(nullptr, record.read_handles[0]);
    }

    static void ExpectNoQueryLeftOpen(const PdxSimWorld& world) {
        for (int d = 0; d < world.device_count; ++d) {
            for (int i = 0; i < world.device[d].interface_count; ++i) {
                EXPECT_EQ(0u, pdxsim_open_handles(d, i)) << "device " << d << " interface " << i;
            }
        }
        PdxSimCounters counters;
        pdxsim_get_counters(&counters);
        EXPECT_EQ(0, counters.live_sets) << "device information set not destroyed";
        EXPECT_EQ(0, counters.live_preparsed) << "preparsed data not freed";
    }

    static std::string Serial(const DeviceRecord& record) {
        std::string text;
        for (uint16_t unit : record.serial) text += unit ? static_cast<char>(unit) : '.';
        return text;
    }
};

TEST_F(DiscoveryTest, NoInterfacesFindsNothing) {
    auto world = MakeWorld(0);
    EXPECT_EQ(FALSE, Discover(*world));
    EXPECT_EQ(0u, g_device_count);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, ForeignDevicesAloneFindNothing) {
    PdxSimWorld* world = new PdxSimWorld;
    std::unique_ptr<PdxSimWorld> owner(world);
    ASSERT_EQ(1, pdxsim_parse_world("0 devices, 2 foreign, 1 foreign vendor 0x046D product 0x2A10", world, nullptr, 0));
    EXPECT_EQ(FALSE, Discover(*world));
    EXPECT_EQ(0u, g_device_count);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, OneDeviceFillsOneRecordWhicheverInterfaceComesFirst) {
    for (PdxSimOrder order : {PDXSIM_ORDER_DEVICE_BY_DEVICE, PDXSIM_ORDER_REVERSED_INTERFACES}) {
        SCOPED_TRACE(order == PDXSIM_ORDER_DEVICE_BY_DEVICE ? "pipe-0 interface first" : "pipe-1 interface first");
        auto world = MakeWorld(1);
        pdxsim_world_set_order(world.get(), order);
        EXPECT_EQ(TRUE, Discover(*world));
        ASSERT_EQ(1u, g_device_count);
        ExpectCompleteDevice(0, 0);
        ExpectNoQueryLeftOpen(*world);
        TearDown();
    }
}

TEST_F(DiscoveryTest, AttributesAreCopiedAsTenBytes) {
    auto world = MakeWorld(1);
    world->device[0].product_id = 0x2A10;
    world->device[0].version = 0xBEEF;
    EXPECT_EQ(TRUE, Discover(*world));
    for (int pipe = 0; pipe < 2; ++pipe) {
        const HIDD_ATTRIBUTES& attributes = g_device_table[0].pipes[pipe].attributes;
        // Size is what the HID library left there (12 on Windows); the
        // padding after the version number is never copied.
        EXPECT_NE(0u, attributes.Size) << "pipe " << pipe;
        EXPECT_EQ(0, reinterpret_cast<const uint8_t*>(&attributes)[10]);
        EXPECT_EQ(0, reinterpret_cast<const uint8_t*>(&attributes)[11]);
        EXPECT_EQ(0x1F3A, attributes.VendorID);
        EXPECT_EQ(0x2A10, attributes.ProductID);
        EXPECT_EQ(0xBEEF, attributes.VersionNumber);
    }
}

TEST_F(DiscoveryTest, InterleavedDevicesAreGroupedByTheirUsbDevice) {
    auto world = MakeWorld(3);
    pdxsim_world_set_order(world.get(), PDXSIM_ORDER_INTERLEAVED);
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(3u, g_device_count);
    for (int d = 0; d < 3; ++d) ExpectCompleteDevice(d, d);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, RecordsFollowTheOrderOfEachDevicesFirstInterface) {
    auto world = MakeWorld(3);
    world->order_count = 6;
    const PdxSimIfaceRef order[] = {{2, 1}, {0, 0}, {2, 0}, {1, 1}, {0, 1}, {1, 0}};
    memcpy(world->order, order, sizeof(order));
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(3u, g_device_count);
    ExpectCompleteDevice(0, 2);
    ExpectCompleteDevice(1, 0);
    ExpectCompleteDevice(2, 1);
}

TEST_F(DiscoveryTest, InterfaceOpenedOnlyForQueriesIsStillRecorded) {
    auto world = MakeWorld(1);
    world->device[0].iface[0].faults.open_rw_refused = 1;
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(1u, g_device_count);
    EXPECT_EQ(2u, g_device_table[0].pipe_count);
    // (The Windows simulator names such an interface by a path of its own.)
    EXPECT_EQ(0u, PathOf(g_device_table[0], 0).find(pdxsim_device_path(0, 0))) << "its path is stored";
    EXPECT_EQ(pdxsim_device_path(0, 1), PathOf(g_device_table[0], 1));
    ExpectNoQueryLeftOpen(*world);

    PdxSimOpen opens[8];
    const uint32_t total = pdxsim_get_opens(0, opens, 8);
    if (total < 3) GTEST_SKIP() << "refused opens are not logged here";
    ASSERT_EQ(3u, total) << "interface 0 twice, interface 1 once";
    EXPECT_EQ(0, opens[0].iface);
    EXPECT_EQ(0, opens[0].succeeded) << "read and write access is refused";
    EXPECT_EQ(0, opens[1].iface);
    EXPECT_EQ(1, opens[1].succeeded) << "query access is tried next";
    EXPECT_EQ(1, opens[2].iface);
    EXPECT_EQ(1, opens[2].succeeded);
    if (opens[0].access != PDXSIM_ACCESS_UNKNOWN) {
        EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, opens[0].access);
        EXPECT_EQ(FILE_SHARE_READ | FILE_SHARE_WRITE, opens[0].share);
        EXPECT_EQ(0u, opens[0].flags);
    }
    if (opens[1].access != PDXSIM_ACCESS_UNKNOWN) {
        EXPECT_EQ(0u, opens[1].access);
    }
}

TEST_F(DiscoveryTest, SerialNumbers) {
    auto world = MakeWorld(6);
    pdxsim_set_serial(&world->device[0], "A1B2C3D4");
    pdxsim_set_serial(&world->device[1], nullptr);
    world->device[2].serial_kind = PDXSIM_SERIAL_STRING0;
    pdxsim_set_serial(&world->device[3], "Q7");
    for (int i = 0; i < 2; ++i) world->device[3].iface[i].faults.serial_fail = 1;
    pdxsim_set_serial(&world->device[4], "LONGSERIAL12");
    pdxsim_set_serial(&world->device[5], "Z9");
    for (int i = 0; i < 2; ++i) world->device[5].iface[i].faults.string0_fail = 1;
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(6u, g_device_count);
    EXPECT_EQ("A1B2C3D4.", Serial(g_device_table[0]));
    EXPECT_EQ(".........", Serial(g_device_table[1])) << "no serial string";
    EXPECT_EQ(".........", Serial(g_device_table[2])) << "serial equal to the string at index 0";
    EXPECT_EQ(".........", Serial(g_device_table[3])) << "serial query fails";
    EXPECT_EQ("LONGSERIA", Serial(g_device_table[4])) << "cut to 9 units without a terminator";
    EXPECT_EQ("Z9.......", Serial(g_device_table[5])) << "a failed index-0 query counts as different";

    PdxSimRecord record;
    pdxsim_get_record(&record);
    EXPECT_EQ(18u, record.serial_buffer_len);
    EXPECT_EQ(128u, record.indexed_buffer_len);
    EXPECT_EQ(0u, record.indexed_string_index);
}

TEST_F(DiscoveryTest, SerialIsTheOneReadThroughTheLastAttachedInterface) {
    auto world = MakeWorld(1);
    pdxsim_set_serial(&world->device[0], "ABC");
    world->device[0].iface[1].faults.serial_fail = 1;
    EXPECT_EQ(TRUE, Discover(*world));
    EXPECT_EQ(".........", Serial(g_device_table[0]));
}

TEST_F(DiscoveryTest, ForeignDevicesAreSkipped) {
    PdxSimWorld* world = new PdxSimWorld;
    std::unique_ptr<PdxSimWorld> owner(world);
    ASSERT_EQ(1, pdxsim_parse_world("1 device, 1 foreign, 1 foreign vendor 0x046D product 0x2A11", world, nullptr, 0));
    pdxsim_world_set_order(world, PDXSIM_ORDER_REVERSED);  // foreign ones first
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(1u, g_device_count);
    ExpectCompleteDevice(0, 0);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, BothFamilyProductsAreAccepted) {
    auto world = MakeWorld(2);
    world->device[0].product_id = 0x2A10;
    world->device[1].product_id = 0x2A11;
    EXPECT_EQ(TRUE, Discover(*world));
    EXPECT_EQ(2u, g_device_count);
}

TEST_F(DiscoveryTest, SeventeenDevicesFillTheTableAndLateInterfacesStillAttach) {
    auto world = MakeWorld(17);
    pdxsim_world_set_order(world.get(), PDXSIM_ORDER_INTERLEAVED);
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(16u, g_device_count);
    for (int d = 0; d < 16; ++d) ExpectCompleteDevice(d, d);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, InterfacesWithTheSamePipeDecisionOverwriteEachOther) {
    auto world = MakeWorld(1);
    world->device[0].iface[1].output_len = 7;  // both below the threshold
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(1u, g_device_count);
    const DeviceRecord& record = g_device_table[0];
    EXPECT_EQ(2u, record.pipe_count);
    EXPECT_EQ(pdxsim_device_path(0, 1), PathOf(record, 0)) << "the later interface wins";
    EXPECT_EQ(nullptr, record.pipes[1].detail);
    EXPECT_EQ(7, record.pipes[0].caps.OutputReportByteLength);
}

TEST_F(DiscoveryTest, PipeThresholdIsEightBytes) {
    auto world = MakeWorld(1);
    world->device[0].iface[0].output_len = 7;
    world->device[0].iface[1].output_len = 8;
    EXPECT_EQ(TRUE, Discover(*world));
    EXPECT_EQ(pdxsim_device_path(0, 0), PathOf(g_device_table[0], 0));
    EXPECT_EQ(pdxsim_device_path(0, 1), PathOf(g_device_table[0], 1));
}

TEST_F(DiscoveryTest, InterfaceWithoutCapabilitiesIsNotAttached) {
    for (int fault = 0; fault < 2; ++fault) {
        SCOPED_TRACE(fault == 0 ? "capabilities fail" : "preparsed data fails");
        auto world = MakeWorld(2);
        PdxSimInterfaceFaults& faults = world->device[0].iface[1].faults;
        (fault == 0 ? faults.caps_fail : faults.preparsed_fail) = 1;
        EXPECT_EQ(TRUE, Discover(*world));
        ASSERT_EQ(2u, g_device_count);
        EXPECT_EQ(1u, g_device_table[0].pipe_count);
        EXPECT_EQ(pdxsim_device_path(0, 0), PathOf(g_device_table[0], 0));
        EXPECT_EQ(nullptr, g_device_table[0].pipes[1].detail);
        ExpectCompleteDevice(1, 1);
        ExpectNoQueryLeftOpen(*world);
        PdxSimCounters counters;
        pdxsim_get_counters(&counters);
        EXPECT_EQ(counters.calls[PDXSIM_HidD_FreePreparsedData], fault == 0 ? 4u : 3u)
            << "preparsed data is freed exactly when it was obtained";
        TearDown();
    }
}

TEST_F(DiscoveryTest, DeviceWithoutAnyCapabilitiesIsRemovedAgain) {
    auto world = MakeWorld(3);
    for (int i = 0; i < 2; ++i) world->device[1].iface[i].faults.caps_fail = 1;
    pdxsim_world_set_order(world.get(), PDXSIM_ORDER_INTERLEAVED);
    EXPECT_EQ(TRUE, Discover(*world)) << "the family's IDs were seen";
    ASSERT_EQ(2u, g_device_count);
    ExpectCompleteDevice(0, 0);
    ExpectCompleteDevice(1, 2);
    const DeviceRecord empty = {};
    EXPECT_EQ(0, memcmp(&empty, &g_device_table[2], sizeof(empty))) << "the removed record is zero again";
}

TEST_F(DiscoveryTest, OnlyFailingCapabilitiesStillCountAsFound) {
    auto world = MakeWorld(1);
    for (int i = 0; i < 2; ++i) world->device[0].iface[i].faults.caps_fail = 1;
    EXPECT_EQ(TRUE, Discover(*world));
    EXPECT_EQ(0u, g_device_count);
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, FailedParentWalkWithoutSerialMakesTheInterfaceADeviceOfItsOwn) {
    for (int step = 1; step <= 2; ++step) {
        SCOPED_TRACE("step " + std::to_string(step) + " fails");
        auto world = MakeWorld(2);
        pdxsim_set_serial(&world->device[0], nullptr);
        world->device[0].iface[1].faults.parent_fail_step = step;
        EXPECT_EQ(TRUE, Discover(*world));
        ASSERT_EQ(3u, g_device_count);
        EXPECT_EQ(1u, g_device_table[0].pipe_count);
        EXPECT_EQ(pdxsim_device_devinst(0), g_device_table[0].parent_key);
        EXPECT_EQ(1u, g_device_table[1].pipe_count);
        EXPECT_EQ(pdxsim_interface_devinst(0, 1), g_device_table[1].parent_key);
        EXPECT_EQ(pdxsim_device_path(0, 1), PathOf(g_device_table[1], 1));
        ExpectCompleteDevice(2, 1);
        TearDown();
    }
}

TEST_F(DiscoveryTest, FailedParentWalksWithoutSerialsNeverShareAKey) {
    auto world = MakeWorld(2);
    for (int d = 0; d < 2; ++d) {
        pdxsim_set_serial(&world->device[d], nullptr);
        for (int i = 0; i < 2; ++i) world->device[d].iface[i].faults.parent_fail_step = 1 + i;
    }
    EXPECT_EQ(TRUE, Discover(*world));
    EXPECT_EQ(4u, g_device_count);
}

// A tree that cannot be walked at all: the interfaces of one chip still
// form one device by vendor, product and serial, and chips that differ in
// any of them stay apart.
TEST_F(DiscoveryTest, WithoutATreeInterfacesGroupByProductAndSerial) {
    PdxSimWorld* world = new PdxSimWorld;
    std::unique_ptr<PdxSimWorld> owner(world);
    ASSERT_EQ(1, pdxsim_parse_world("3 devices, products 0x2A10 0x2A10 0x2A11, serials S1 S2 S1, no parents, "
                                    "order interleaved",
                                    world, nullptr, 0));
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(3u, g_device_count);
    for (uint32_t d = 0; d < 3; ++d) {
        SCOPED_TRACE("device " + std::to_string(d));
        EXPECT_EQ(2u, g_device_table[d].pipe_count);
        EXPECT_EQ(pdxsim_device_path(d, 0), PathOf(g_device_table[d], 0));
        EXPECT_EQ(pdxsim_device_path(d, 1), PathOf(g_device_table[d], 1));
        EXPECT_EQ(pdxsim_interface_devinst(d, 0), g_device_table[d].parent_key) << "the first interface's node";
    }
    ExpectNoQueryLeftOpen(*world);
}

TEST_F(DiscoveryTest, DeviceSetThatCannotBeCreatedFindsNothing) {
    auto world = MakeWorld(2);
    world->faults.class_devs_fail = 1;
    EXPECT_EQ(FALSE, Discover(*world));
    EXPECT_EQ(0u, g_device_count);
    PdxSimCounters counters;
    pdxsim_get_counters(&counters);
    EXPECT_EQ(0u, counters.calls[PDXSIM_SetupDiEnumDeviceInterfaces]);
    EXPECT_EQ(0u, counters.calls[PDXSIM_SetupDiDestroyDeviceInfoList]) << "there is nothing to destroy";
}

TEST_F(DiscoveryTest, EnumerationEndsAtTheFirstFailure) {
    auto world = MakeWorld(2);
    world->faults.enum_fail_index = 1;
    world->faults.enum_fail_error = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(1u, g_device_count);
    EXPECT_EQ(1u, g_device_table[0].pipe_count);
    PdxSimCounters counters;
    pdxsim_get_counters(&counters);
    EXPECT_EQ(2u, counters.calls[PDXSIM_SetupDiEnumDeviceInterfaces]);
    EXPECT_EQ(0, counters.live_sets);
}

TEST_F(DiscoveryTest, InterfacesThatCannotBeQueriedAreSkipped) {
    auto world = MakeWorld(5);
    world->device[0].iface[0].faults.detail_size_zero = 1;
    world->device[1].iface[0].faults.open_refused = 1;
    world->device[2].iface[0].faults.attributes_fail = 1;
    world->device[4].iface[0].faults.detail_fill_fail = 1;
    EXPECT_EQ(TRUE, Discover(*world));
    ASSERT_EQ(5u, g_device_count);
    for (int d : {0, 1, 2, 4}) {
        EXPECT_EQ(1u, g_device_table[d].pipe_count) << "device " << d;
        EXPECT_EQ(nullptr, g_device_table[d].pipes[0].detail) << "device " << d;
        EXPECT_EQ(pdxsim_device_path(d, 1), PathOf(g_device_table[d], 1));
    }
    ExpectCompleteDevice(3, 3);
    ExpectNoQueryLeftOpen(*world);

    PdxSimOpen opens[32];
    const uint32_t total = pdxsim_get_opens(0, opens, 32);
    ASSERT_LE(total, 32u);
    for (uint32_t i = 0; i < total; ++i) {
        EXPECT_FALSE(opens[i].device == 0 && opens[i].iface == 0) << "an interface without a detail is not opened";
        EXPECT_FALSE(opens[i].device == 4 && opens[i].iface == 0) << "an interface without a path is not opened";
    }
}

TEST_F(DiscoveryTest, WhatDiscoveryPassesToTheHidStack) {
    EXPECT_EQ(TRUE, Discover(*MakeWorld(1)));
    PdxSimRecord record;
    pdxsim_get_record(&record);
    EXPECT_EQ(0x12u, record.class_devs_flags);
    EXPECT_EQ(1, record.class_devs_guid_is_hid);
    EXPECT_EQ(1, record.class_devs_enumerator_null);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), record.interface_data_cbsize);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), record.detail_cbsize);
    EXPECT_EQ(sizeof(SP_DEVINFO_DATA), record.devinfo_cbsize);
    EXPECT_EQ(10u, record.attributes_size);
    EXPECT_EQ(0u, record.cm_parent_flags);
}

}  // namespace
