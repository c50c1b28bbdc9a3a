// The 8-report ring and the last report, driven directly on a record.
#include <string.h>

#include <deque>
#include <vector>

#include "library_world.h"
#include "report_queue.h"

namespace {

class ReportQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&record_, 0, sizeof(record_));
        record_.queue_lock = CreateMutexA(nullptr, FALSE, nullptr);
        ASSERT_NE(nullptr, record_.queue_lock);
    }
    void TearDown() override { CloseHandle(record_.queue_lock); }

    // Report k: id k, data bytes k+1..k+4.
    static std::vector<uint8_t> Report(uint8_t k) {
        return {k, static_cast<uint8_t>(k + 1), static_cast<uint8_t>(k + 2), static_cast<uint8_t>(k + 3),
                static_cast<uint8_t>(k + 4)};
    }
    void Push(uint8_t k, uint32_t length = 5) { PushReport(&record_, Report(k).data(), length); }
    // Pops everything; the first byte of each report.
    std::vector<int> PopAll() {
        std::vector<int> ids;
        uint8_t out[5];
        while (PopReport(&record_, out)) {
            EXPECT_EQ(Report(out[0]), std::vector<uint8_t>(out, out + 5)) << "report " << int(out[0]) << " mangled";
            ids.push_back(out[0]);
        }
        return ids;
    }
    static std::vector<int> Range(int first, int last) {
        std::vector<int> ids;
        for (int k = first; k <= last; ++k) ids.push_back(k);
        return ids;
    }

    DeviceRecord record_;
};

TEST_F(ReportQueueTest, NinthReportDropsTheOldest) {
    for (int k = 1; k <= 9; ++k) Push(k);
    EXPECT_EQ(8u, record_.queue.count);
    EXPECT_EQ(Report(9), std::vector<uint8_t>(record_.queue.last_report, record_.queue.last_report + 5));
    EXPECT_EQ(Range(2, 9), PopAll());
}

TEST_F(ReportQueueTest, PopThenPushOnAFullRingLosesNothingElse) {
    for (int k = 1; k <= 9; ++k) Push(k);
    uint8_t out[5];
    ASSERT_TRUE(PopReport(&record_, out));
    EXPECT_EQ(2, out[0]);
    Push(10);
    EXPECT_EQ(Range(3, 10), PopAll());
}

TEST_F(ReportQueueTest, TwentyReportsKeepTheLastEight) {
    for (int k = 1; k <= 20; ++k) Push(k);
    EXPECT_EQ(Range(13, 20), PopAll());
}

TEST_F(ReportQueueTest, EmptiedQueueStartsAgainAtSlotZero) {
    for (int k = 1; k <= 5; ++k) Push(k);
    uint8_t out[5];
    for (int k = 1; k <= 3; ++k) ASSERT_TRUE(PopReport(&record_, out));
    for (int k = 6; k <= 8; ++k) Push(k);
    EXPECT_EQ(Range(4, 8), PopAll());
    EXPECT_EQ(0u, record_.queue.read_index);
    EXPECT_EQ(0u, record_.queue.write_index);
    Push(42);
    EXPECT_EQ(Report(42), std::vector<uint8_t>(record_.queue.slots[0], record_.queue.slots[0] + 5));
    EXPECT_EQ(1u, record_.queue.write_index);
}

TEST_F(ReportQueueTest, EightInEightOutLeavesBothIndicesAtZero) {
    for (int k = 1; k <= 8; ++k) Push(k);
    EXPECT_EQ(Range(1, 8), PopAll());
    EXPECT_EQ(0u, record_.queue.read_index);
    EXPECT_EQ(0u, record_.queue.write_index);
    EXPECT_EQ(0u, record_.queue.count);
}

TEST_F(ReportQueueTest, BehavesLikeABoundedFifoThroughWrapArounds) {
    std::deque<uint8_t> model;
    uint8_t next = 1;
    uint8_t out[5];
    for (int round = 0; round < 60; ++round) {
        for (int i = 0; i < round % 5 + 1; ++i, ++next) {
            Push(next);
            model.push_back(next);
            if (model.size() > 8) model.pop_front();
        }
        for (int i = 0; i < round % 3 + 1; ++i) {
            const bool taken = PopReport(&record_, out);
            ASSERT_EQ(!model.empty(), taken);
            if (!taken) break;
            EXPECT_EQ(model.front(), out[0]);
            model.pop_front();
        }
        EXPECT_EQ(model.size(), record_.queue.count);
        EXPECT_EQ(record_.queue.write_index, (record_.queue.read_index + record_.queue.count) % 8);
    }
}

TEST_F(ReportQueueTest, PopOnEmptyLeavesTheOutputAlone) {
    uint8_t out[5] = {9, 9, 9, 9, 9};
    EXPECT_FALSE(PopReport(&record_, out));
    for (uint8_t byte : out) EXPECT_EQ(9, byte);
}

TEST_F(ReportQueueTest, EveryPushSetsTheLastReportItsLengthAndTheFlag) {
    Push(1, 3);
    EXPECT_EQ(3u, record_.queue.last_report_length);
    EXPECT_EQ(1, record_.queue.new_report);
    record_.queue.new_report = 0;
    for (int k = 2; k <= 9; ++k) Push(k, 5);
    Push(10, 0);  // full ring: still the last report
    EXPECT_EQ(0u, record_.queue.last_report_length);
    EXPECT_EQ(1, record_.queue.new_report);
    EXPECT_EQ(Report(10), std::vector<uint8_t>(record_.queue.last_report, record_.queue.last_report + 5));
    EXPECT_EQ(8u, record_.queue.count);
    EXPECT_EQ(Range(3, 10), PopAll()) << "a zero-length report is queued like any other";
}

TEST_F(ReportQueueTest, PopLeavesTheLastReportAlone) {
    Push(1, 4);
    uint8_t out[5];
    ASSERT_TRUE(PopReport(&record_, out));
    EXPECT_EQ(4u, record_.queue.last_report_length);
    EXPECT_EQ(1, record_.queue.new_report);
    EXPECT_EQ(Report(1), std::vector<uint8_t>(record_.queue.last_report, record_.queue.last_report + 5));
}

}  // namespace
