// Opening with exactly one failure: every platform call that opening and
// discovery make, failing at its 1st, 2nd, ... occurrence, and every fault
// of the HID stack. Opening then either succeeds or fails with
// ERROR_DEV_NOT_EXIST; either way nothing is leaked, closing returns, and
// the next open (faults cleared) works.
#include <string.h>

#include <string>

#include "reliability_support.h"

namespace {

struct CallKind {
    PdxRtCall call;
    const char* name;
    DWORD error;
    // Releasing calls: when one fails, the one object it should have
    // released stays, which no caller can prevent.
    bool releases;
};

const CallKind kCallKinds[] = {
    {PDXRT_CreateFileA, "CreateFileA", ERROR_ACCESS_DENIED, false},
    {PDXRT_CloseHandle, "CloseHandle", ERROR_INVALID_HANDLE, true},
    {PDXRT_ReadFileEx, "ReadFileEx", ERROR_GEN_FAILURE, false},
    {PDXRT_WriteFileEx, "WriteFileEx", ERROR_GEN_FAILURE, false},
    {PDXRT_GetOverlappedResult, "GetOverlappedResult", ERROR_GEN_FAILURE, false},
    {PDXRT_CancelIo, "CancelIo", ERROR_NOT_FOUND, false},
    {PDXRT_CreateEventA, "CreateEventA", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_SetEvent, "SetEvent", ERROR_INVALID_HANDLE, false},
    {PDXRT_ResetEvent, "ResetEvent", ERROR_INVALID_HANDLE, false},
    {PDXRT_CreateMutexA, "CreateMutexA", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_ReleaseMutex, "ReleaseMutex", ERROR_NOT_OWNER, false},
    {PDXRT_WaitForSingleObject, "WaitForSingleObject", ERROR_INVALID_HANDLE, false},
    {PDXRT_WaitForSingleObjectEx, "WaitForSingleObjectEx", ERROR_INVALID_HANDLE, false},
    {PDXRT_SleepEx, "SleepEx", ERROR_GEN_FAILURE, false},
    {PDXRT_CreateThread, "CreateThread", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_ResumeThread, "ResumeThread", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_HeapCreate, "HeapCreate", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_HeapAlloc, "HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, false},
    {PDXRT_HeapFree, "HeapFree", ERROR_INVALID_PARAMETER, true},
    {PDXRT_HeapDestroy, "HeapDestroy", ERROR_INVALID_HANDLE, true},
    {PDXRT_LoadLibraryA, "LoadLibraryA", ERROR_MOD_NOT_FOUND, false},
    {PDXRT_GetProcAddress, "GetProcAddress", ERROR_PROC_NOT_FOUND, false},
    {PDXRT_FreeLibrary, "FreeLibrary", ERROR_INVALID_HANDLE, true},
    {PDXRT_GetModuleHandleA, "GetModuleHandleA", ERROR_MOD_NOT_FOUND, false},
};
// Parameters print by name in test listings and failures.
void PrintTo(const CallKind& kind, std::ostream* out) { *out << kind.name; }

static_assert(sizeof(kCallKinds) / sizeof(kCallKinds[0]) == PDXRT_CALL_COUNT, "every call kind is swept");

constexpr int kFamilyDevices = 2;
// Allocator noise of one run (test bookkeeping, arenas), far below what the
// objects of one device would take.
constexpr size_t kHeapSlack = 16 * 1024;

// Two family devices (both products) and a foreign one, so that discovery
// walks its keep and its reject paths.
std::unique_ptr<PdxSimWorld> SweepWorld() {
    auto world = MakeWorld(kFamilyDevices + 1);
    world->device[0].product_id = PDXSIM_PRODUCT_A;
    world->device[kFamilyDevices].vendor_id = 0x046D;
    world->device[kFamilyDevices].product_id = 0xC52B;
    return world;
}

class OpenFaultsTest : public ReliabilityTest {
protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        world_ = SweepWorld();
        Install(*world_);
        // First use sets up what stays for the process (this thread's
        // runtime state, the simulator's service thread).
        ASSERT_NE(nullptr, PdxKitOpenDevice());
        PdxKitCloseDevice(nullptr);
        Quiesce();
        baseline_ = SettledResources();
    }

    // Installing afresh closes the simulator's ends of handles the library
    // closed, which the simulator may not have noticed yet.
    void Quiesce() { ASSERT_EQ(1, pdxsim_install(world_.get())); }

    // Installs a changed copy of the sweep world; the copy is gone again
    // before anything is counted.
    template <typename Change>
    void InstallVariant(Change change) {
        std::unique_ptr<PdxSimWorld> variant(new PdxSimWorld(*world_));
        change(variant.get());
        ASSERT_EQ(1, pdxsim_install(variant.get()));
    }

    // Opens under whatever fault is armed and classifies the outcome.
    // Returns true when opening succeeded.
    bool OpenOnce(const std::string& what) {
        SetLastError(0xDEADBEEF);
        PdxKitHandle handle;
        {
            Deadline deadline("PdxKitOpenDevice with " + what, kPromptMs);
            handle = PdxKitOpenDevice();
        }
        const DWORD error = GetLastError();
        pdxrt_clear_faults();
        if (handle) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error) << what;
            EXPECT_EQ(&g_device_table[0], handle) << what;
            EXPECT_GE(PdxKitGetNumDevs(), 1u) << what;
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_DEV_NOT_EXIST), error) << what;
            EXPECT_EQ(0u, PdxKitGetNumDevs()) << what;
        }
        {
            Deadline deadline("PdxKitCloseDevice after " + what, kPromptMs);
            PdxKitCloseDevice(handle);
        }
        return handle != nullptr;
    }

    // After a faulted open: nothing held, and a clean open finds every
    // device and gives everything back again.
    void ExpectRecovered(const std::string& what, bool release_failed) {
        Quiesce();
        if (release_failed) {
            // The object whose release failed stays; nothing else may.
            const Resources now = SettledResources();
            EXPECT_LE(now.runtime.handles, baseline_.runtime.handles + 1) << what << "\n" << Describe(now);
            EXPECT_LE(now.runtime.heaps, baseline_.runtime.heaps + 1) << what;
            EXPECT_LE(now.modules, baseline_.modules + 1) << what;
            EXPECT_EQ(baseline_.runtime.threads, now.runtime.threads) << what;
            EXPECT_EQ(baseline_.live_sets, now.live_sets) << what;
            EXPECT_EQ(baseline_.live_preparsed, now.live_preparsed) << what;
            baseline_ = now;
        } else {
            EXPECT_TRUE(SameResources(baseline_, kHeapSlack)) << what;
        }
        {
            Deadline deadline("clean PdxKitOpenDevice after " + what, kPromptMs);
            EXPECT_NE(nullptr, PdxKitOpenDevice()) << what << ": open after the fault failed with " << GetLastError();
        }
        EXPECT_EQ(static_cast<uint32_t>(kFamilyDevices), PdxKitGetNumDevs()) << what;
        {
            Deadline deadline("clean PdxKitCloseDevice after " + what, kPromptMs);
            PdxKitCloseDevice(nullptr);
        }
        Quiesce();
        EXPECT_TRUE(SameResources(baseline_, kHeapSlack)) << what << " (clean open and close)";
    }

    std::unique_ptr<PdxSimWorld> world_;
    Resources baseline_;
};

class PlatformCallFaultTest : public OpenFaultsTest, public ::testing::WithParamInterface<CallKind> {};

TEST_P(PlatformCallFaultTest, EachOccurrenceFailingAloneLeavesNothingBehind) {
    const CallKind kind = GetParam();
    // How often a clean open makes the call. The readers it starts make
    // calls of their own at their own pace; those that fall inside this
    // count are swept too, by chance. How a reader copes with a failed read
    // or wait is tested with the reader itself.
    pdxrt_reset_call_counts();
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    const DWORD calls = pdxrt_call_count(kind.call);
    PdxKitCloseDevice(nullptr);
    Quiesce();
    if (calls == 0) GTEST_SKIP() << kind.name << " is not called by opening";

    int succeeded = 0;
    int failed = 0;
    for (DWORD k = 0; k < calls; ++k) {
        const std::string what =
            std::string(kind.name) + " failing at call " + std::to_string(k + 1) + " of " + std::to_string(calls);
        pdxrt_reset_call_counts();
        pdxrt_fail_call(kind.call, k, 1, kind.error);
        const bool opened = OpenOnce(what);
        (opened ? succeeded : failed)++;
        ExpectRecovered(what, kind.releases);
        if (HasFailure()) break;
    }
    RecordProperty("calls", static_cast<int>(calls));
    RecordProperty("opened", succeeded);
    RecordProperty("refused", failed);
}

std::string CallKindName(const ::testing::TestParamInfo<CallKind>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EveryCall, PlatformCallFaultTest, ::testing::ValuesIn(kCallKinds), CallKindName);

// ---- Faults of the HID stack --------------------------------------------

struct InterfaceFault {
    const char* name;
    void (*arm)(PdxSimInterfaceFaults*);
};

const InterfaceFault kInterfaceFaults[] = {
    {"DetailSizeZero", [](PdxSimInterfaceFaults* f) { f->detail_size_zero = 1; }},
    {"OpenForIoRefused", [](PdxSimInterfaceFaults* f) { f->open_rw_refused = 1; }},
    {"OpenRefused", [](PdxSimInterfaceFaults* f) { f->open_refused = 1; }},
    {"AttributesFail", [](PdxSimInterfaceFaults* f) { f->attributes_fail = 1; }},
    {"PreparsedFail", [](PdxSimInterfaceFaults* f) { f->preparsed_fail = 1; }},
    {"CapsFail", [](PdxSimInterfaceFaults* f) { f->caps_fail = 1; }},
    {"ParentOfInterfaceFails", [](PdxSimInterfaceFaults* f) { f->parent_fail_step = 1; }},
    {"ParentOfParentFails", [](PdxSimInterfaceFaults* f) { f->parent_fail_step = 2; }},
    {"SerialFail", [](PdxSimInterfaceFaults* f) { f->serial_fail = 1; }},
    {"String0Fail", [](PdxSimInterfaceFaults* f) { f->string0_fail = 1; }},
    {"DetailFillFail", [](PdxSimInterfaceFaults* f) { f->detail_fill_fail = 1; }},
    {"InputBuffersFail", [](PdxSimInterfaceFaults* f) { f->input_buffers_fail = 1; }},
};

void PrintTo(const InterfaceFault& fault, std::ostream* out) { *out << fault.name; }

class InterfaceFaultTest : public OpenFaultsTest, public ::testing::WithParamInterface<InterfaceFault> {};

TEST_P(InterfaceFaultTest, OnEveryInterfaceLeavesNothingBehind) {
    const InterfaceFault fault = GetParam();
    for (int d = 0; d < world_->device_count; ++d) {
        for (int i = 0; i < world_->device[d].interface_count; ++i) {
            const std::string what =
                std::string(fault.name) + " on device " + std::to_string(d) + " interface " + std::to_string(i);
            InstallVariant([&](PdxSimWorld* w) { fault.arm(&w->device[d].iface[i].faults); });
            OpenOnce(what);
            ExpectRecovered(what, false);
            if (HasFailure()) return;
        }
    }
}

std::string InterfaceFaultName(const ::testing::TestParamInfo<InterfaceFault>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EveryFault, InterfaceFaultTest, ::testing::ValuesIn(kInterfaceFaults), InterfaceFaultName);

TEST_F(OpenFaultsTest, WorldFaultsLeaveNothingBehind) {
    struct Case {
        std::string what;
        PdxSimWorldFaults faults;
    };
    std::vector<Case> cases;
    PdxSimWorldFaults none = world_->faults;
    {
        Case c{"device information set refused", none};
        c.faults.class_devs_fail = 1;
        cases.push_back(c);
    }
    int interfaces = 0;
    for (int d = 0; d < world_->device_count; ++d) interfaces += world_->device[d].interface_count;
    for (int index = 0; index <= interfaces; ++index) {
        Case c{"enumeration failing at member " + std::to_string(index), none};
        c.faults.enum_fail_index = index;
        c.faults.enum_fail_error = ERROR_GEN_FAILURE;
        cases.push_back(c);
    }
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        Case c{std::string(pdxsim_library_name(static_cast<PdxSimLibrary>(lib))) + " missing", none};
        c.faults.missing_library[lib] = 1;
        cases.push_back(c);
    }
    for (int entry = 0; entry < PDXSIM_ENTRY_COUNT; ++entry) {
        Case c{std::string(pdxsim_entry_name(static_cast<PdxSimEntry>(entry))) + " not exported", none};
        c.faults.missing_entry[entry] = 1;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        InstallVariant([&](PdxSimWorld* w) { w->faults = c.faults; });
        OpenOnce(c.what);
        ExpectRecovered(c.what, false);
        if (HasFailure()) return;
    }
}

}  // namespace
