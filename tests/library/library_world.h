// Shared helpers of the library tests: simulated worlds, opening them, and
// looking inside device records.
#ifndef PDXKIT_TESTS_LIBRARY_WORLD_H
#define PDXKIT_TESTS_LIBRARY_WORLD_H

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device_table.h"
#include "pdx_win32.h"
#include "pdxkit.h"
#include "pdxsim.h"

// Long enough for anything that should happen at once, short enough that a
// lost wake-up fails well inside the test timeout.
constexpr DWORD kPatience = 10000;

std::unique_ptr<PdxSimWorld> MakeWorld(int devices);

// Every test starts closed with nothing installed and ends the same way.
class LibraryTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Installs the world (asserting success).
    void Install(const PdxSimWorld& world);
    // Installs `devices` default devices and opens them; asserts success.
    PdxKitHandle OpenDefault(int devices);
    // Opens whatever is installed; asserts success.
    PdxKitHandle Open();
};

// The record behind a handle (no check).
DeviceRecord* Record(PdxKitHandle handle);

// Waits until the record's queue holds at least `count` reports, driven by
// the report-available event. False on timeout.
bool WaitQueued(DeviceRecord* record, uint32_t count, DWORD timeout = kPatience);

// Waits until the record's reader has found pipe 0 gone, driven by the
// report-available event. False on timeout.
bool WaitGone(DeviceRecord* record, DWORD timeout = kPatience);

// Queue count read under the queue lock.
uint32_t QueueCount(DeviceRecord* record);

// Sends a 5-byte pipe-0 report whose pin value is `value` (report id 0) to
// the device's pipe-0 interface; returns the handles reached (on Windows
// every connected handle counts, the write handles too).
int SendPins(int device, uint32_t value, int iface = 0);

// Same report, and waits until the reader has queued it (the queue count
// reaches `expected_count`).
void SendPinsAndWait(PdxKitHandle handle, int device, uint32_t value, uint32_t expected_count);

uint32_t PinValue(const uint8_t* report);

// Runs any pending completion routines of this thread; true if one ran.
bool StrayCompletionPending();

// Sets a sentinel last-error value that no library path sets.
constexpr DWORD kSentinel = 0xDEADBEEF;
inline void SetSentinel() { SetLastError(kSentinel); }

#endif
