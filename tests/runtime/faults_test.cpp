// Fault injection and call counts: skip/count semantics, the failure value
// of every injectable call, named faults, and counting of failed calls.
#include <gtest/gtest.h>

#include "pdx_runtime.h"

namespace {

class Faults : public ::testing::Test {
protected:
    void TearDown() override { pdxrt_clear_faults(); }
};

TEST_F(Faults, SkipThenCountThenSucceedAgain) {
    pdxrt_fail_call(PDXRT_CreateEventA, 1, 2, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(a, (HANDLE) nullptr);
    for (int i = 0; i < 2; i++) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), (HANDLE) nullptr);
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    }
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(b, (HANDLE) nullptr);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Faults, CountZeroFailsUntilCleared) {
    pdxrt_fail_call(PDXRT_CreateMutexA, 0, 0, ERROR_ACCESS_DENIED);
    for (int i = 0; i < 5; i++) EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), (HANDLE) nullptr);
    pdxrt_clear_faults();
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_NE(m, (HANDLE) nullptr);
    CloseHandle(m);
}

TEST_F(Faults, EveryCallReturnsItsFailureValue) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE heap = HeapCreate(0, 0, 0);
    void* block = HeapAlloc(heap, 0, 8);
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    OVERLAPPED ov = {};
    char buf[4];
    const DWORD err = 0x2345;
    for (int c = 0; c < PDXRT_CALL_COUNT; c++) pdxrt_fail_call((PdxRtCall)c, 0, 0, err);

    SetLastError(0);
    EXPECT_EQ(CreateFileA("/dev/null", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), err);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_FALSE(ReadFileEx(e, buf, 4, &ov, nullptr));
    EXPECT_FALSE(WriteFileEx(e, buf, 4, &ov, nullptr));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(e, &ov, &n, FALSE));
    EXPECT_FALSE(CancelIo(e));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), (HANDLE) nullptr);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_FALSE(ResetEvent(e));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), (HANDLE) nullptr);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObjectEx(e, 0, TRUE), WAIT_FAILED);
    EXPECT_EQ(SleepEx(INFINITE, TRUE), 0u) << "an injected SleepEx fault ends the sleep at once";
    EXPECT_EQ(CreateThread(
                  nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr),
              (HANDLE) nullptr);
    EXPECT_EQ(ResumeThread(e), (DWORD)-1);
    EXPECT_EQ(HeapCreate(0, 0, 0), (HANDLE) nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, 8), nullptr);
    EXPECT_FALSE(HeapFree(heap, 0, block));
    EXPECT_FALSE(HeapDestroy(heap));
    EXPECT_EQ(LoadLibraryA("kernel32.dll"), (HMODULE) nullptr);
    EXPECT_EQ(GetProcAddress(k32, "CancelIo"), (FARPROC) nullptr);
    EXPECT_FALSE(FreeLibrary(k32));
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), (HMODULE) nullptr);
    EXPECT_EQ(GetLastError(), err);

    pdxrt_clear_faults();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0) << "nothing was changed by the failed calls";
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_TRUE(HeapDestroy(heap));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(CloseHandle(m));
}

TEST_F(Faults, NamedFaultHitsOnlyThatName) {
    pdxrt_fail_named_call(PDXRT_GetModuleHandleA, "KERNEL32", ERROR_MOD_NOT_FOUND);
    pdxrt_fail_named_call(PDXRT_GetProcAddress, "CancelIo", ERROR_PROC_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), (HMODULE) nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    HMODULE k32 = LoadLibraryA("kernel32.dll");
    ASSERT_NE(k32, (HMODULE) nullptr) << "another call with the same name is unaffected";
    EXPECT_EQ(GetProcAddress(k32, "CancelIo"), (FARPROC) nullptr);
    EXPECT_NE(GetProcAddress(k32, "SetEvent"), (FARPROC) nullptr);
    FreeLibrary(k32);
}

TEST_F(Faults, CallsAreCountedWhetherTheyFailOrNot) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pdxrt_reset_call_counts();
    SetEvent(e);
    SetEvent(e);
    pdxrt_fail_call(PDXRT_SetEvent, 0, 1, ERROR_GEN_FAILURE);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 3u);
    EXPECT_EQ(pdxrt_call_count(PDXRT_ResetEvent), 0u);
    WaitForSingleObject(e, 0);
    EXPECT_EQ(pdxrt_call_count(PDXRT_WaitForSingleObject), 1u);
    EXPECT_EQ(pdxrt_call_count(PDXRT_WaitForSingleObjectEx), 0u) << "each entry point counts alone";
    pdxrt_reset_call_counts();
    EXPECT_EQ(pdxrt_call_count(PDXRT_SetEvent), 0u);
    CloseHandle(e);
}

TEST(Counters, TrackLiveObjects) {
    PdxRtCounters a, b, c;
    pdxrt_get_counters(&a);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr);
    HANDLE heap = HeapCreate(0, 0, 0);
    HeapAlloc(heap, 0, 10);
    HeapAlloc(heap, 0, 10);
    pdxrt_get_counters(&b);
    EXPECT_EQ(b.handles, a.handles + 3);
    EXPECT_EQ(b.events, a.events + 1);
    EXPECT_EQ(b.mutexes, a.mutexes + 1);
    EXPECT_EQ(b.threads, a.threads + 1);
    EXPECT_EQ(b.running_threads, a.running_threads + 1);
    EXPECT_EQ(b.heaps, a.heaps + 1);
    EXPECT_EQ(b.heap_blocks, a.heap_blocks + 2);
    EXPECT_TRUE(TerminateThread(t, 0));
    HeapDestroy(heap);
    CloseHandle(e);
    CloseHandle(m);
    CloseHandle(t);
    pdxrt_get_counters(&c);
    EXPECT_EQ(c.handles, a.handles);
    EXPECT_EQ(c.events, a.events);
    EXPECT_EQ(c.mutexes, a.mutexes);
    EXPECT_EQ(c.threads, a.threads);
    EXPECT_EQ(c.running_threads, a.running_threads);
    EXPECT_EQ(c.heaps, a.heaps);
    EXPECT_EQ(c.heap_blocks, a.heap_blocks) << "HeapDestroy freed the blocks";
}

}  // namespace
