// Opening and closing all devices: what an open device holds, how failures
// leave the library closed, and that closing releases everything.
#include <string.h>

#include "hid_binding.h"
#include "library_world.h"

namespace {

class OpenCloseTest : public LibraryTest {
protected:
    static void ExpectOpenRecord(uint32_t index) {
        const DeviceRecord& record = g_device_table[index];
        SCOPED_TRACE("record " + std::to_string(index));
        EXPECT_EQ(kOpenMagic, record.magic);
        EXPECT_NE(nullptr, record.reader_thread);
        EXPECT_NE(nullptr, record.report_event);
        EXPECT_NE(nullptr, record.stop_event);
        EXPECT_NE(nullptr, record.stopped_event);
        EXPECT_NE(nullptr, record.queue_lock);
        EXPECT_NE(nullptr, record.read_lock);
        EXPECT_NE(nullptr, record.cancel_lock);
        for (int pipe = 0; pipe < 2; ++pipe) {
            EXPECT_NE(nullptr, record.read_handles[pipe]);
            EXPECT_NE(INVALID_HANDLE_VALUE, record.read_handles[pipe]);
            EXPECT_NE(nullptr, record.write_handles[pipe]);
            EXPECT_NE(INVALID_HANDLE_VALUE, record.write_handles[pipe]);
        }
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(record.reader_thread, 0)) << "reader must be running";
        const uint8_t initial[5] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
        EXPECT_EQ(0, memcmp(initial, record.queue.last_report, 5));
    }

    static void ExpectAllZero() {
        const DeviceRecord empty = {};
        for (uint32_t i = 0; i < kMaxDevices; ++i) {
            EXPECT_EQ(0, memcmp(&empty, &g_device_table[i], sizeof(empty))) << "record " << i;
        }
        EXPECT_EQ(0u, g_device_count);
        EXPECT_EQ(nullptr, g_private_heap);
    }

    static void ExpectNoDeviceHandleOpen(int devices) {
        for (int d = 0; d < devices; ++d) {
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(1, pdxsim_wait_open_handles(d, i, 0, 0, kPatience))
                    << "device " << d << " interface " << i << " still has " << pdxsim_open_handles(d, i);
            }
        }
    }
};

TEST_F(OpenCloseTest, NoDeviceOfTheFamily) {
    Install(*MakeWorld(0));
    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    ExpectAllZero();
    SetSentinel();
    PdxKitCloseDevice(nullptr);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
}

TEST_F(OpenCloseTest, OneDevice) {
    Install(*MakeWorld(1));
    SetSentinel();
    PdxKitHandle handle = PdxKitOpenDevice();
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    ASSERT_EQ(&g_device_table[0], handle);
    EXPECT_EQ(1u, PdxKitGetNumDevs());
    EXPECT_EQ(handle, PdxKitGetDeviceHandle(1));
    ExpectOpenRecord(0);
    EXPECT_NE(nullptr, g_private_heap);

    // A read and a write handle on each interface, with 128 input buffers
    // on the read handles.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(1, pdxsim_wait_open_handles(0, i, 2, 0, kPatience)) << "interface " << i;
    PdxSimOpen opens[16];
    const uint32_t total = pdxsim_get_opens(0, opens, 16);
    if (total > 0 && opens[0].access == PDXSIM_ACCESS_UNKNOWN) return;  // Windows: not observable
    uint32_t read_handles = 0;
    for (uint32_t i = 0; i < total && i < 16; ++i) {
        if (!opens[i].still_open) continue;
        if (opens[i].flags != PDXSIM_ACCESS_UNKNOWN) {
            EXPECT_EQ(FILE_FLAG_OVERLAPPED, opens[i].flags);
        }
        if (opens[i].access == GENERIC_READ || opens[i].input_buffers != 0) {
            EXPECT_EQ(128u, opens[i].input_buffers) << "open " << i;
            ++read_handles;
        }
    }
    EXPECT_EQ(2u, read_handles);
}

TEST_F(OpenCloseTest, ThreeDevicesHaveThreeReaders) {
    PdxKitHandle handle = OpenDefault(3);
    EXPECT_EQ(&g_device_table[0], handle);
    ASSERT_EQ(3u, PdxKitGetNumDevs());
    for (uint32_t i = 0; i < 3; ++i) ExpectOpenRecord(i);
    EXPECT_NE(g_device_table[0].reader_thread, g_device_table[1].reader_thread);
    EXPECT_NE(g_device_table[1].reader_thread, g_device_table[2].reader_thread);
    EXPECT_EQ(0u, g_device_table[3].magic);
}

TEST_F(OpenCloseTest, SeventeenDevicesOpenTheFirstSixteen) {
    PdxKitHandle handle = OpenDefault(17);
    EXPECT_EQ(&g_device_table[0], handle);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    ASSERT_EQ(16u, PdxKitGetNumDevs());
    for (uint32_t i = 0; i < 16; ++i) ExpectOpenRecord(i);
    EXPECT_EQ(0u, pdxsim_open_handles(16, 0));
    PdxKitCloseDevice(nullptr);
    ExpectAllZero();
    ExpectNoDeviceHandleOpen(17);
}

TEST_F(OpenCloseTest, CloseReleasesEverythingWhateverHandleIsPassed) {
    const PdxKitHandle arguments[] = {nullptr, &g_device_table[1], reinterpret_cast<PdxKitHandle>(0x1234)};
    for (PdxKitHandle argument : arguments) {
        OpenDefault(3);
        SetSentinel();
        PdxKitCloseDevice(argument);
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        EXPECT_EQ(0u, PdxKitGetNumDevs());
        ExpectAllZero();
        ExpectNoDeviceHandleOpen(3);
    }
}

TEST_F(OpenCloseTest, SecondCloseIsHarmless) {
    OpenDefault(2);
    PdxKitCloseDevice(nullptr);
    SetSentinel();
    PdxKitCloseDevice(nullptr);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    ExpectAllZero();
}

TEST_F(OpenCloseTest, ReopeningGivesTheSameFirstHandle) {
    PdxKitHandle first = OpenDefault(2);
    PdxKitCloseDevice(first);
    EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(1));
    PdxKitHandle again = Open();
    EXPECT_EQ(first, again);
    EXPECT_EQ(2u, PdxKitGetNumDevs());
    ExpectOpenRecord(0);
    ExpectOpenRecord(1);
}

TEST_F(OpenCloseTest, OpeningWhileOpenClosesFirst) {
    OpenDefault(2);
    pdxsim_unplug(1, -1);
    SetSentinel();
    PdxKitHandle handle = PdxKitOpenDevice();
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(&g_device_table[0], handle);
    EXPECT_EQ(1u, PdxKitGetNumDevs()) << "discovered afresh";
    ExpectOpenRecord(0);
    EXPECT_EQ(0u, g_device_table[1].magic);
    // The earlier open's handles are gone: one read and one write handle.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(1, pdxsim_wait_open_handles(0, i, 2, 0, kPatience));
}

TEST_F(OpenCloseTest, ImmediateReadBeforeTheFirstReportGivesAllOnes) {
    PdxKitHandle handle = OpenDefault(1);
    uint32_t value = 0;
    EXPECT_EQ(0, PdxKitReadImmediate(handle, &value));
    EXPECT_EQ(0xFFFFFFFFu, value);
}

TEST_F(OpenCloseTest, PipeThatCannotBeOpenedForIoStillOpens) {
    auto world = MakeWorld(1);
    world->device[0].iface[1].faults.open_rw_refused = 1;
    Install(*world);
    PdxKitHandle handle = Open();
    ASSERT_EQ(1u, PdxKitGetNumDevs());
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_device_table[0].read_handles[1]);
    // (The Windows simulator refuses only read access there.)
    if (g_device_table[0].write_handles[1] == INVALID_HANDLE_VALUE) {
        const uint8_t bytes[8] = {0, 1};
        SetSentinel();
        EXPECT_EQ(0u, PdxKitWrite(handle, 1, bytes, sizeof(bytes)));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
    uint8_t buffer[65];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    SetSentinel();
    EXPECT_EQ(0, PdxKitCancelIo(handle, 1));
    EXPECT_EQ(kSentinel, GetLastError());

    // Pipe 0 works as ever.
    SendPinsAndWait(handle, 0, 0x11223344, 1);
    uint32_t value = 0;
    EXPECT_EQ(1, PdxKitReadImmediate(handle, &value));
    EXPECT_EQ(0x11223344u, value);
}

TEST_F(OpenCloseTest, DeviceWithOnePipeOpens) {
    auto world = MakeWorld(1);
    world->device[0].interface_count = 1;
    Install(*world);
    PdxKitHandle handle = Open();
    ASSERT_EQ(1u, PdxKitGetNumDevs());
    EXPECT_EQ(1u, g_device_table[0].pipe_count);
    EXPECT_EQ(nullptr, g_device_table[0].read_handles[1]);
    EXPECT_EQ(nullptr, g_device_table[0].write_handles[1]);
    uint8_t buffer[65];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(OpenCloseTest, DeviceWithOnlyPipeOneStillGetsAReader) {
    auto world = MakeWorld(1);
    world->device[0].iface[0].output_len = 65;  // both interfaces decide pipe 1
    Install(*world);
    PdxKitHandle handle = Open();
    ASSERT_EQ(1u, PdxKitGetNumDevs());
    EXPECT_EQ(nullptr, g_device_table[0].read_handles[0]) << "a pipe without interface gets no handles";
    EXPECT_NE(nullptr, g_device_table[0].read_handles[1]);
    uint32_t value = 0;
    EXPECT_EQ(0, PdxKitReadImmediate(handle, &value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    PdxKitCloseDevice(handle);
    ExpectAllZero();
}

TEST_F(OpenCloseTest, CloseWithReadsOutstandingReturnsAndLeavesNothing) {
    OpenDefault(3);
    // Every reader has its pipe-0 read outstanding.
    for (int d = 0; d < 3; ++d) ASSERT_EQ(1, pdxsim_wait_open_handles(d, 0, 2, 0, kPatience));
    PdxKitCloseDevice(nullptr);
    ExpectAllZero();
    ExpectNoDeviceHandleOpen(3);
}

TEST_F(OpenCloseTest, ReportsQueuedAtCloseAreDiscarded) {
    PdxKitHandle handle = OpenDefault(1);
    SendPinsAndWait(handle, 0, 1, 1);
    SendPinsAndWait(handle, 0, 2, 2);
    PdxKitCloseDevice(handle);
    Open();
    EXPECT_EQ(0u, QueueCount(&g_device_table[0]));
    uint32_t value = 0;
    EXPECT_EQ(0, PdxKitReadImmediate(&g_device_table[0], &value));
    EXPECT_EQ(0xFFFFFFFFu, value);
}

TEST_F(OpenCloseTest, UnpluggedDeviceStillClosesCleanly) {
    PdxKitHandle handle = OpenDefault(2);
    pdxsim_unplug(0, -1);
    SetSentinel();
    PdxKitCloseDevice(handle);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    ExpectAllZero();
}

}  // namespace

TEST_F(OpenCloseTest, FamilyWithoutUsableInterfacesOpensNothing) {
    // The IDs are seen, but no interface can be attached: there is no device
    // whose handle could be returned.
    auto world = MakeWorld(1);
    for (int i = 0; i < 2; ++i) world->device[0].iface[i].faults.caps_fail = 1;
    Install(*world);
    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    EXPECT_EQ(nullptr, g_private_heap) << "the heap is destroyed again";
}
