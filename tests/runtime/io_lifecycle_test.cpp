// Request life cycles: closing a handle with requests pending, a thread
// ending with requests outstanding (its memory never touched again),
// progress made by other threads, GetOverlappedResult from a thread that
// did not issue the request, and the counters that track all of it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "raw_channel.h"

namespace {

class IoLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        CompletionLog().clear();
        pdxrt_get_counters(&before);
        ASSERT_TRUE(OpenRawChannel(&ch));
    }
    void TearDown() override { CloseRawChannel(&ch); }
    RawChannel ch;
    PdxRtCounters before;
};

TEST_F(IoLifecycle, CloseHandleAbortsPendingRequestsThroughRoutines) {
    char buf[4];
    OVERLAPPED ovr = {}, ovw = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, 4, &ovr, RecordCompletion));
    ASSERT_TRUE(WriteFileEx(ch.host, "w", 1, &ovw, RecordCompletion));
    PdxRtCounters during;
    pdxrt_get_counters(&during);
    EXPECT_EQ(during.pending_io, before.pending_io + 2);
    EXPECT_EQ(during.files, before.files + 1);
    ASSERT_TRUE(CloseHandle(ch.host));
    ch.host = INVALID_HANDLE_VALUE;
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(CompletionLog()[1].error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ((NTSTATUS)ovr.Internal, STATUS_CANCELLED);
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.pending_io, before.pending_io);
    EXPECT_EQ(after.queued_apcs, before.queued_apcs);
    EXPECT_EQ(after.files, before.files) << "the file lives until its routines ran, no longer";
    EXPECT_EQ(after.handles, before.handles);
    // The device end sees the host go away.
    ReceiveMessage(&ch, 1000);  // the 'W' that was sent
    char b;
    EXPECT_EQ(recv(ch.device, &b, 1, MSG_DONTWAIT), 0);
}

struct EndingIssuer {
    RawChannel* ch;
    char* buf;
    OVERLAPPED* ov;
};

static DWORD WINAPI IssueAndEnd(LPVOID param) {
    EndingIssuer* e = (EndingIssuer*)param;
    return ReadFileEx(e->ch->host, e->buf, 16, e->ov, RecordCompletion);
}

TEST_F(IoLifecycle, ThreadEndingDropsItsRequestsWithoutTouchingThem) {
    EndingIssuer e = {&ch, (char*)malloc(16), (OVERLAPPED*)calloc(1, sizeof(OVERLAPPED))};
    HANDLE t = CreateThread(nullptr, 0, IssueAndEnd, &e, 0, nullptr);
    ASSERT_NE(t, (HANDLE) nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD issued = 0;
    GetExitCodeThread(t, &issued);
    EXPECT_TRUE(issued);
    CloseHandle(t);
    free(e.buf);  // a request of an ended thread must never touch these again
    free(e.ov);
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.pending_io, before.pending_io) << "the ended thread's read is still pending";
    // A report now goes to a new read, not to the dropped one (whose memory
    // is gone: AddressSanitizer would see a write to it).
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    ASSERT_TRUE(SendReport(&ch, "mine", 4));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(memcmp(buf, "mine", 4), 0);
}

TEST_F(IoLifecycle, ThreadEndingWithCompletedRoutinePendingDropsIt) {
    std::thread([&] {
        static char buf[8];
        static OVERLAPPED ov;
        ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
        ASSERT_TRUE(SendReport(&ch, "x", 1));
        DWORD n;
        ASSERT_TRUE(GetOverlappedResult(ch.host, &ov, &n, TRUE));
        PdxRtCounters mid;
        pdxrt_get_counters(&mid);
        EXPECT_EQ(mid.queued_apcs, before.queued_apcs + 1);
    }).join();
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.queued_apcs, before.queued_apcs);
    EXPECT_EQ(after.pending_io, before.pending_io);
}

TEST_F(IoLifecycle, OldestReadAcrossThreadsGetsFirstReport) {
    HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char other_buf[8] = {};
    std::vector<Done> other_log;
    DWORD other_wait = 0;
    std::thread other([&] {
        OVERLAPPED ov = {};
        ReadFileEx(ch.host, other_buf, sizeof(other_buf), &ov, RecordCompletion);
        SetEvent(issued);
        // Not alertable: the report is taken for it by the main thread.
        WaitForSingleObject(go, 10000);
        other_wait = SleepEx(10000, TRUE);
        other_log = CompletionLog();
    });
    ASSERT_EQ(WaitForSingleObject(issued, 10000), WAIT_OBJECT_0);
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    ASSERT_TRUE(SendReport(&ch, "first", 5));
    ASSERT_TRUE(SendReport(&ch, "second", 6));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(memcmp(buf, "second", 6), 0);
    SetEvent(go);
    other.join();
    EXPECT_EQ(other_wait, WAIT_IO_COMPLETION);
    ASSERT_EQ(other_log.size(), 1u);
    EXPECT_EQ(memcmp(other_buf, "first", 5), 0);
    CloseHandle(issued);
    CloseHandle(go);
}

TEST_F(IoLifecycle, GetOverlappedResultWaitsForAnotherThreadsRequest) {
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    std::atomic<BOOL> ok{FALSE};
    DWORD n = 0;
    std::thread waiter([&] { ok = GetOverlappedResult(ch.host, &ov, &n, TRUE); });
    ASSERT_TRUE(SendReport(&ch, "abc", 3));
    waiter.join();
    EXPECT_TRUE(ok.load());
    EXPECT_EQ(n, 3u);
    RunCompletions(1);
    EXPECT_EQ(CompletionLog().size(), 1u);
}

TEST_F(IoLifecycle, GetOverlappedResultOnForeignOverlappedFails) {
    OVERLAPPED ov = {};
    ov.Internal = (ULONG_PTR)STATUS_PENDING;
    DWORD n;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOverlappedResult(ch.host, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(IoLifecycle, RequestRecordsAreReused) {
    char buf[8];
    OVERLAPPED ov = {};
    for (int i = 0; i < 100; i++) {
        ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
        ASSERT_TRUE(SendReport(&ch, "r", 1));
        ASSERT_EQ(SleepEx(10000, TRUE), WAIT_IO_COMPLETION);
    }
    EXPECT_EQ(CompletionLog().size(), 100u);
    PdxRtCounters after;
    pdxrt_get_counters(&after);
    EXPECT_EQ(after.pending_io, before.pending_io);
    EXPECT_EQ(after.queued_apcs, before.queued_apcs);
}

TEST(AccessRights, IoNeedsTheRightAccess) {
    RawChannel ro;
    ASSERT_TRUE(OpenRawChannel(&ro, PDXRT_FILE_CHANNEL, GENERIC_READ));
    OVERLAPPED ov = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFileEx(ro.host, "x", 1, &ov, RecordCompletion));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseRawChannel(&ro);
    RawChannel query;
    ASSERT_TRUE(OpenRawChannel(&query, PDXRT_FILE_CHANNEL, 0));
    char buf[4];
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFileEx(query.host, buf, 4, &ov, RecordCompletion));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_GE(pdxrt_handle_fd(query.host), 0) << "a query handle still names its descriptor";
    CloseRawChannel(&query);
}

}  // namespace
