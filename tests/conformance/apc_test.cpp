// APCs (QueueUserAPC): run only in the target thread, only while it waits
// alertably, in queue order; the wait then returns WAIT_IO_COMPLETION. A
// signalled object wins over a queued APC (the order Wine implements).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pdx_win32.h"

namespace {

struct ApcLog {
    std::vector<ULONG_PTR> values;
    std::vector<DWORD> threads;
};

static ApcLog* g_log;

static VOID CALLBACK Record(ULONG_PTR value) {
    g_log->values.push_back(value);
    g_log->threads.push_back(GetCurrentThreadId());
}

struct Target {
    HANDLE ready;
    HANDLE go;
    DWORD non_alertable_result;
    size_t ran_after_non_alertable;
    DWORD sleep_result;
    DWORD id;
};

static DWORD WINAPI TargetThread(LPVOID param) {
    Target* t = (Target*)param;
    t->id = GetCurrentThreadId();
    SetEvent(t->ready);
    t->non_alertable_result = WaitForSingleObject(t->go, 10000);
    SleepEx(20, FALSE);
    t->ran_after_non_alertable = g_log->values.size();
    t->sleep_result = SleepEx(10000, TRUE);
    return 0;
}

TEST(Apcs, RunOnlyInTargetThreadDuringAlertableWait) {
    ApcLog log;
    g_log = &log;
    Target target = {};
    target.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    target.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, TargetThread, &target, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(target.ready, 10000), WAIT_OBJECT_0);
    EXPECT_NE(QueueUserAPC(Record, t, 11), 0u);
    EXPECT_NE(QueueUserAPC(Record, t, 22), 0u);
    // Our own alertable wait must not run APCs queued to another thread.
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    SetEvent(target.go);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(target.non_alertable_result, WAIT_OBJECT_0);
    EXPECT_EQ(target.ran_after_non_alertable, 0u) << "a non-alertable wait ran an APC";
    EXPECT_EQ(target.sleep_result, WAIT_IO_COMPLETION);
    ASSERT_EQ(log.values.size(), 2u) << "one alertable wait runs every queued APC";
    EXPECT_EQ(log.values[0], 11u);
    EXPECT_EQ(log.values[1], 22u);
    EXPECT_EQ(log.threads[0], target.id);
    EXPECT_EQ(log.threads[1], target.id);
    CloseHandle(t);
    CloseHandle(target.ready);
    CloseHandle(target.go);
}

struct SelfQueue {
    HANDLE self;
    HANDLE started;
    HANDLE signalled;
    DWORD wait_result;
    size_t ran_after_wait;
    DWORD sleep_result;
    DWORD timeout_result;
};

static DWORD WINAPI QueueToSelf(LPVOID param) {
    SelfQueue* q = (SelfQueue*)param;
    WaitForSingleObject(q->started, 10000);
    QueueUserAPC(Record, q->self, 5);
    q->wait_result = WaitForSingleObjectEx(q->signalled, 0, TRUE);
    q->ran_after_wait = g_log->values.size();
    q->sleep_result = SleepEx(0, TRUE);
    q->timeout_result = SleepEx(10, TRUE);
    return 0;
}

TEST(Apcs, SignalledObjectWinsOverQueuedApc) {
    ApcLog log;
    g_log = &log;
    SelfQueue q = {};
    q.started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    q.signalled = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    q.self = CreateThread(nullptr, 0, QueueToSelf, &q, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(q.self, (HANDLE) nullptr);
    ResumeThread(q.self);
    SetEvent(q.started);
    ASSERT_EQ(WaitForSingleObject(q.self, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(q.wait_result, WAIT_OBJECT_0);
    EXPECT_EQ(q.ran_after_wait, 0u);
    EXPECT_EQ(q.sleep_result, WAIT_IO_COMPLETION);
    EXPECT_EQ(log.values.size(), 1u);
    EXPECT_EQ(q.timeout_result, 0u) << "with nothing queued an alertable sleep just times out";
    CloseHandle(q.self);
    CloseHandle(q.started);
    CloseHandle(q.signalled);
}

struct AlertableWaiter {
    HANDLE ready;
    HANDLE never;
};

static DWORD WINAPI WaitAlertably(LPVOID param) {
    AlertableWaiter* w = (AlertableWaiter*)param;
    SetEvent(w->ready);
    return WaitForSingleObjectEx(w->never, 10000, TRUE);
}

TEST(Apcs, ApcEndsAlertableWaitOnUnsignalledObject) {
    ApcLog log;
    g_log = &log;
    AlertableWaiter w = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE t = CreateThread(nullptr, 0, WaitAlertably, &w, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(w.ready, 10000), WAIT_OBJECT_0);
    EXPECT_NE(QueueUserAPC(Record, t, 9), 0u);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, WAIT_IO_COMPLETION);
    EXPECT_EQ(log.values.size(), 1u);
    CloseHandle(t);
    CloseHandle(w.ready);
    CloseHandle(w.never);
}

TEST(Apcs, QueueToInvalidHandleFails) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(QueueUserAPC(Record, nullptr, 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
