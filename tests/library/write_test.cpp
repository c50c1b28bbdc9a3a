// Writing to either pipe and cancelling: the result and last-error value of
// every path, re-issued attempts, timeouts and the scope of cancellation.
#include <string.h>

#include <atomic>
#include <thread>

#include "library_world.h"
#include "write_cancel.h"

namespace {

class WriteTest : public LibraryTest {
protected:
    void SetUp() override {
        auto world = MakeWorld(1);
        world->device[0].chip_model = 0;  // writes are only captured
        Install(*world);
        handle_ = Open();
    }

    // Where the simulator owns write completions (Linux), it can hold them
    // back; a Windows pipe completes writes by itself.
    bool CanHoldWrites() { return pdxsim_fail_writes(0, 0, 0, 0) != 0 && pdxsim_hold_writes(0, 0, 1) != 0; }

    std::vector<uint8_t> Captured(int iface, uint32_t index) {
        PdxSimWrite write;
        EXPECT_EQ(1, pdxsim_get_write(0, iface, index, &write));
        return std::vector<uint8_t>(write.bytes, write.bytes + write.len);
    }

    PdxKitHandle handle_ = nullptr;
};

TEST_F(WriteTest, ReportReachesPipeZero) {
    const uint8_t report[5] = {0, 0x11, 0x22, 0x33, 0x44};
    SetSentinel();
    EXPECT_EQ(5u, PdxKitWrite(handle_, 0, report, sizeof(report)));
    EXPECT_EQ(kSentinel, GetLastError()) << "success leaves the last error";
    ASSERT_EQ(1, pdxsim_wait_writes(0, 0, 1, kPatience));
    EXPECT_EQ(std::vector<uint8_t>(report, report + 5), Captured(0, 0));
    EXPECT_EQ(0u, pdxsim_write_count(0, 1));
    EXPECT_FALSE(StrayCompletionPending());
}

TEST_F(WriteTest, ReportReachesPipeOne) {
    uint8_t report[65];
    for (int i = 0; i < 65; ++i) report[i] = static_cast<uint8_t>(i * 3);
    EXPECT_EQ(65u, PdxKitWrite(handle_, 1, report, sizeof(report)));
    ASSERT_EQ(1, pdxsim_wait_writes(0, 1, 1, kPatience));
    EXPECT_EQ(std::vector<uint8_t>(report, report + 65), Captured(1, 0));
}

TEST_F(WriteTest, ArgumentRows) {
    const uint8_t report[5] = {0, 1, 2, 3, 4};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(nullptr, 0, report, 5));
    EXPECT_EQ(kSentinel, GetLastError()) << "invalid handle leaves the last error";
    EXPECT_EQ(0u, PdxKitWrite(&g_device_table[4], 0, report, 5));
    EXPECT_EQ(kSentinel, GetLastError());

    for (uint32_t pipe : {2u, 0xFFFFFFFFu}) {
        SetSentinel();
        EXPECT_EQ(0u, PdxKitWrite(handle_, pipe, report, 5));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << "pipe " << pipe;
    }
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << "a zero-length write is refused";
    EXPECT_EQ(0u, pdxsim_write_count(0, 0));
}

TEST_F(WriteTest, TimeoutSetterIsReadAtEveryAttempt) {
    const uint8_t report[5] = {0, 9, 9, 9, 9};
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, 5000));
    EXPECT_EQ(5u, PdxKitWrite(handle_, 0, report, 5));
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, INFINITE));
    EXPECT_EQ(5u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(1, pdxsim_wait_writes(0, 0, 2, kPatience));
}

TEST_F(WriteTest, FailedCompletionIsIssuedAgain) {
    if (!pdxsim_fail_writes(0, 0, 1, ERROR_GEN_FAILURE))
        GTEST_SKIP() << "write completions are not the simulator's here";
    const uint8_t report[5] = {0, 5, 6, 7, 8};
    SetSentinel();
    EXPECT_EQ(5u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(2u, pdxsim_write_count(0, 0)) << "the same bytes twice";
    EXPECT_EQ(Captured(0, 0), Captured(0, 1));
}

TEST_F(WriteTest, ZeroByteCompletionIsIssuedAgain) {
    if (!pdxsim_zero_writes(0, 1, 2)) GTEST_SKIP() << "write completions are not the simulator's here";
    uint8_t report[65] = {0, 1};
    EXPECT_EQ(65u, PdxKitWrite(handle_, 1, report, sizeof(report)));
    EXPECT_EQ(3u, pdxsim_write_count(0, 1));
}

TEST_F(WriteTest, ShortCompletionReturnsTheRequestedLength) {
    if (!pdxsim_short_writes(0, 1, 1)) GTEST_SKIP() << "write completions are not the simulator's here";
    uint8_t report[65] = {0, 2};
    SetSentinel();
    EXPECT_EQ(65u, PdxKitWrite(handle_, 1, report, sizeof(report)));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(1u, pdxsim_write_count(0, 1)) << "a short completion is a success: no second attempt";
}

TEST_F(WriteTest, AttemptsAreBoundedAndReportTheLastError) {
    if (!pdxsim_fail_writes(0, 0, 40, ERROR_CRC)) GTEST_SKIP() << "write completions are not the simulator's here";
    const uint8_t report[5] = {0, 1, 1, 1, 1};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(ERROR_CRC, GetLastError());
    EXPECT_EQ(16u, pdxsim_write_count(0, 0));
    EXPECT_FALSE(StrayCompletionPending());
}

TEST_F(WriteTest, BoundedZeroByteAttemptsReportAGeneralFailure) {
    if (!pdxsim_zero_writes(0, 0, 40)) GTEST_SKIP() << "write completions are not the simulator's here";
    const uint8_t report[5] = {0, 1, 1, 1, 1};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());
    EXPECT_EQ(16u, pdxsim_write_count(0, 0));
}

TEST_F(WriteTest, ZeroTimeoutCancelsAnAttemptNotYetCompleted) {
    if (!CanHoldWrites()) GTEST_SKIP() << "write completions are not the simulator's here";
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, 0));
    const uint8_t report[5] = {0, 1, 2, 3, 4};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
    EXPECT_FALSE(StrayCompletionPending()) << "the cancelled attempt completed inside the call";
}

TEST_F(WriteTest, FiniteTimeoutCancelsAndTheLateAcknowledgementTouchesNothing) {
    if (!CanHoldWrites()) GTEST_SKIP() << "write completions are not the simulator's here";
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, 50));
    uint8_t report[5] = {0, 1, 2, 3, 4};
    SetSentinel();
    EXPECT_EQ(0u, PdxKitWrite(handle_, 0, report, 5));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
    EXPECT_EQ(1u, pdxsim_write_count(0, 0));
    // The device acknowledges only now; the request is long finished, so the
    // acknowledgement must find nothing to complete in this thread.
    pdxsim_release_writes(0, 0, 0);
    EXPECT_FALSE(StrayCompletionPending());
    memset(report, 0xEE, sizeof(report));
    pdxsim_hold_writes(0, 0, 0);
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle_, INFINITE));
    EXPECT_EQ(5u, PdxKitWrite(handle_, 0, report, 5)) << "the pipe still works";
}

TEST_F(WriteTest, InfiniteTimeoutWaitsForTheAcknowledgement) {
    if (!CanHoldWrites()) GTEST_SKIP() << "write completions are not the simulator's here";
    std::atomic<uint32_t> result{12345};
    std::thread writer([&] {
        const uint8_t report[5] = {0, 1, 2, 3, 4};
        result = PdxKitWrite(handle_, 0, report, 5);
    });
    ASSERT_EQ(1, pdxsim_wait_writes(0, 0, 1, kPatience));
    EXPECT_EQ(12345u, result.load()) << "returned before the acknowledgement";
    EXPECT_EQ(1u, pdxsim_release_writes(0, 0, 0));
    writer.join();
    EXPECT_EQ(5u, result.load());
}

TEST_F(WriteTest, CancelIoRows) {
    SetSentinel();
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 0)) << "nothing outstanding";
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 1));
    EXPECT_EQ(0, PdxKitCancelIo(handle_, 2));
    EXPECT_EQ(0, PdxKitCancelIo(nullptr, 0));
    EXPECT_EQ(0, PdxKitCancelIo(reinterpret_cast<uint8_t*>(handle_) + 2, 0));
    EXPECT_EQ(kSentinel, GetLastError()) << "cancelling sets no last error";
}

TEST_F(WriteTest, CancelIoDoesNotReachOtherThreadsRequests) {
    if (!CanHoldWrites()) GTEST_SKIP() << "write completions are not the simulator's here";
    std::atomic<uint32_t> result{12345};
    std::thread writer([&] {
        const uint8_t report[5] = {0, 1, 2, 3, 4};
        result = PdxKitWrite(handle_, 0, report, 5);
    });
    ASSERT_EQ(1, pdxsim_wait_writes(0, 0, 1, kPatience));
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 0));
    EXPECT_EQ(1u, pdxsim_held_writes(0, 0)) << "the other thread's write is still outstanding";
    EXPECT_EQ(1u, pdxsim_release_writes(0, 0, 0));
    writer.join();
    EXPECT_EQ(5u, result.load());
    EXPECT_EQ(1u, pdxsim_write_count(0, 0)) << "it completed as it was, no second attempt";
}

TEST_F(WriteTest, CancelIoLeavesTheReaderAlone) {
    EXPECT_EQ(1, PdxKitCancelIo(handle_, 0));
    SendPinsAndWait(handle_, 0, 0x55, 1);
    EXPECT_EQ(0x55u, PinValue(Record(handle_)->queue.last_report));
}

TEST_F(WriteTest, WriteCompletionJudgesErrorAndBytes) {
    const struct {
        DWORD error, bytes;
        uint8_t success;
    } rows[] = {{0, 5, 1}, {0, 1, 1}, {0, 0, 0}, {ERROR_GEN_FAILURE, 5, 0}, {ERROR_OPERATION_ABORTED, 0, 0}};
    for (const auto& row : rows) {
        WriteContext context;
        memset(&context, 0, sizeof(context));
        context.success = 7;
        context.overlapped.hEvent = &context;
        WriteCompletion(row.error, row.bytes, &context.overlapped);
        EXPECT_EQ(row.success, context.success) << "error " << row.error << " bytes " << row.bytes;
        EXPECT_EQ(1, context.completed);
    }
}

TEST_F(WriteTest, WritesFromSeveralThreadsAreIndependent) {
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int k = 0; k < kEach; ++k) {
                const uint8_t report[5] = {0, static_cast<uint8_t>(t), static_cast<uint8_t>(k), 0, 0};
                if (PdxKitWrite(handle_, t % 2, report, 5) != 5) ++failures;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1, pdxsim_wait_writes(0, 0, kThreads / 2 * kEach, kPatience));
    EXPECT_EQ(1, pdxsim_wait_writes(0, 1, kThreads / 2 * kEach, kPatience));
}

}  // namespace
