// The channel protocol as the device end sees it: 'W' for writes, 'A' acks
// with errors and byte counts, 'R' reports cut to the read's length, 'E'
// read errors, reports kept while only writes are pending, cancelled writes
// whose acks still come, and the device end closing.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "raw_channel.h"

namespace {

class ChannelProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        CompletionLog().clear();
        ASSERT_TRUE(OpenRawChannel(&ch));
    }
    void TearDown() override { CloseRawChannel(&ch); }
    RawChannel ch;
};

TEST_F(ChannelProtocol, WriteSendsTaggedBytesAndCompletesOnAck) {
    OVERLAPPED ov = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "\x01\x02\x03", 3, &ov, RecordCompletion));
    std::vector<unsigned char> msg = ReceiveMessage(&ch);
    ASSERT_EQ(msg.size(), 4u);
    EXPECT_EQ(msg[0], 'W');
    EXPECT_EQ(msg[1], 1);
    EXPECT_EQ(msg[3], 3);
    EXPECT_EQ(SleepEx(20, TRUE), 0u) << "a write completes only with the device's answer";
    EXPECT_EQ((NTSTATUS)ov.Internal, STATUS_PENDING);
    ASSERT_TRUE(SendAck(&ch, 0, 3));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, 0u);
    EXPECT_EQ(CompletionLog()[0].bytes, 3u);
}

TEST_F(ChannelProtocol, AckWithErrorFailsWrite) {
    OVERLAPPED ov = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "x", 1, &ov, RecordCompletion));
    ASSERT_FALSE(ReceiveMessage(&ch).empty());
    ASSERT_TRUE(SendAck(&ch, ERROR_GEN_FAILURE, 0));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_GEN_FAILURE);
    DWORD n = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetOverlappedResult(ch.host, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(n, 0u);
}

TEST_F(ChannelProtocol, AckWithZeroBytesCompletesSuccessfullyWithZero) {
    OVERLAPPED ov = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "xy", 2, &ov, RecordCompletion));
    ASSERT_FALSE(ReceiveMessage(&ch).empty());
    ASSERT_TRUE(SendAck(&ch, 0, 0));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, 0u);
    EXPECT_EQ(CompletionLog()[0].bytes, 0u);
}

TEST_F(ChannelProtocol, ReportIsCutToReadLength) {
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, 3, &ov, RecordCompletion));
    ASSERT_TRUE(SendReport(&ch, "\x10\x20\x30\x40\x50", 5));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].bytes, 3u);
    EXPECT_EQ(buf[2], 0x30);
    EXPECT_EQ(buf[3], 0xEE) << "wrote past the read's length";
}

TEST_F(ChannelProtocol, ReadErrorCompletesOldestReadWithoutTouchingBuffer) {
    unsigned char a[4] = {7, 7, 7, 7}, b[4] = {};
    OVERLAPPED ova = {}, ovb = {};
    ASSERT_TRUE(ReadFileEx(ch.host, a, 4, &ova, RecordCompletion));
    ASSERT_TRUE(ReadFileEx(ch.host, b, 4, &ovb, RecordCompletion));
    ASSERT_TRUE(SendReadError(&ch, ERROR_CRC));
    ASSERT_TRUE(SendReport(&ch, "ok", 2));
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[0].ov, &ova);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_CRC);
    EXPECT_EQ(CompletionLog()[0].bytes, 0u);
    EXPECT_EQ(a[0], 7);
    EXPECT_EQ(CompletionLog()[1].ov, &ovb);
    EXPECT_EQ(CompletionLog()[1].error, 0u);
    EXPECT_EQ(b[1], 'k');
}

TEST_F(ChannelProtocol, ReportsArrivingDuringWriteAreKeptForLaterReads) {
    OVERLAPPED ovw = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "w", 1, &ovw, RecordCompletion));
    ASSERT_FALSE(ReceiveMessage(&ch).empty());
    ASSERT_TRUE(SendReport(&ch, "r1", 2));
    ASSERT_TRUE(SendReport(&ch, "r2", 2));
    ASSERT_TRUE(SendAck(&ch, 0, 1));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u) << "the ack behind two reports was not reached";
    EXPECT_EQ(CompletionLog()[0].ov, &ovw);
    char a[4] = {}, b[4] = {};
    OVERLAPPED ova = {}, ovb = {};
    ASSERT_TRUE(ReadFileEx(ch.host, a, 4, &ova, RecordCompletion));
    ASSERT_TRUE(ReadFileEx(ch.host, b, 4, &ovb, RecordCompletion));
    RunCompletions(3);
    ASSERT_EQ(CompletionLog().size(), 3u);
    EXPECT_EQ(memcmp(a, "r1", 2), 0);
    EXPECT_EQ(memcmp(b, "r2", 2), 0);
}

TEST_F(ChannelProtocol, CancelledSentWriteStillConsumesItsAck) {
    OVERLAPPED ov1 = {}, ov2 = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "1", 1, &ov1, RecordCompletion));
    ASSERT_FALSE(ReceiveMessage(&ch).empty());
    ASSERT_TRUE(CancelIo(ch.host));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(WriteFileEx(ch.host, "22", 2, &ov2, RecordCompletion));
    ASSERT_FALSE(ReceiveMessage(&ch).empty());
    ASSERT_TRUE(SendAck(&ch, 0, 1));  // the cancelled write's answer
    EXPECT_EQ(SleepEx(50, TRUE), 0u) << "the first ack completed the second write";
    ASSERT_TRUE(SendAck(&ch, 0, 2));
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[1].ov, &ov2);
    EXPECT_EQ(CompletionLog()[1].bytes, 2u);
}

TEST_F(ChannelProtocol, DeviceClosingFailsPendingAndLaterRequests) {
    char buf[4];
    OVERLAPPED ovr = {}, ovw = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, 4, &ovr, RecordCompletion));
    ASSERT_TRUE(WriteFileEx(ch.host, "w", 1, &ovw, RecordCompletion));
    close(ch.device);
    ch.device = -1;
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(CompletionLog()[1].error, ERROR_DEVICE_NOT_CONNECTED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFileEx(ch.host, buf, 4, &ovr, RecordCompletion));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WriteFileEx(ch.host, "w", 1, &ovw, RecordCompletion));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(ChannelProtocol, DeviceClosedBeforeAnyRequestFailsFirstRequestThroughRoutine) {
    close(ch.device);
    ch.device = -1;
    char buf[4];
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, 4, &ov, RecordCompletion));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(ChannelProtocol, DataAlreadyThereCompletesAtIssue) {
    ASSERT_TRUE(SendReport(&ch, "abc", 3));
    char buf[8];
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(ch.host, &ov, &n, FALSE)) << "the issue-time attempt took the report";
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(CompletionLog().empty()) << "the routine waits for an alertable wait";
    EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(CompletionLog().size(), 1u);
}

TEST_F(ChannelProtocol, MalformedAndUnexpectedMessagesAreIgnored) {
    char buf[8] = {};
    OVERLAPPED ov = {};
    ASSERT_TRUE(ReadFileEx(ch.host, buf, sizeof(buf), &ov, RecordCompletion));
    unsigned char junk[] = {'Z', 1, 2};
    ASSERT_EQ(send(ch.device, junk, sizeof(junk), 0), 3);
    ASSERT_TRUE(SendAck(&ch, 0, 1));  // no write pending
    unsigned char short_error[] = {'E', 1};
    ASSERT_EQ(send(ch.device, short_error, sizeof(short_error), 0), 2);
    ASSERT_TRUE(SendReport(&ch, "ok", 2));
    RunCompletions(1);
    ASSERT_EQ(CompletionLog().size(), 1u);
    EXPECT_EQ(CompletionLog()[0].error, 0u);
    EXPECT_EQ(memcmp(buf, "ok", 2), 0);
}

}  // namespace
