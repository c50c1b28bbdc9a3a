// Threads the runtime did not create, and thread edge cases that only the
// POSIX runtime defines: TerminateThread of a running thread is refused,
// APCs queued before a suspended thread starts run first, a thread that
// ended accepts no APC and drops what was queued.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "raw_channel.h"

namespace {

TEST(ForeignThreads, AlertableIoWorksInThreadNotCreatedByRuntime) {
    RawChannel ch;
    ASSERT_TRUE(OpenRawChannel(&ch));
    std::atomic<DWORD> wait_result{0};
    std::atomic<size_t> routines{0};
    HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread foreign([&] {
        char buf[8];
        OVERLAPPED ov = {};
        ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion);
        SetEvent(issued);
        wait_result = SleepEx(10000, TRUE);
        routines = CompletionLog().size();
    });
    ASSERT_EQ(WaitForSingleObject(issued, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(SendReport(&ch, "hi", 2));
    foreign.join();
    EXPECT_EQ(wait_result.load(), WAIT_IO_COMPLETION);
    EXPECT_EQ(routines.load(), 1u);
    CloseHandle(issued);
    CloseRawChannel(&ch);
}

static DWORD WINAPI Spin(LPVOID param) {
    WaitForSingleObject((HANDLE)param, 10000);
    return 3;
}

TEST(Threads, TerminateRunningThreadIsRefused) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, Spin, stop, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(t, 1));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetEvent(stop);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 3u) << "the thread ran to its end";
    CloseHandle(t);
    CloseHandle(stop);
}

static std::atomic<int> g_order{0};
static std::atomic<int> g_apc_at{-1};
static VOID CALLBACK MarkApc(ULONG_PTR) { g_apc_at = g_order++; }
static DWORD WINAPI MarkStart(LPVOID) { return (DWORD)g_order++; }

TEST(Threads, ApcQueuedBeforeStartRunsBeforeRoutine) {
    HANDLE t = CreateThread(nullptr, 0, MarkStart, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(QueueUserAPC(MarkApc, t, 0), 0u);
    ResumeThread(t);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(g_apc_at.load(), 0);
    EXPECT_EQ(code, 1u);
    CloseHandle(t);
}

static VOID CALLBACK NeverRuns(ULONG_PTR flag) { *(int*)flag = 1; }

TEST(Threads, EndedThreadTakesNoApcAndDropsQueuedOnes) {
    PdxRtCounters before, after;
    pdxrt_get_counters(&before);
    int ran = 0;
    HANDLE t = CreateThread(nullptr, 0, MarkStart, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(QueueUserAPC(NeverRuns, t, (ULONG_PTR)&ran), 0u);
    EXPECT_TRUE(TerminateThread(t, 0));
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.queued_apcs, before.queued_apcs);
    SetLastError(0);
    EXPECT_EQ(QueueUserAPC(NeverRuns, t, (ULONG_PTR)&ran), 0u);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(ran, 0);
    CloseHandle(t);
}

TEST(Threads, NonAlertableWaitKeepsRoutineForLater) {
    RawChannel ch;
    ASSERT_TRUE(OpenRawChannel(&ch));
    CompletionLog().clear();
    char buf[8];
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    ASSERT_TRUE(SendReport(&ch, "a", 1));
    DWORD n;
    ASSERT_TRUE(GetOverlappedResult(ch.host, &ov, &n, TRUE));
    Sleep(1);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(CompletionLog().empty());
    EXPECT_EQ(WaitForSingleObjectEx(e, 10000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(CompletionLog().size(), 1u);
    CloseHandle(e);
    CloseRawChannel(&ch);
}

}  // namespace
