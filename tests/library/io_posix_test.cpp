// Reads, writes and cancellation when the POSIX runtime refuses calls, and
// what their requests leave behind.
#include <string.h>

#include <thread>

#include "library_world.h"
#include "pdx_runtime.h"
#include "overlapped_requests.h"

namespace {

class IoPosixTest : public LibraryTest {
protected:
    void SetUp() override {
        pdxrt_reset_call_counts();
        auto world = MakeWorld(1);
        world->device[0].chip_model = 0;
        Install(*world);
        handle_ = Open();
        // The reader's first read is outstanding once its thread has run;
        // faults set after that hit only this thread's calls. Nothing
        // signals that moment, so look.
        while (Counters().pending_io == 0) SleepEx(1, FALSE);
    }
    void TearDown() override {
        pdxrt_clear_faults();
        LibraryTest::TearDown();
    }
    static PdxRtCounters Counters() {
        PdxRtCounters counters;
        pdxrt_get_counters(&counters);
        return counters;
    }

    PdxKitHandle handle_ = nullptr;
};

TEST_F(IoPosixTest, WriteRefusedAtOnceKeepsThePlatformsError) {
    pdxrt_fail_call(PDXRT_WriteFileEx, 0, 1, ERROR_ACCESS_DENIED);
    const uint8_t report[5] = {0, 1, 2, 3, 4};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(1u, pdxrt_call_count(PDXRT_WriteFileEx)) << "a refused attempt is not repeated";
    EXPECT_EQ(0u, pdxsim_write_count(0, 0));
}

TEST_F(IoPosixTest, DirectReadRefusedAtOnceLeavesAClearedBuffer) {
    pdxrt_fail_call(PDXRT_ReadFileEx, 0, 1, ERROR_INVALID_USER_BUFFER);
    uint8_t buffer[65];
    memset(buffer, 0xAA, sizeof(buffer));
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(ERROR_INVALID_USER_BUFFER, GetLastError());
    for (uint8_t byte : buffer) ASSERT_EQ(0, byte);
}

TEST_F(IoPosixTest, TimedOutWriteLeavesNoRequestBehind) {
    ASSERT_EQ(1, pdxsim_hold_writes(0, 1, 1));
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, 30));
    const PdxRtCounters before = Counters();
    uint8_t report[65] = {0, 1};
    EXPECT_EQ(0u, PdxKitWrite(handle_, 1, report, sizeof(report)));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
    const PdxRtCounters after = Counters();
    EXPECT_EQ(before.pending_io, after.pending_io) << "the cancelled attempt has completed";
    EXPECT_EQ(before.queued_apcs, after.queued_apcs) << "and its routine has run";
}

TEST_F(IoPosixTest, TimedOutDirectReadLeavesNoRequestBehind) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 30));
    const PdxRtCounters before = Counters();
    uint8_t buffer[65];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(kSentinel, GetLastError());
    const PdxRtCounters after = Counters();
    EXPECT_EQ(before.pending_io, after.pending_io);
    EXPECT_EQ(before.queued_apcs, after.queued_apcs);
}

TEST_F(IoPosixTest, CancellationNeedsCancelIo) {
    pdxrt_fail_named_call(PDXRT_GetProcAddress, "CancelIo", ERROR_PROC_NOT_FOUND);
    SetSentinel();
    EXPECT_EQ(0, PdxKitCancelIo(handle_, 0));
    EXPECT_EQ(kSentinel, GetLastError()) << "no last error of its own";
    EXPECT_EQ(FALSE, CancelPendingIo(Record(handle_)->read_handles[1]));
    pdxrt_clear_faults();

    pdxrt_fail_named_call(PDXRT_GetModuleHandleA, "kernel32.dll", ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(FALSE, CancelPendingIo(Record(handle_)->read_handles[1]));
    EXPECT_EQ(0, PdxKitCancelIo(handle_, 1));
    pdxrt_clear_faults();
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 1));
}

TEST_F(IoPosixTest, CancelIoLooksCancelIoUpAtEveryCall) {
    pdxrt_reset_call_counts();
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 0));
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 0));
    EXPECT_EQ(4u, pdxrt_call_count(PDXRT_GetProcAddress));
    EXPECT_EQ(4u, pdxrt_call_count(PDXRT_CancelIo)) << "read and write handle each time";
}

TEST_F(IoPosixTest, ReaderThatCannotReadPushesNothingAndStops) {
    // Every further read of the reader is refused at once.
    pdxrt_fail_call(PDXRT_ReadFileEx, 0, 0, ERROR_INVALID_HANDLE);
    SendPinsAndWait(handle_, 0, 9, 1);
    ASSERT_LE(1, SendPins(0, 10));
    EXPECT_EQ(1u, QueueCount(Record(handle_)));
    const PdxRtCounters before = Counters();
    PdxKitCloseDevice(nullptr);
    // The ended thread's object goes a moment after its handle is signalled.
    PdxRtCounters after = Counters();
    for (int i = 0; i < 5000 && after.threads != before.threads - 1; ++i) {
        SleepEx(1, FALSE);
        after = Counters();
    }
    EXPECT_EQ(before.threads - 1, after.threads) << "the reader ended";
}

}  // namespace
