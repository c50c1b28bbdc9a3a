#include "library_world.h"

#include <string.h>

#include <string>

std::unique_ptr<PdxSimWorld> MakeWorld(int devices) {
    std::unique_ptr<PdxSimWorld> world(new PdxSimWorld);
    pdxsim_world_default(world.get(), devices);
    return world;
}

void LibraryTest::TearDown() {
    PdxKitCloseDevice(nullptr);
    pdxsim_uninstall();
}

void LibraryTest::Install(const PdxSimWorld& world) { ASSERT_EQ(1, pdxsim_install(&world)); }

PdxKitHandle LibraryTest::OpenDefault(int devices) {
    Install(*MakeWorld(devices));
    return Open();
}

// The simulator sees a new handle of an interface a moment after the open
// returned (on Windows, when the pipe connects); reports sent before that
// reach nobody. Waits until every I/O handle the library opened is seen.
static void WaitForIoHandles() {
    std::unique_ptr<PdxSimWorld> world(new PdxSimWorld);
    if (!pdxsim_get_world(world.get())) return;
    for (int d = 0; d < world->device_count; ++d) {
        for (int i = 0; i < world->device[d].interface_count; ++i) {
            const std::string path = pdxsim_device_path(d, i);
            uint32_t handles = 0;
            for (uint32_t r = 0; r < g_device_count; ++r) {
                for (int pipe = 0; pipe < 2; ++pipe) {
                    const DeviceRecord& record = g_device_table[r];
                    if (!record.pipes[pipe].detail) continue;
                    // (The Windows simulator may name an interface path + "-in".)
                    const std::string opened = record.pipes[pipe].detail->DevicePath;
                    if (opened != path && opened.rfind(path + "-", 0) != 0) continue;
                    handles += record.read_handles[pipe] != INVALID_HANDLE_VALUE;
                    handles += record.write_handles[pipe] != INVALID_HANDLE_VALUE;
                }
            }
            EXPECT_EQ(1, pdxsim_wait_open_handles(d, i, handles, 0, kPatience))
                << "device " << d << " interface " << i << " never saw its " << handles << " handles";
        }
    }
}

PdxKitHandle LibraryTest::Open() {
    PdxKitHandle handle = PdxKitOpenDevice();
    EXPECT_NE(nullptr, handle) << "PdxKitOpenDevice failed with " << GetLastError();
    const DWORD error = GetLastError();
    if (handle) WaitForIoHandles();
    SetLastError(error);
    return handle;
}

DeviceRecord* Record(PdxKitHandle handle) { return static_cast<DeviceRecord*>(handle); }

uint32_t QueueCount(DeviceRecord* record) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    const uint32_t count = record->queue.count;
    ReleaseMutex(record->queue_lock);
    return count;
}

// Waits until `reached` holds for the record, under its queue lock.
template <typename Condition>
static bool WaitForQueueState(DeviceRecord* record, DWORD timeout, Condition reached) {
    for (;;) {
        // Same discipline as the library's consumers: the event is cleared
        // only together with a finding under the queue lock.
        WaitForSingleObject(record->queue_lock, INFINITE);
        const bool done = reached(*record);
        if (!done) ResetEvent(record->report_event);
        ReleaseMutex(record->queue_lock);
        if (done) return true;
        if (WaitForSingleObject(record->report_event, timeout) != WAIT_OBJECT_0) return false;
    }
}

bool WaitQueued(DeviceRecord* record, uint32_t count, DWORD timeout) {
    return WaitForQueueState(record, timeout, [count](const DeviceRecord& r) { return r.queue.count >= count; });
}

bool WaitGone(DeviceRecord* record, DWORD timeout) {
    return WaitForQueueState(record, timeout, [](const DeviceRecord& r) { return r.queue.gone_error != 0; });
}

int SendPins(int device, uint32_t value, int iface) {
    const uint8_t report[5] = {0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return pdxsim_send_report(device, iface, report, sizeof(report));
}

void SendPinsAndWait(PdxKitHandle handle, int device, uint32_t value, uint32_t expected_count) {
    ASSERT_LE(1, SendPins(device, value));
    ASSERT_TRUE(WaitQueued(Record(handle), expected_count)) << "report " << value << " never queued";
}

uint32_t PinValue(const uint8_t* report) {
    return report[1] | report[2] << 8 | report[3] << 16 | static_cast<uint32_t>(report[4]) << 24;
}

bool StrayCompletionPending() { return SleepEx(0, TRUE) == WAIT_IO_COMPLETION; }
