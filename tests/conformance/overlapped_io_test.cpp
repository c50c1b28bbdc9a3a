// Overlapped reads and writes with completion routines over a connected
// device channel: pending status, routines only in the issuing thread and
// only in alertable waits, FIFO completion, GetOverlappedResult with and
// without waiting, and the scope of CancelIo.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device_channel.h"

namespace {

struct Completion {
    DWORD error;
    DWORD bytes;
    LPOVERLAPPED ov;
    DWORD thread;
};

// Each thread records the routines that run in it.
static thread_local std::vector<Completion>* g_done;

static VOID CALLBACK OnDone(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
    g_done->push_back(Completion{error, bytes, ov, GetCurrentThreadId()});
}

class OverlappedIo : public ::testing::Test {
protected:
    void SetUp() override {
        g_done = &done;
        ch = OpenDeviceChannel();
        ASSERT_NE(ch, nullptr);
        host = HostHandle(ch);
    }
    void TearDown() override {
        if (ch) CloseDeviceChannel(ch, !host_closed);
        g_done = nullptr;
    }
    // Alertable sleeps until `count` routines have run in this thread.
    void RunRoutines(size_t count) {
        for (int i = 0; i < 50 && done.size() < count; i++) SleepEx(200, TRUE);
    }

    std::vector<Completion> done;
    DeviceChannel* ch = nullptr;
    HANDLE host = INVALID_HANDLE_VALUE;
    bool host_closed = false;
};

TEST_F(OverlappedIo, ReadIsPendingUntilDataComes) {
    char buf[16] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone));
    EXPECT_EQ((DWORD)ov.Internal, (DWORD)STATUS_PENDING);
    DWORD n = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOverlappedResult(host, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(SleepEx(20, TRUE), 0u) << "nothing completed yet";
    EXPECT_TRUE(done.empty());
    CancelIo(host);
    RunRoutines(1);
}

TEST_F(OverlappedIo, RoutineRunsOnlyInAlertableWaitOfIssuer) {
    char buf[16] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone));
    ASSERT_TRUE(DeviceSend(ch, "abc", 3));
    EXPECT_EQ(SleepEx(50, FALSE), 0u);
    HANDLE signalled = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(signalled, 0), WAIT_OBJECT_0);
    CloseHandle(signalled);
    EXPECT_TRUE(done.empty()) << "a routine ran outside an alertable wait";
    std::atomic<DWORD> other{0xdeadbeef};
    std::thread([&] { other = SleepEx(50, TRUE); }).join();
    EXPECT_EQ(other.load(), 0u) << "another thread's alertable wait ended by our request";
    EXPECT_TRUE(done.empty());
    EXPECT_EQ(SleepEx(10000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].error, 0u);
    EXPECT_EQ(done[0].bytes, 3u);
    EXPECT_EQ(done[0].ov, &ov);
    EXPECT_EQ(done[0].thread, GetCurrentThreadId());
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);
    EXPECT_EQ((DWORD)ov.Internal, (DWORD)STATUS_SUCCESS);
    EXPECT_EQ((DWORD)ov.InternalHigh, 3u);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(host, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
}

TEST_F(OverlappedIo, CompletionEndsAlertableWaitOnObject) {
    char buf[16] = {};
    OVERLAPPED ov = {};
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone));
    ASSERT_TRUE(DeviceSend(ch, "xy", 2));
    EXPECT_EQ(WaitForSingleObjectEx(never, 10000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].bytes, 2u);
    CloseHandle(never);
}

TEST_F(OverlappedIo, ReadsCompleteInIssueOrder) {
    char a[8] = {}, b[8] = {};
    OVERLAPPED ova = {}, ovb = {};
    ASSERT_TRUE(ReadFileEx(host, a, sizeof(a), &ova, OnDone));
    ASSERT_TRUE(ReadFileEx(host, b, sizeof(b), &ovb, OnDone));
    ASSERT_TRUE(DeviceSend(ch, "1", 1));
    ASSERT_TRUE(DeviceSend(ch, "22", 2));
    RunRoutines(2);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].ov, &ova);
    EXPECT_EQ(done[1].ov, &ovb);
    EXPECT_EQ(a[0], '1');
    EXPECT_EQ(done[1].bytes, 2u);
    EXPECT_EQ(memcmp(b, "22", 2), 0);
}

TEST_F(OverlappedIo, DataAlreadyThereStillCompletesThroughRoutine) {
    ASSERT_TRUE(DeviceSend(ch, "now", 3));
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone)) << "issued as a pending request";
    EXPECT_TRUE(done.empty());
    EXPECT_EQ(SleepEx(10000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].bytes, 3u);
}

TEST_F(OverlappedIo, WriteCompletesThroughRoutine) {
    OVERLAPPED ov = {};
    const char msg[] = "hello";
    ASSERT_TRUE(WriteFileEx(host, msg, 5, &ov, OnDone));
    RunRoutines(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].error, 0u);
    EXPECT_EQ(done[0].bytes, 5u);
    EXPECT_EQ(done[0].ov, &ov);
    char got[16] = {};
    DWORD n = 0;
    ASSERT_TRUE(DeviceReceive(ch, got, sizeof(got), &n, 10000));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(memcmp(got, "hello", 5), 0);
    EXPECT_TRUE(GetOverlappedResult(host, &ov, &n, FALSE));
    EXPECT_EQ(n, 5u);
}

TEST_F(OverlappedIo, GetOverlappedResultWaitsWithoutRunningRoutine) {
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone));
    std::thread device([&] { DeviceSend(ch, "late", 4); });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(host, &ov, &n, TRUE));
    device.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(memcmp(buf, "late", 4), 0);
    EXPECT_TRUE(done.empty()) << "GetOverlappedResult is not an alertable wait";
    EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(done.size(), 1u);
}

struct OtherIssuer {
    HANDLE host;
    HANDLE issued;
    HANDLE go;
    char buf[8];
    OVERLAPPED ov;
    DWORD sleep_result;
    std::vector<Completion> done;
};

static DWORD WINAPI IssueAndWait(LPVOID param) {
    OtherIssuer* o = (OtherIssuer*)param;
    g_done = &o->done;
    ReadFileEx(o->host, o->buf, sizeof(o->buf), &o->ov, OnDone);
    SetEvent(o->issued);
    WaitForSingleObject(o->go, 10000);
    o->sleep_result = SleepEx(10000, TRUE);
    return 0;
}

TEST_F(OverlappedIo, CancelIoCancelsOnlyCallingThreadsRequests) {
    OtherIssuer other = {};
    other.host = host;
    other.issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    other.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, IssueAndWait, &other, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(other.issued, 10000), WAIT_OBJECT_0);

    std::vector<Completion>& mine = done;
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(host, buf, sizeof(buf), &ov, OnDone));
    EXPECT_TRUE(CancelIo(host));
    EXPECT_EQ(SleepEx(10000, TRUE), WAIT_IO_COMPLETION);
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(mine[0].bytes, 0u);
    EXPECT_EQ(mine[0].ov, &ov);
    DWORD n = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOverlappedResult(host, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    // The other thread's read is still pending and gets the next message.
    ASSERT_TRUE(DeviceSend(ch, "kept", 4));
    SetEvent(other.go);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(other.sleep_result, WAIT_IO_COMPLETION);
    ASSERT_EQ(other.done.size(), 1u);
    EXPECT_EQ(other.done[0].error, 0u);
    EXPECT_EQ(other.done[0].bytes, 4u);
    EXPECT_EQ(memcmp(other.buf, "kept", 4), 0);
    CloseHandle(t);
    CloseHandle(other.issued);
    CloseHandle(other.go);
}

TEST_F(OverlappedIo, CancelIoWithNothingOutstandingSucceeds) {
    EXPECT_TRUE(CancelIo(host));
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
}

TEST_F(OverlappedIo, InvalidHandleIsRefused) {
    char buf[4];
    OVERLAPPED ov = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFileEx(nullptr, buf, sizeof(buf), &ov, OnDone));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CancelIo(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Files, MissingPathIsFileNotFound) {
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileA(MissingFilePath(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
