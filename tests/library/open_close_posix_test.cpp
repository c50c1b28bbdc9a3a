// Opening and closing under faults only the POSIX runtime can inject, and
// the runtime's own count of what the library holds.
#include <string.h>

#include <string>
#include <tuple>

#include "hid_binding.h"
#include "library_world.h"
#include "pdx_runtime.h"

namespace {

PdxRtCounters RuntimeCounters() {
    PdxRtCounters counters;
    pdxrt_get_counters(&counters);
    return counters;
}

// A thread's handle is signalled while its last instructions still run, so
// the runtime counts it a moment longer; nothing signals that moment.
PdxRtCounters SettledCounters(const PdxRtCounters& before) {
    PdxRtCounters after = RuntimeCounters();
    for (int i = 0; i < 5000 && (after.threads != before.threads || after.running_threads != before.running_threads);
         ++i) {
        SleepEx(1, FALSE);
        after = RuntimeCounters();
    }
    return after;
}

void ExpectSameObjects(const PdxRtCounters& before, const PdxRtCounters& now) {
    const PdxRtCounters after = SettledCounters(before);
    (void)now;
    EXPECT_EQ(before.handles, after.handles);
    EXPECT_EQ(before.events, after.events);
    EXPECT_EQ(before.mutexes, after.mutexes);
    EXPECT_EQ(before.threads, after.threads);
    EXPECT_EQ(before.running_threads, after.running_threads);
    EXPECT_EQ(before.files, after.files);
    EXPECT_EQ(before.heaps, after.heaps);
    EXPECT_EQ(before.heap_blocks, after.heap_blocks);
    EXPECT_EQ(before.pending_io, after.pending_io);
    EXPECT_EQ(before.queued_apcs, after.queued_apcs);
}

class OpenClosePosixTest : public LibraryTest {
protected:
    void SetUp() override { pdxrt_reset_call_counts(); }
    void TearDown() override {
        pdxrt_clear_faults();
        LibraryTest::TearDown();
    }
};

TEST_F(OpenClosePosixTest, OpenDeviceHoldsExactlyItsObjects) {
    constexpr uint32_t kDevices = 3;
    Install(*MakeWorld(kDevices));
    const PdxRtCounters before = RuntimeCounters();
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    for (uint32_t d = 0; d < kDevices; ++d) ASSERT_EQ(1, pdxsim_wait_open_handles(d, 0, 2, 0, kPatience));
    const PdxRtCounters open = RuntimeCounters();
    EXPECT_EQ(before.events + 3 * kDevices, open.events);
    EXPECT_EQ(before.mutexes + 3 * kDevices, open.mutexes);
    EXPECT_EQ(before.threads + kDevices, open.threads);
    EXPECT_EQ(before.files + 4 * kDevices, open.files);
    EXPECT_EQ(before.heaps + 1, open.heaps);
    EXPECT_EQ(before.heap_blocks + 2 * kDevices, open.heap_blocks) << "one interface detail per pipe";
    EXPECT_EQ(0u, pdxrt_module_refcount("hid.dll"));
    EXPECT_EQ(0u, pdxrt_module_refcount("cfgmgr32.dll"));
    EXPECT_EQ(0u, pdxrt_module_refcount("setupapi.dll"));
}

TEST_F(OpenClosePosixTest, CloseWithReadsOutstandingLeavesNothingBehind) {
    Install(*MakeWorld(3));
    const PdxRtCounters before = RuntimeCounters();
    for (int round = 0; round < 3; ++round) {
        PdxKitHandle handle = Open();
        SendPinsAndWait(handle, 0, 1, 1);
        ASSERT_EQ(1, pdxsim_wait_open_handles(2, 0, 2, 0, kPatience));
        PdxKitCloseDevice(nullptr);
        ExpectSameObjects(before, RuntimeCounters());
    }
}

TEST_F(OpenClosePosixTest, DiscoveryLeaksNoDetail) {
    // Interleaved: all first interfaces, then all second interfaces.
    auto world = MakeWorld(19);
    world->device[0].iface[0].faults.open_refused = 1;     // first seen when the table is full
    world->device[1].iface[1].faults.attributes_fail = 1;  // one pipe only
    world->device[2].iface[0].faults.caps_fail = 1;        // added, removed, then too late
    world->device[3].iface[1].output_len = 6;              // pipe 0 twice: the first detail is orphaned
    world->device[4].vendor_id = 0x1234;                   // foreign
    pdxsim_world_set_order(world.get(), PDXSIM_ORDER_INTERLEAVED);
    Install(*world);
    const PdxRtCounters before = RuntimeCounters();
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    ASSERT_EQ(16u, PdxKitGetNumDevs());
    EXPECT_EQ(pdxsim_device_devinst(1), g_device_table[0].parent_key);
    EXPECT_EQ(pdxsim_device_devinst(3), g_device_table[1].parent_key);
    EXPECT_EQ(pdxsim_device_devinst(5), g_device_table[2].parent_key);
    EXPECT_EQ(pdxsim_device_devinst(18), g_device_table[15].parent_key);
    uint32_t attached = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        for (int pipe = 0; pipe < 2; ++pipe) attached += g_device_table[i].pipes[pipe].detail != nullptr;
    }
    EXPECT_EQ(1u + 1u + 14u * 2u, attached);
    EXPECT_EQ(before.heap_blocks + attached + 1u, RuntimeCounters().heap_blocks)
        << "only attached details, and the one an interface of the same pipe replaced";
    EXPECT_EQ(before.files + 4u * 14u + 2u + 2u, RuntimeCounters().files) << "no query handle left open";
    PdxKitCloseDevice(nullptr);
    ExpectSameObjects(before, RuntimeCounters());
}

TEST_F(OpenClosePosixTest, DetailThatCannotBeAllocatedSkipsTheInterface) {
    Install(*MakeWorld(1));
    pdxrt_fail_call(PDXRT_HeapAlloc, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    PdxKitHandle handle = Open();
    ASSERT_EQ(1u, PdxKitGetNumDevs());
    EXPECT_EQ(1u, Record(handle)->pipe_count);
    EXPECT_EQ(nullptr, Record(handle)->pipes[0].detail);
    EXPECT_NE(nullptr, Record(handle)->pipes[1].detail);
}

TEST_F(OpenClosePosixTest, PrivateHeapThatCannotBeCreated) {
    Install(*MakeWorld(1));
    const PdxRtCounters before = RuntimeCounters();
    pdxrt_fail_call(PDXRT_HeapCreate, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_EQ(nullptr, g_private_heap);
    EXPECT_EQ(0u, pdxrt_module_refcount("hid.dll"));
    PdxSimCounters sim;
    pdxsim_get_counters(&sim);
    EXPECT_EQ(0u, sim.calls[PDXSIM_SetupDiGetClassDevsA]);
    ExpectSameObjects(before, RuntimeCounters());
}

TEST_F(OpenClosePosixTest, LibraryThatCannotBeLoadedByTheRuntime) {
    Install(*MakeWorld(1));
    pdxrt_fail_named_call(PDXRT_LoadLibraryA, "cfgmgr32.dll", ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_EQ(0u, pdxrt_module_refcount("hid.dll"));
    EXPECT_EQ(0u, pdxrt_module_refcount("setupapi.dll"));
    EXPECT_EQ(3u, pdxrt_call_count(PDXRT_LoadLibraryA)) << "every load is attempted";
}

TEST_F(OpenClosePosixTest, IoHandlesThatCannotBeOpenedAreNotDetected) {
    Install(*MakeWorld(1));
    // Two query opens succeed, then the four I/O opens fail.
    pdxrt_fail_call(PDXRT_CreateFileA, 2, 0, ERROR_ACCESS_DENIED);
    SetSentinel();
    PdxKitHandle handle = PdxKitOpenDevice();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    for (int pipe = 0; pipe < 2; ++pipe) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Record(handle)->read_handles[pipe]);
        EXPECT_EQ(INVALID_HANDLE_VALUE, Record(handle)->write_handles[pipe]);
    }
    pdxrt_clear_faults();
    uint8_t buffer[5];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle, 0, buffer, 5));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << "pipe 0 as well";
}

// Which of the seven objects of the k-th device's reader fails.
enum FailingObject { kEvent1, kEvent2, kEvent3, kMutex1, kMutex2, kMutex3, kThread, kObjectCount };

class ReaderStartFailureTest : public OpenClosePosixTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(ReaderStartFailureTest, EverythingOpenedSoFarIsReleased) {
    const int k = std::get<0>(GetParam());
    const int object = std::get<1>(GetParam());
    constexpr int kDevices = 3;
    Install(*MakeWorld(kDevices));
    const PdxRtCounters before = RuntimeCounters();
    if (object <= kEvent3) {
        pdxrt_fail_call(PDXRT_CreateEventA, 3 * (k - 1) + (object - kEvent1), 1, ERROR_NOT_ENOUGH_MEMORY);
    } else if (object <= kMutex3) {
        pdxrt_fail_call(PDXRT_CreateMutexA, 3 * (k - 1) + (object - kMutex1), 1, ERROR_NOT_ENOUGH_MEMORY);
    } else {
        pdxrt_fail_call(PDXRT_CreateThread, k - 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    }
    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    EXPECT_EQ(nullptr, g_private_heap);
    EXPECT_EQ(0u, pdxrt_module_refcount("hid.dll"));
    EXPECT_EQ(static_cast<DWORD>(k), pdxrt_call_count(PDXRT_CreateThread)) << "a reader for each device up to k";
    ExpectSameObjects(before, RuntimeCounters());
    for (int d = 0; d < kDevices; ++d) {
        for (int i = 0; i < 2; ++i) EXPECT_EQ(1, pdxsim_wait_open_handles(d, i, 0, 0, kPatience));
    }
    // And the library opens normally afterwards.
    pdxrt_clear_faults();
    EXPECT_NE(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(3u, PdxKitGetNumDevs());
}

std::string FailureName(const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
    static const char* const names[] = {"Event1", "Event2", "Event3", "Mutex1", "Mutex2", "Mutex3", "Thread"};
    return "Device" + std::to_string(std::get<0>(info.param)) + names[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(KthDevice, ReaderStartFailureTest,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Range(0, int(kObjectCount))),
                         FailureName);

}  // namespace
