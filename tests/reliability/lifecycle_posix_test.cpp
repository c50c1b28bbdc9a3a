// Many cycles of open, traffic and close: everything a cycle takes (runtime
// objects, descriptors, threads, simulator handles, heap) comes back, so a
// long-running application that reopens its devices does not slowly leak.
// LeakSanitizer covers the heap in the AddressSanitizer build.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "reliability_support.h"

namespace {

// glibc keeps freed blocks in per-thread caches that mallinfo2 counts as in
// use, and which blocks sit there depends on how the threads happened to
// interleave: up to some 16 KB either way between two counts. The heap
// counts below are only exact with those caches off, which glibc reads from
// the environment at start, so the program starts itself once more with it.
const bool kThreadCachesOff = [] {
    const char* kTunable = "glibc.malloc.tcache_count=0";
    const char* tunables = getenv("GLIBC_TUNABLES");
    if (kAddressSanitized || (tunables && strstr(tunables, kTunable))) return true;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<char*> argv;
    for (size_t at = 0; at < all.size(); at += strlen(&all[at]) + 1) argv.push_back(&all[at]);
    argv.push_back(nullptr);
    setenv("GLIBC_TUNABLES", kTunable, 1);
    execv("/proc/self/exe", argv.data());
    return false;  // exec failed: the counts below may then be off by the caches
}();

#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 150;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 300;
#else
constexpr int kCycles = 1000;
#endif
constexpr int kDevices = 2;
constexpr int kCheckEvery = 100;
// Cycles before the count starts: allocator arenas and caches settle.
constexpr int kWarmUpCycles = 20;
// Bytes the allocator may report in use beyond the start: far less than a
// leak of a few bytes per cycle would add up to.
constexpr size_t kHeapSlack = 8 * 1024;

class LifecycleTest : public ReliabilityTest {
protected:
    // One cycle; every step is checked, so a cycle that silently stops
    // moving data fails as well as one that leaks.
    void Cycle(uint32_t cycle) {
        PdxKitHandle first = PdxKitOpenDevice();
        ASSERT_NE(nullptr, first) << "cycle " << cycle << ": open failed with " << GetLastError();
        ASSERT_EQ(static_cast<uint32_t>(kDevices), PdxKitGetNumDevs());
        for (int d = 0; d < kDevices; ++d) {
            PdxKitHandle handle = PdxKitGetDeviceHandle(d + 1);
            ASSERT_NE(0u, PdxKitGetThreadHandle(handle));
            ASSERT_EQ(1, PdxKitSetTimeout(handle, kPromptMs));
            ASSERT_EQ(1, PdxKitSetWriteTimeout(handle, kPromptMs));

            const uint32_t value = cycle * 16 + d;
            ASSERT_EQ(1, SendPins(d, value));
            uint8_t report[5];
            ASSERT_EQ(5u, PdxKitRead(handle, 0, report, sizeof(report))) << "error " << GetLastError();
            EXPECT_EQ(value, PinValue(report));

            const uint8_t latches[5] = {0, 0x5A, static_cast<uint8_t>(cycle), 0, 0};
            ASSERT_EQ(5u, PdxKitWrite(handle, 0, latches, sizeof(latches))) << "error " << GetLastError();
            uint8_t identify[65] = {0, PDXSIM_CMD_IDENTIFY};
            ASSERT_EQ(65u, PdxKitWrite(handle, 1, identify, sizeof(identify))) << "error " << GetLastError();
            uint8_t reply[65];
            ASSERT_EQ(65u, PdxKitRead(handle, 1, reply, sizeof(reply))) << "error " << GetLastError();
            EXPECT_EQ(PDXSIM_CMD_IDENTIFY, reply[1]);

            uint32_t pins = 0;
            PdxKitReadImmediate(handle, &pins);
            EXPECT_EQ(1, PdxKitCancelIo(handle, 1));
        }
        PdxKitCloseDevice(first);
        ASSERT_EQ(0u, PdxKitGetNumDevs());
        // The simulator keeps logs and per-handle records that grow with
        // every open and write until it is installed afresh; reinstalled each
        // cycle, its memory does not pass for a leak of ours.
        ASSERT_EQ(1, pdxsim_install(world_.get()));
    }

    std::unique_ptr<PdxSimWorld> world_ = MakeWorld(kDevices);
};

TEST_F(LifecycleTest, OpenTrafficCloseCyclesGiveEverythingBack) {
    Install(*world_);
    // The first cycles set up what stays for the process: the simulator's
    // service thread and logs, this thread's runtime state, allocator arenas.
    for (int cycle = 0; cycle < kWarmUpCycles; ++cycle) {
        Cycle(0);
        if (HasFatalFailure()) return;
    }
    const Resources start = SettledResources();
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        Cycle(cycle);
        if (HasFatalFailure()) return;
        if (cycle % kCheckEvery == 0 || cycle == kCycles) {
            ASSERT_TRUE(SameResources(start, kHeapSlack)) << "after cycle " << cycle;
        }
    }
    const Resources end = TakeResources();
    RecordProperty("resources_start", Describe(start));
    RecordProperty("resources_end", Describe(end));
    printf("%d cycles; start: %s\n  end: %s\n", kCycles, Describe(start).c_str(), Describe(end).c_str());
}

TEST_F(LifecycleTest, FailedOpensGiveEverythingBack) {
    // Nothing of the family attached, then a world whose libraries cannot
    // be bound: each failed open leaves nothing behind either. Installing
    // afresh before each count closes the simulator's ends of the handles
    // discovery closed, which it otherwise notices only later.
    auto world = MakeWorld(1);
    world->device[0].vendor_id = 0x1234;
    Install(*world);
    for (int cycle = 0; cycle < kWarmUpCycles; ++cycle) ASSERT_EQ(nullptr, PdxKitOpenDevice());
    Install(*world);
    const Resources start = SettledResources();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SetLastError(0);
        ASSERT_EQ(nullptr, PdxKitOpenDevice());
        ASSERT_EQ(static_cast<DWORD>(ERROR_DEV_NOT_EXIST), GetLastError());
        PdxKitCloseDevice(nullptr);
    }
    Install(*world);
    EXPECT_TRUE(SameResources(start, kHeapSlack));
    world->faults.missing_library[PDXSIM_LIB_SETUPAPI] = 1;
    Install(*world);
    for (int cycle = 0; cycle < kWarmUpCycles; ++cycle) ASSERT_EQ(nullptr, PdxKitOpenDevice());
    Install(*world);
    const Resources unbound = SettledResources();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SetLastError(0);
        ASSERT_EQ(nullptr, PdxKitOpenDevice());
        ASSERT_EQ(static_cast<DWORD>(ERROR_DEV_NOT_EXIST), GetLastError());
    }
    Install(*world);
    EXPECT_TRUE(SameResources(unbound, kHeapSlack));
}

}  // namespace
