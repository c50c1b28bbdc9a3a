// The reader thread of pipe 0: every completed read becomes a report, the
// event follows every report, and the stop handshake ends it cleanly.
#include <string.h>

#include "library_world.h"
#include "reader_thread.h"
#include "report_queue.h"

namespace {

class ReaderThreadTest : public LibraryTest {
protected:
    // Runs the stop handshake by hand, keeping the thread handle to inspect
    // it; leaves the record so that closing skips the handshake.
    static DWORD StopByHand(DeviceRecord* record) {
        EXPECT_TRUE(SetEvent(record->stop_event));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record->stopped_event, kPatience));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record->reader_thread, kPatience));
        DWORD code = 12345;
        EXPECT_TRUE(GetExitCodeThread(record->reader_thread, &code));
        CloseHandle(record->reader_thread);
        record->reader_thread = nullptr;
        return code;
    }
};

TEST_F(ReaderThreadTest, ShortReportsArePaddedWithZeros) {
    PdxKitHandle handle = OpenDefault(1);
    const uint8_t report[3] = {0, 0xAB, 0xCD};
    ASSERT_LE(1, pdxsim_send_report(0, 0, report, sizeof(report)));
    ASSERT_TRUE(WaitQueued(Record(handle), 1));
    DeviceRecord* record = Record(handle);
    EXPECT_EQ(3u, record->queue.last_report_length);
    const uint8_t expected[5] = {0, 0xAB, 0xCD, 0, 0};
    EXPECT_EQ(0, memcmp(expected, record->queue.last_report, 5));
    uint8_t out[5];
    ASSERT_TRUE(PopReport(record, out));
    EXPECT_EQ(0, memcmp(expected, out, 5));
}

TEST_F(ReaderThreadTest, ReportBufferIsClearedBeforeEachRead) {
    PdxKitHandle handle = OpenDefault(1);
    SendPinsAndWait(handle, 0, 0xFFFFFFFF, 1);
    const uint8_t report[2] = {7, 0x01};
    ASSERT_LE(1, pdxsim_send_report(0, 0, report, sizeof(report)));
    ASSERT_TRUE(WaitQueued(Record(handle), 2));
    const uint8_t expected[5] = {7, 0x01, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, Record(handle)->queue.last_report, 5)) << "bytes of the previous report leaked";
}

TEST_F(ReaderThreadTest, LongReportsAreCutToFiveBytes) {
    PdxKitHandle handle = OpenDefault(1);
    const uint8_t report[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_LE(1, pdxsim_send_report(0, 0, report, sizeof(report)));
    // A message longer than the read is cut (Linux) or fails with more data
    // to come (Windows message pipes); either way nothing beyond 5 bytes.
    ASSERT_TRUE(WaitQueued(Record(handle), 1));
    EXPECT_LE(Record(handle)->queue.last_report_length, 5u);
}

TEST_F(ReaderThreadTest, EventIsSignalledAfterEveryReportAlsoWhenTheQueueIsFull) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    for (uint32_t k = 1; k <= 11; ++k) {
        ASSERT_TRUE(ResetEvent(record->report_event));
        ASSERT_LE(1, SendPins(0, k));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record->report_event, kPatience)) << "report " << k;
        // The event follows the push: the report is already the last one.
        WaitForSingleObject(record->queue_lock, INFINITE);
        const uint32_t last = PinValue(record->queue.last_report);
        const uint32_t count = record->queue.count;
        ReleaseMutex(record->queue_lock);
        EXPECT_EQ(k, last);
        EXPECT_EQ(k < 8 ? k : 8u, count);
    }
}

TEST_F(ReaderThreadTest, StopWhileAReadIsOutstanding) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    SendPinsAndWait(handle, 0, 5, 1);  // the reader has issued its next read
    EXPECT_EQ(0u, StopByHand(record)) << "exit code";
    EXPECT_EQ(1u, QueueCount(record)) << "stopping pushes nothing";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(record->stop_event, 0)) << "the reader consumed the stop signal";
    // No read of the stopped reader remains: a report now reaches the
    // handle but nobody takes it.
    SendPins(0, 6);
    EXPECT_EQ(1u, QueueCount(record));
}

TEST_F(ReaderThreadTest, InvalidReadHandleStillStopsNormally) {
    auto world = MakeWorld(1);
    world->device[0].iface[0].faults.open_rw_refused = 1;
    Install(*world);
    PdxKitHandle handle = Open();
    DeviceRecord* record = Record(handle);
    ASSERT_EQ(INVALID_HANDLE_VALUE, record->read_handles[0]);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(record->reader_thread, 0)) << "the reader waits, it does not end";
    SendPins(0, 1);  // reaches no read handle
    EXPECT_EQ(0u, StopByHand(record));
    EXPECT_EQ(0u, QueueCount(record));
}

TEST_F(ReaderThreadTest, ReportsKeepTheirOrder) {
    PdxKitHandle handle = OpenDefault(1);
    for (uint32_t k = 1; k <= 6; ++k) ASSERT_LE(1, SendPins(0, 0x100 * k));
    ASSERT_TRUE(WaitQueued(Record(handle), 6));
    uint8_t out[5];
    for (uint32_t k = 1; k <= 6; ++k) {
        ASSERT_TRUE(PopReport(Record(handle), out));
        EXPECT_EQ(0x100 * k, PinValue(out));
    }
}

// Read errors can be injected only where the simulator owns the completion.
TEST_F(ReaderThreadTest, OneFailedReadIsDeliveredAsAnEmptyReport) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    SendPinsAndWait(handle, 0, 0x01020304, 1);
    if (pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE) == 0) GTEST_SKIP() << "read errors cannot be injected here";
    ASSERT_TRUE(WaitQueued(record, 2));
    EXPECT_EQ(0u, record->queue.last_report_length);
    const uint8_t zeros[5] = {};
    EXPECT_EQ(0, memcmp(zeros, record->queue.last_report, 5));
    SendPinsAndWait(handle, 0, 0x0A0B0C0D, 3);
    EXPECT_EQ(5u, record->queue.last_report_length);
}

TEST_F(ReaderThreadTest, FailuresInARowAreEachDelivered) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    if (pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE) == 0) GTEST_SKIP() << "read errors cannot be injected here";
    ASSERT_TRUE(WaitQueued(record, 1));
    ASSERT_EQ(1, pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE));
    ASSERT_TRUE(WaitQueued(record, 2));
    ASSERT_EQ(1, pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE));
    ASSERT_TRUE(WaitQueued(record, 3));
    ASSERT_LE(1, SendPins(0, 77));
    ASSERT_TRUE(WaitQueued(record, 4));
    uint8_t out[5];
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(PopReport(record, out));
        EXPECT_EQ(0u, PinValue(out)) << "failure " << k;
    }
    ASSERT_TRUE(PopReport(record, out));
    EXPECT_EQ(77u, PinValue(out));
    EXPECT_EQ(5u, record->queue.last_report_length);
}

TEST_F(ReaderThreadTest, ReadsThatKeepFailingAreStillDeliveredAndStopEndsThePause) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    if (pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE) == 0) GTEST_SKIP() << "read errors cannot be injected here";
    ASSERT_TRUE(WaitQueued(record, 1));
    // Past the count at which the reader starts pausing between reads.
    for (uint32_t k = 1; k < kFailuresBeforePause + 2; ++k) {
        ASSERT_EQ(1, pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE)) << "failure " << k;
    }
    ASSERT_LE(1, SendPins(0, 0x55));
    uint32_t failures = 0;
    bool reached = false;
    while (!reached) {
        ASSERT_TRUE(WaitQueued(record, 1)) << "after " << failures << " failures";
        uint8_t out[5];
        ASSERT_TRUE(PopReport(record, out));
        reached = PinValue(out) == 0x55;
        if (!reached) ++failures;
    }
    EXPECT_LE(failures, kFailuresBeforePause + 2);
    EXPECT_GE(failures, 1u);
    EXPECT_EQ(5u, record->queue.last_report_length);
    // A reader paused after a failure still stops when asked.
    for (uint32_t k = 0; k < kFailuresBeforePause; ++k) pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE);
    EXPECT_EQ(0u, StopByHand(record));
}

TEST_F(ReaderThreadTest, UnpluggedDeviceDoesNotFloodTheQueue) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    pdxsim_unplug(0, -1);
    // The pending read fails and is delivered; the device refuses every read
    // after it, so nothing more comes. (Where the pending read of an
    // unplugged device never completes, nothing is delivered at all.)
    if (!WaitQueued(record, 1, 2000)) {
        EXPECT_EQ(0u, QueueCount(record));
        return;
    }
    // Learning that the device is gone signals once more, and then nothing.
    ASSERT_TRUE(WaitGone(record));
    ASSERT_TRUE(ResetEvent(record->report_event));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(record->report_event, 700));
    EXPECT_EQ(1u, QueueCount(record));
    EXPECT_EQ(0u, record->queue.last_report_length);
}

}  // namespace
