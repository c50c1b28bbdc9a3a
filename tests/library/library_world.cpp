#include "library_world.h"

#include <string.h>

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

PdxKitHandle LibraryTest::Open() {
    PdxKitHandle handle = PdxKitOpenDevice();
    EXPECT_NE(nullptr, handle) << "PdxKitOpenDevice failed with " << GetLastError();
    return handle;
}

DeviceRecord* Record(PdxKitHandle handle) { return static_cast<DeviceRecord*>(handle); }

uint32_t QueueCount(DeviceRecord* record) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    const uint32_t count = record->queue_count;
    ReleaseMutex(record->queue_lock);
    return count;
}

bool WaitQueued(DeviceRecord* record, uint32_t count, DWORD timeout) {
    for (;;) {
        // Same discipline as the library's consumers: the event is cleared
        // only together with a finding under the queue lock.
        WaitForSingleObject(record->queue_lock, INFINITE);
        const bool enough = record->queue_count >= count;
        if (!enough) ResetEvent(record->report_event);
        ReleaseMutex(record->queue_lock);
        if (enough) return true;
        if (WaitForSingleObject(record->report_event, timeout) != WAIT_OBJECT_0) return false;
    }
}

int SendPins(int device, uint32_t value, int iface) {
    const uint8_t report[5] = {0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return pdxsim_send_report(device, iface, report, sizeof(report));
}

void SendPinsAndWait(PdxKitHandle handle, int device, uint32_t value, uint32_t expected_count) {
    ASSERT_EQ(1, SendPins(device, value));
    ASSERT_TRUE(WaitQueued(Record(handle), expected_count)) << "report " << value << " never queued";
}

uint32_t PinValue(const uint8_t* report) {
    return report[1] | report[2] << 8 | report[3] << 16 | static_cast<uint32_t>(report[4]) << 24;
}

bool StrayCompletionPending() { return SleepEx(0, TRUE) == WAIT_IO_COMPLETION; }
