// Device channels: reports reach every reading handle of an interface, host
// writes reach the chip, through overlapped I/O with completion routines and
// alertable waits, as pdxkit drives them.
#include <gtest/gtest.h>

#include <cstring>

#include "hid_stack.h"

namespace {

struct Completion {
    DWORD error;
    DWORD bytes;
    int calls;
};

// The OVERLAPPED comes first so the routine finds its record.
struct Request {
    OVERLAPPED ov;
    Completion done;
    uint8_t buf[128];
};

VOID WINAPI on_complete(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
    Request* r = (Request*)ov;
    r->done.error = error;
    r->done.bytes = bytes;
    r->done.calls++;
}

// Waits alertably until the request's routine has run.
bool wait_done(Request& r, DWORD ms = 10000) {
    while (r.done.calls == 0)
        if (SleepEx(ms, TRUE) != WAIT_IO_COMPLETION) return false;
    return true;
}

class ChannelIo : public ::testing::Test {
protected:
    void SetUp() override { install_default_world(2); }
    void TearDown() override { pdxsim_uninstall(); }

    HANDLE open(int device, int iface, DWORD access) {
        return open_path(pdxsim_device_path(device, iface), access, FILE_FLAG_OVERLAPPED);
    }
};

TEST_F(ChannelIo, InjectedReportCompletesAnOutstandingRead) {
    HANDLE h = open(1, 0, GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(pdxsim_wait_open_handles(1, 0, 1, 1, 10000));
    Request r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 5, &r.ov, on_complete));
    const uint8_t report[5] = {0, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(pdxsim_send_report(1, 0, report, 5), 1);
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.done.error, 0u);
    EXPECT_EQ(r.done.bytes, 5u);
    EXPECT_EQ(memcmp(r.buf, report, 5), 0);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &r.ov, &n, FALSE));
    EXPECT_EQ(n, 5u);
    CloseHandle(h);
}

TEST_F(ChannelIo, EveryReadingHandleGetsEachReport) {
    HANDLE a = open(0, 0, GENERIC_READ);
    HANDLE b = open(0, 0, GENERIC_READ);
    ASSERT_TRUE(pdxsim_wait_open_handles(0, 0, 2, 1, 10000));
    const uint8_t report[5] = {0, 1, 2, 3, 4};
    EXPECT_EQ(pdxsim_send_report(0, 0, report, 5), 2);
    // Other interfaces see nothing.
    EXPECT_EQ(pdxsim_send_report(0, 1, report, 5), 0);
    Request ra, rb;
    memset(&ra, 0, sizeof ra);
    memset(&rb, 0, sizeof rb);
    ASSERT_TRUE(ReadFileEx(a, ra.buf, 5, &ra.ov, on_complete));
    ASSERT_TRUE(ReadFileEx(b, rb.buf, 5, &rb.ov, on_complete));
    ASSERT_TRUE(wait_done(ra));
    ASSERT_TRUE(wait_done(rb));
    EXPECT_EQ(memcmp(ra.buf, report, 5), 0);
    EXPECT_EQ(memcmp(rb.buf, report, 5), 0);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_TRUE(pdxsim_wait_open_handles(0, 0, 0, 0, 10000));
    EXPECT_EQ(pdxsim_send_report(0, 0, report, 5), 0);
}

TEST_F(ChannelIo, HostWriteArrivesAtTheChipAndIsAcknowledged) {
    HANDLE h = open(0, 1, GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request w;
    memset(&w, 0, sizeof w);
    memset(w.buf, 0, 65);
    w.buf[1] = 0x42;
    w.buf[64] = 0x99;
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    EXPECT_EQ(w.done.error, 0u);
    EXPECT_EQ(w.done.bytes, 65u);
    ASSERT_TRUE(pdxsim_wait_writes(0, 1, 1, 10000));
    PdxSimWrite got;
    ASSERT_TRUE(pdxsim_get_write(0, 1, 0, &got));
    EXPECT_EQ(got.len, 65u);
    EXPECT_EQ(got.bytes[1], 0x42);
    EXPECT_EQ(got.bytes[64], 0x99);
    EXPECT_EQ(pdxsim_write_count(0, 0), 0u);
    CloseHandle(h);
}

TEST_F(ChannelIo, PortWriteSetsThePinsAndTheChipReportsThem) {
    HANDLE rd = open(0, 0, GENERIC_READ);
    HANDLE wr = open(0, 0, GENERIC_WRITE);
    ASSERT_NE(rd, INVALID_HANDLE_VALUE);
    ASSERT_NE(wr, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(pdxsim_wait_open_handles(0, 0, 2, 0, 10000));
    Request r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(rd, r.buf, 5, &r.ov, on_complete));
    Request w;
    memset(&w, 0, sizeof w);
    const uint8_t out[5] = {0, 0x78, 0x56, 0x34, 0x12};
    memcpy(w.buf, out, 5);
    ASSERT_TRUE(WriteFileEx(wr, w.buf, 5, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(memcmp(r.buf, out, 5), 0);
    EXPECT_EQ(pdxsim_chip_pins(0), 0x12345678u);
    CloseHandle(rd);
    CloseHandle(wr);
}

TEST_F(ChannelIo, SpecialFunctionsAnswerEchoAndIdentify) {
    HANDLE h = open(1, 1, GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r, w;
    memset(&r, 0, sizeof r);
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    w.buf[1] = PDXSIM_CMD_IDENTIFY;
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.done.bytes, 65u);
    EXPECT_EQ(r.buf[1], PDXSIM_CMD_IDENTIFY);
    EXPECT_EQ(r.buf[2] | (r.buf[3] << 8), 0x1F3A);
    EXPECT_EQ(r.buf[4] | (r.buf[5] << 8), 0x2A11);
    EXPECT_EQ(memcmp(r.buf + 8, "PDXSIM00000002", 14), 0);

    memset(&r, 0, sizeof r);
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    w.buf[1] = PDXSIM_CMD_ECHO;
    w.buf[2] = 0xAB;
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(memcmp(r.buf, w.buf, 65), 0);
    CloseHandle(h);
}

uint32_t answer_with_length(void* ctx, int device, int iface, const uint8_t* write, uint32_t len, uint8_t* reply,
                            uint32_t cap) {
    *(int*)ctx += 1;
    reply[0] = 0;
    reply[1] = (uint8_t)len;
    return 2;
}

TEST_F(ChannelIo, ResponderAndCannedReplyAnswerWrites) {
    int calls = 0;
    pdxsim_set_responder(0, 1, answer_with_length, &calls);
    HANDLE h = open(0, 1, GENERIC_READ | GENERIC_WRITE);
    Request r, w;
    memset(&r, 0, sizeof r);
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    ASSERT_TRUE(WriteFileEx(h, w.buf, 9, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.done.bytes, 2u);
    EXPECT_EQ(r.buf[1], 9);
    EXPECT_EQ(calls, 1);

    pdxsim_set_responder(0, 1, nullptr, nullptr);
    const uint8_t canned[3] = {0, 7, 7};
    pdxsim_set_canned_reply(0, 1, canned, 3);
    memset(&r, 0, sizeof r);
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    ASSERT_TRUE(WriteFileEx(h, w.buf, 9, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.done.bytes, 3u);
    EXPECT_EQ(memcmp(r.buf, canned, 3), 0);
    CloseHandle(h);
}

TEST_F(ChannelIo, UnpluggedInterfaceFailsIoAndOpens) {
    HANDLE h = open(0, 0, GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Request r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 5, &r.ov, on_complete));
    pdxsim_unplug(0, -1);
    ASSERT_TRUE(wait_done(r));
    EXPECT_NE(r.done.error, 0u);
    EXPECT_EQ(r.done.bytes, 0u);
    const uint8_t report[5] = {0};
    EXPECT_EQ(pdxsim_send_report(0, 0, report, 5), 0);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(open(0, 1, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    HidStack hs;
    ASSERT_TRUE(hs.load());
    EXPECT_EQ(enumerate_all(hs).size(), 2u);  // only device 1 is present
    pdxsim_plug(0, -1);
    EXPECT_EQ(enumerate_all(hs).size(), 4u);
    HANDLE again = open(0, 1, GENERIC_READ);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "CreateFileA error " << GetLastError();
    CloseHandle(again);
    CloseHandle(h);
}

TEST_F(ChannelIo, CounterGeneratorSendsNumberedReportsWithoutLoss) {
    HANDLE h = open(0, 0, GENERIC_READ);
    ASSERT_TRUE(pdxsim_wait_open_handles(0, 0, 1, 1, 10000));
    const uint32_t total = 100;
    ASSERT_TRUE(pdxsim_chip_start_counter(0, 20000, 1000, total));
    for (uint32_t k = 0; k < total; k++) {
        Request r;
        memset(&r, 0, sizeof r);
        ASSERT_TRUE(ReadFileEx(h, r.buf, 5, &r.ov, on_complete));
        ASSERT_TRUE(wait_done(r));
        uint32_t v = r.buf[1] | (r.buf[2] << 8) | (r.buf[3] << 16) | ((uint32_t)r.buf[4] << 24);
        ASSERT_EQ(v, 1000 + k);
    }
    EXPECT_TRUE(pdxsim_chip_wait_done(0, 10000));
    EXPECT_EQ(pdxsim_chip_generated(0), total);
    EXPECT_EQ(pdxsim_chip_pins(0), 1000 + total - 1);
    CloseHandle(h);
}

}  // namespace
