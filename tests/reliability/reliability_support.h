// Shared ground of the reliability tests: simulated worlds, snapshots of
// everything a process can leak (runtime objects, descriptors, threads,
// simulator handles, heap), bounded calls that name what hung, and the
// scale of a run (shorter under sanitizers).
#ifndef PDXKIT_TESTS_RELIABILITY_SUPPORT_H
#define PDXKIT_TESTS_RELIABILITY_SUPPORT_H

#include <gtest/gtest.h>

#include <stdint.h>

#include <memory>
#include <string>
#include <thread>

#include "device_table.h"
#include "pdx_runtime.h"
#include "pdx_win32.h"
#include "pdxkit.h"
#include "pdxsim.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitized = true;
#else
constexpr bool kAddressSanitized = false;
#endif

// Slack for anything that should happen at once: generous, because the
// machine may be shared and the sanitizers slow everything down.
constexpr DWORD kPromptMs = kSanitized ? 20000 : 5000;

std::unique_ptr<PdxSimWorld> MakeWorld(int devices);

// Every test starts closed with nothing installed and ends the same way.
class ReliabilityTest : public ::testing::Test {
protected:
    void TearDown() override;
    void Install(const PdxSimWorld& world);
};

// What a process holds that the library could fail to give back.
struct Resources {
    PdxRtCounters runtime;
    int fds;            // /proc/self/fd
    int tasks;          // /proc/self/task
    int32_t live_sets;  // simulator device-information sets
    int32_t live_preparsed;
    uint32_t sim_handles;  // open handles on every simulated interface
    uint32_t modules;      // references held on the three HID libraries
    size_t heap_in_use;    // malloc'd bytes (0 under AddressSanitizer, which has its own)
};

Resources TakeResources();
// A snapshot to count from: taken once threads that just ended have left
// /proc (their handles are signalled a moment before their task is gone).
Resources SettledResources();
std::string Describe(const Resources& r);
// Compares what must come back exactly; the heap within `heap_slack` bytes.
// Threads and descriptors of ended threads may take a moment to vanish from
// /proc: waits for them (bounded), since there is no event to wait on.
::testing::AssertionResult SameResources(const Resources& before, size_t heap_slack = 0);

// A watchdog over one stretch of the calling thread: if it is not disarmed
// (destroyed) within `bound_ms`, it prints what hung and aborts the process,
// since a hung call cannot be undone. The guarded calls stay on the caller's
// thread, where completion routines and last-error values belong.
class Deadline {
public:
    Deadline(std::string what, DWORD bound_ms);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread watcher_;
};

// CPU time (user + system) of the whole process, in microseconds.
int64_t ProcessCpuMicros();

// Report of pipe 0 with `value` as its pin value.
int SendPins(int device, uint32_t value);
// A pipe-0 report of `value`, as the chip sends it and as writes set it.
void PinReport(uint32_t value, uint8_t report[5]);
uint32_t PinValue(const uint8_t* report);

// Seconds from the environment variable `name`, else `fallback`.
double EnvSeconds(const char* name, double fallback);

#endif
