// Reading: the queued read of pipe 0 (whole reports, timeouts, lost
// reports), the direct read of pipe 1, and the immediate read.
#include <string.h>

#include <atomic>
#include <thread>

#include "library_world.h"
#include "read.h"

namespace {

class ReadTest : public LibraryTest {
protected:
    void SetUp() override { handle_ = OpenDefault(1); }
    DeviceRecord* record() { return Record(handle_); }
    void Queue(uint32_t value) { SendPinsAndWait(handle_, 0, value, QueueCount(record()) + 1); }

    PdxKitHandle handle_ = nullptr;
};

TEST_F(ReadTest, ArgumentRows) {
    uint8_t buffer[16];
    Queue(1);
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(nullptr, 0, buffer, 5));
    EXPECT_EQ(kSentinel, GetLastError()) << "an invalid handle leaves the last error";
    EXPECT_EQ(0u, PdxKitRead(&g_device_table[9], 0, buffer, 5));
    EXPECT_EQ(kSentinel, GetLastError());

    const struct {
        uint32_t pipe;
        uint8_t* buffer;
        uint32_t length;
        const char* what;
    } rows[] = {{2, buffer, 5, "pipe 2"},       {0xFFFFFFFFu, buffer, 5, "pipe -1"},
                {0, nullptr, 5, "null buffer"}, {1, nullptr, 5, "null buffer on pipe 1"},
                {0, buffer, 0, "length 0"},     {1, buffer, 0, "length 0 on pipe 1"}};
    for (const auto& row : rows) {
        SetSentinel();
        EXPECT_EQ(0u, PdxKitRead(handle_, row.pipe, row.buffer, row.length)) << row.what;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << row.what;
    }
    EXPECT_EQ(1u, QueueCount(record())) << "refused reads take nothing";
}

TEST_F(ReadTest, FiveByteBufferTakesOneReport) {
    Queue(0x44332211);
    Queue(0x88776655);
    uint8_t buffer[5];
    SetSentinel();
    EXPECT_EQ(5u, PdxKitRead(handle_, 0, buffer, 5));
    EXPECT_EQ(kSentinel, GetLastError());
    const uint8_t expected[5] = {0, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(0, memcmp(expected, buffer, 5)) << "the report id comes first";
    EXPECT_EQ(1u, QueueCount(record()));
}

TEST_F(ReadTest, SevenByteBufferTakesOneReportWithoutWaiting) {
    Queue(7);
    uint8_t buffer[7];
    memset(buffer, 0xCC, sizeof(buffer));
    SetSentinel();
    // The read timeout is infinite: waiting for a second report would hang.
    EXPECT_EQ(5u, PdxKitRead(handle_, 0, buffer, 7));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(0xCC, buffer[5]);
    EXPECT_EQ(0xCC, buffer[6]);
}

TEST_F(ReadTest, TenByteBufferTakesTwoQueuedReports) {
    Queue(1);
    Queue(2);
    Queue(3);
    uint8_t buffer[10];
    EXPECT_EQ(10u, PdxKitRead(handle_, 0, buffer, 10));
    EXPECT_EQ(1u, PinValue(buffer));
    EXPECT_EQ(2u, PinValue(buffer + 5));
    EXPECT_EQ(1u, QueueCount(record()));
}

TEST_F(ReadTest, SecondReportThatNeverComesTimesOut) {
    Queue(1);
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 60));
    uint8_t buffer[10];
    SetSentinel();
    EXPECT_EQ(5u, PdxKitRead(handle_, 0, buffer, 10));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
    EXPECT_EQ(1u, PinValue(buffer));
}

TEST_F(ReadTest, InfiniteTimeoutWaitsForTheSecondReport) {
    Queue(1);
    std::atomic<uint32_t> result{12345};
    uint8_t buffer[10];
    std::thread reader([&] { result = PdxKitRead(handle_, 0, buffer, 10); });
    ASSERT_LE(1, SendPins(0, 2));
    reader.join();
    EXPECT_EQ(10u, result.load());
    EXPECT_EQ(1u, PinValue(buffer));
    EXPECT_EQ(2u, PinValue(buffer + 5));
}

TEST_F(ReadTest, FourByteBufferLosesTheReport) {
    Queue(1);
    Queue(2);
    uint8_t buffer[5] = {9, 9, 9, 9, 9};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 0, buffer, 4));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(9, buffer[0]) << "nothing copied";
    EXPECT_EQ(5u, PdxKitRead(handle_, 0, buffer, 5));
    EXPECT_EQ(2u, PinValue(buffer)) << "report 1 is gone for everybody";
}

TEST_F(ReadTest, ZeroTimeoutOnAnEmptyQueue) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 0));
    uint8_t buffer[5];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 0, buffer, 5));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
}

TEST_F(ReadTest, ShortReportsFillTheBufferWithWholeReports) {
    const uint8_t short_report[3] = {0, 0xAA, 0xBB};
    for (int i = 0; i < 3; ++i) {
        ASSERT_LE(1, pdxsim_send_report(0, 0, short_report, 3));
        ASSERT_TRUE(WaitQueued(record(), i + 1));
    }
    uint8_t buffer[8];
    EXPECT_EQ(6u, PdxKitRead(handle_, 0, buffer, 8)) << "two whole 3-byte reports fit, the third does not";
    const uint8_t expected[6] = {0, 0xAA, 0xBB, 0, 0xAA, 0xBB};
    EXPECT_EQ(0, memcmp(expected, buffer, 6));
}

TEST_F(ReadTest, ReportsOfMixedLengthsEachCountWithTheirOwn) {
    const uint8_t a[3] = {0, 0xA1, 0xA2};
    const uint8_t b[5] = {0, 0xB1, 0xB2, 0xB3, 0xB4};
    const uint8_t c[3] = {0, 0xC1, 0xC2};
    ASSERT_LE(1, pdxsim_send_report(0, 0, a, 3));
    ASSERT_TRUE(WaitQueued(record(), 1));
    ASSERT_LE(1, pdxsim_send_report(0, 0, b, 5));
    ASSERT_TRUE(WaitQueued(record(), 2));
    ASSERT_LE(1, pdxsim_send_report(0, 0, c, 3));
    ASSERT_TRUE(WaitQueued(record(), 3));
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 0));
    uint8_t buffer[8];
    memset(buffer, 0xCC, sizeof(buffer));
    EXPECT_EQ(3u, PdxKitRead(handle_, 0, buffer, 7)) << "the 5-byte report does not fit in the 4 bytes left";
    EXPECT_EQ(0, memcmp(a, buffer, 3));
    EXPECT_EQ(0xCC, buffer[3]) << "padded with a byte the device never sent";
    EXPECT_EQ(8u, PdxKitRead(handle_, 0, buffer, 8));
    EXPECT_EQ(0, memcmp(b, buffer, 5)) << "the 5-byte report stayed queued, whole";
    EXPECT_EQ(0, memcmp(c, buffer + 5, 3));
}

TEST_F(ReadTest, LongerLaterReportEndsTheReadInsteadOfOverrunning) {
    const uint8_t short_report[3] = {0, 0xAA, 0xBB};
    ASSERT_LE(1, pdxsim_send_report(0, 0, short_report, 3));
    ASSERT_TRUE(WaitQueued(record(), 1));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(record()->report_event, 0));

    uint8_t buffer[7];
    memset(buffer, 0xCC, sizeof(buffer));
    std::atomic<uint32_t> result{12345};
    std::atomic<DWORD> error{0};
    std::thread reader([&] {
        SetLastError(kSentinel);
        result = PdxKitRead(handle_, 0, buffer, 7);
        error = GetLastError();
    });
    // The reader took the 3-byte report and, with 4 bytes left, waits for
    // the next one once it has cleared the event. No event tells when that
    // has happened, so look.
    while (WaitForSingleObject(record()->report_event, 0) == WAIT_OBJECT_0) SleepEx(1, FALSE);
    ASSERT_LE(1, SendPins(0, 0x01020304));  // 5 bytes: no longer fits
    reader.join();
    EXPECT_EQ(3u, result.load());
    EXPECT_EQ(kSentinel, error.load());
    EXPECT_EQ(0, memcmp(short_report, buffer, 3));
    for (int i = 3; i < 7; ++i) EXPECT_EQ(0xCC, buffer[i]) << "byte " << i << " written past the report";
    EXPECT_EQ(1u, QueueCount(record())) << "the report that did not fit stays for the next read";
}

TEST_F(ReadTest, ZeroLengthReportsAddNoBytes) {
    if (pdxsim_send_read_error(0, 0, ERROR_GEN_FAILURE) == 0) GTEST_SKIP() << "read errors cannot be injected here";
    ASSERT_TRUE(WaitQueued(record(), 1));
    ASSERT_EQ(0u, record()->queue.last_report_length);
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 60));
    uint8_t buffer[5];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 0, buffer, 5));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError()) << "taking empty reports until none comes";
    EXPECT_EQ(0u, QueueCount(record()));
}

TEST_F(ReadTest, ReportPushedRightAfterTheEmptyFindingEndsTheWait) {
    // A report arriving at any moment of the wait must end it: with a long
    // finite timeout, a lost wake-up shows as a timeout.
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 30000));
    for (uint32_t k = 1; k <= 200; ++k) {
        std::atomic<uint32_t> result{0};
        uint8_t buffer[5];
        std::thread reader([&] { result = PdxKitRead(handle_, 0, buffer, 5); });
        if (k % 2) std::this_thread::yield();
        ASSERT_LE(1, SendPins(0, k));
        reader.join();
        ASSERT_EQ(5u, result.load()) << "round " << k;
        ASSERT_EQ(k, PinValue(buffer)) << "round " << k;
    }
}

// The reader signals after letting go of the queue, so its signal for a
// report that a read has already taken can arrive while the next read waits.
// Such a signal must not end that read, also not with an infinite timeout.
TEST_F(ReadTest, LateSignalOfATakenReportDoesNotEndTheNextRead) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    std::atomic<uint32_t> result{12345};
    uint8_t buffer[5];
    std::thread reader([&] { result = PdxKitRead(handle_, 0, buffer, 5); });
    // Signals with nothing pushed, before and while the read waits.
    for (int k = 0; k < 200 && result.load() == 12345u; ++k) {
        ASSERT_TRUE(SetEvent(record()->report_event));
        std::this_thread::yield();
    }
    ASSERT_LE(1, SendPins(0, 0x600D));
    reader.join();
    EXPECT_EQ(5u, result.load()) << "the read ended on a signal with nothing pushed";
    EXPECT_EQ(0x600Du, PinValue(buffer));
}

TEST_F(ReadTest, WaitForReportTakesAQueuedReportWithoutWaiting) {
    Queue(31);
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 0));
    uint8_t out[5];
    uint32_t length = 0;
    SetSentinel();
    EXPECT_EQ(TRUE, WaitForReport(record(), out, &length, 5));
    EXPECT_EQ(31u, PinValue(out));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(FALSE, WaitForReport(record(), out, &length, 5));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(record()->report_event, 0)) << "cleared after the wait";
}

TEST_F(ReadTest, ImmediateReadsHandOutQueuedReportsOldestFirst) {
    Queue(0x01010101);
    Queue(0x02020202);
    Queue(0x03030303);
    uint32_t value = 0;
    SetSentinel();
    for (uint32_t expected : {0x01010101u, 0x02020202u, 0x03030303u}) {
        EXPECT_EQ(1, PdxKitReadImmediate(handle_, &value));
        EXPECT_EQ(expected, value);
    }
    EXPECT_EQ(0, PdxKitReadImmediate(handle_, &value));
    EXPECT_EQ(0x03030303u, value) << "the newest known pin state";
    EXPECT_EQ(kSentinel, GetLastError()) << "immediate reads set no last error";
    EXPECT_EQ(0, record()->queue.new_report);
}

TEST_F(ReadTest, ImmediateReadOfAShortReportHasZeroUpperBits) {
    const uint8_t report[3] = {0, 0xFE, 0xDC};
    ASSERT_LE(1, pdxsim_send_report(0, 0, report, 3));
    ASSERT_TRUE(WaitQueued(record(), 1));
    uint32_t value = 0;
    EXPECT_EQ(1, PdxKitReadImmediate(handle_, &value));
    EXPECT_EQ(0xDCFEu, value);
}

TEST_F(ReadTest, ImmediateReadArgumentRows) {
    Queue(5);
    SetSentinel();
    EXPECT_EQ(0, PdxKitReadImmediate(handle_, nullptr));
    uint32_t value = 0x12345678;
    EXPECT_EQ(0, PdxKitReadImmediate(nullptr, &value));
    EXPECT_EQ(0, PdxKitReadImmediate(reinterpret_cast<uint8_t*>(handle_) + 8, &value));
    EXPECT_EQ(0x12345678u, value) << "nothing written";
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(1u, QueueCount(record())) << "the queue is not touched";
    EXPECT_EQ(1, record()->queue.new_report);
}

TEST_F(ReadTest, ImmediateAndQueuedReadsShareTheQueue) {
    Queue(1);
    Queue(2);
    uint32_t value = 0;
    EXPECT_EQ(1, PdxKitReadImmediate(handle_, &value));
    EXPECT_EQ(1u, value);
    uint8_t buffer[5];
    EXPECT_EQ(5u, PdxKitRead(handle_, 0, buffer, 5));
    EXPECT_EQ(2u, PinValue(buffer));
}

// ---- pipe 1 -------------------------------------------------------------------

TEST_F(ReadTest, DirectReadReturnsTheDevicesReply) {
    uint8_t command[65] = {0, PDXSIM_CMD_ECHO, 0xA5, 0x5A};
    ASSERT_EQ(65u, PdxKitWrite(handle_, 1, command, sizeof(command)));
    uint8_t buffer[65];
    memset(buffer, 0xCC, sizeof(buffer));
    SetSentinel();
    EXPECT_EQ(65u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(0, memcmp(command, buffer, 4));
    EXPECT_FALSE(StrayCompletionPending());
}

TEST_F(ReadTest, DirectReadTimesOutWithoutALastError) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 50));
    uint8_t buffer[65];
    memset(buffer, 0xCC, sizeof(buffer));
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_FALSE(StrayCompletionPending()) << "the cancelled request completed inside the call";
    for (uint8_t byte : buffer) ASSERT_EQ(0, byte) << "the buffer is cleared before the request";

    // The pipe still works afterwards.
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    uint8_t command[65] = {0, PDXSIM_CMD_PINS};
    ASSERT_EQ(65u, PdxKitWrite(handle_, 1, command, sizeof(command)));
    EXPECT_EQ(65u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(PDXSIM_CMD_PINS, buffer[1]);
}

TEST_F(ReadTest, DirectReadWithZeroTimeoutReturnsAtOnce) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, 0));
    uint8_t buffer[65];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_FALSE(StrayCompletionPending());
}

struct ApcWitness {
    HANDLE ran;
};

VOID CALLBACK NoteApc(ULONG_PTR witness) { SetEvent(reinterpret_cast<ApcWitness*>(witness)->ran); }

struct DirectReadCall {
    PdxKitHandle handle;
    uint8_t buffer[65];
    uint32_t result;
};

DWORD WINAPI DirectReadThread(LPVOID param) {
    DirectReadCall* call = static_cast<DirectReadCall*>(param);
    call->result = PdxKitRead(call->handle, 1, call->buffer, sizeof(call->buffer));
    return 0;
}

// The caller's own asynchronous procedure call ends the alertable wait as a
// completion would; the read must go on waiting for its request rather than
// give up a buffer the platform is still to fill.
TEST_F(ReadTest, DirectReadOutlastsAnApcOfTheCallingThread) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, kPatience));
    ApcWitness witness = {CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_NE(nullptr, witness.ran);
    DirectReadCall call = {handle_, {}, 12345};
    HANDLE thread = CreateThread(nullptr, 0, DirectReadThread, &call, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_NE(0u, QueueUserAPC(NoteApc, thread, reinterpret_cast<ULONG_PTR>(&witness)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(witness.ran, kPatience)) << "the APC ran in the read's wait";

    uint8_t command[65] = {0, PDXSIM_CMD_ECHO, 0x3C, 0xC3};
    ASSERT_EQ(65u, PdxKitWrite(handle_, 1, command, sizeof(command)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 2 * kPatience));
    EXPECT_EQ(65u, call.result);
    EXPECT_EQ(0, memcmp(command, call.buffer, 4));
    CloseHandle(thread);
    CloseHandle(witness.ran);
}

TEST_F(ReadTest, DirectReadThatFailsReportsTheRequestsError) {
    std::atomic<uint32_t> result{12345};
    std::atomic<DWORD> error{0};
    std::thread reader([&] {
        uint8_t buffer[65];
        SetLastError(kSentinel);
        result = PdxKitRead(handle_, 1, buffer, sizeof(buffer));
        error = GetLastError();
    });
    if (pdxsim_send_read_error(0, 1, ERROR_GEN_FAILURE) == 0) {
        const uint8_t reply[65] = {0};
        pdxsim_send_report(0, 1, reply, sizeof(reply));  // release the reader
        reader.join();
        GTEST_SKIP() << "read errors cannot be injected here";
    }
    reader.join();
    EXPECT_EQ(0u, result.load());
    EXPECT_EQ(ERROR_GEN_FAILURE, error.load());
}

}  // namespace
