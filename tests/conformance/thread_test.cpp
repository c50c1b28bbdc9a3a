// Threads: suspended creation and resume counts, exit codes, signalled
// handles, thread ids, disposing of a never-started thread, and the
// last-error value kept per thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pdx_win32.h"

namespace {

struct Probe {
    std::atomic<int> ran{0};
    std::atomic<DWORD> id{0};
};

static DWORD WINAPI RecordAndReturn(LPVOID param) {
    Probe* p = (Probe*)param;
    p->id = GetCurrentThreadId();
    p->ran = 1;
    return 17;
}

static DWORD WINAPI ExitWithCode(LPVOID param) {
    ExitThread((DWORD)(uintptr_t)param);
    return 0;  // not reached
}

static DWORD WINAPI TakeGate(LPVOID param) { return WaitForSingleObject((HANDLE)param, 10000); }

TEST(Threads, CreatedSuspendedRunsOnlyAfterResume) {
    Probe probe;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, RecordAndReturn, &probe, CREATE_SUSPENDED, &id);
    ASSERT_NE(t, (HANDLE) nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_EQ(probe.ran.load(), 0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(t), 1u) << "previous suspend count";
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.ran.load(), 1);
    EXPECT_EQ(probe.id.load(), id);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 17u);
    EXPECT_EQ(ResumeThread(t), 0u) << "a thread that is not suspended has count 0";
    EXPECT_TRUE(CloseHandle(t));
}

TEST(Threads, ExitThreadSetsExitCode) {
    HANDLE t = CreateThread(nullptr, 0, ExitWithCode, (LPVOID)(uintptr_t)42, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    CloseHandle(t);
}

TEST(Threads, TerminateNeverStartedThreadDoesNotRunIt) {
    Probe probe;
    HANDLE t = CreateThread(nullptr, 0, RecordAndReturn, &probe, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    EXPECT_TRUE(TerminateThread(t, 7));
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(probe.ran.load(), 0);
    CloseHandle(t);
}

TEST(Threads, IdsDifferBetweenThreads) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(Threads, WaitOnThreadHandleFromSeveralThreads) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, TakeGate, gate, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    std::atomic<DWORD> seen{0xdeadbeef};
    std::thread watcher([&] { seen = WaitForSingleObject(t, 10000); });
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    watcher.join();
    EXPECT_EQ(seen.load(), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(gate);
}

struct ErrorPingPong {
    HANDLE set;
    HANDLE check;
    DWORD seen;
};

static DWORD WINAPI SetOwnError(LPVOID param) {
    ErrorPingPong* p = (ErrorPingPong*)param;
    SetLastError(5678);
    SetEvent(p->set);
    WaitForSingleObject(p->check, 10000);
    p->seen = GetLastError();
    SetLastError(9999);
    return 0;
}

// Threads interleave their SetLastError calls; each sees only its own value.
// (Successful SetEvent and waits leave the value alone on both targets.)
TEST(LastError, IsPerThread) {
    ErrorPingPong p = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    HANDLE t = CreateThread(nullptr, 0, SetOwnError, &p, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(p.set, 10000), WAIT_OBJECT_0);
    SetLastError(1234);
    SetEvent(p.check);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(p.seen, 5678u);
    CloseHandle(t);
    CloseHandle(p.set);
    CloseHandle(p.check);
}

static DWORD WINAPI ReportError(LPVOID) { return GetLastError(); }

TEST(LastError, FreshThreadStartsAtZero) {
    SetLastError(1234);
    HANDLE t = CreateThread(nullptr, 0, ReportError, nullptr, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD start = 0xdeadbeef;
    GetExitCodeThread(t, &start);
    EXPECT_EQ(start, 0u);
    CloseHandle(t);
}

}  // namespace
