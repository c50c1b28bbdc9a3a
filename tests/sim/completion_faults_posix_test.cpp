// Completion faults of the device channels, which only the POSIX channel can
// produce (a named pipe completes a write when the server takes the bytes).
#include <gtest/gtest.h>

#include <cstring>

#include "hid_stack.h"

namespace {

struct Request {
    OVERLAPPED ov;
    DWORD error;
    DWORD bytes;
    int calls;
    uint8_t buf[80];
};

VOID WINAPI on_complete(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
    Request* r = (Request*)ov;
    r->error = error;
    r->bytes = bytes;
    r->calls++;
}

bool wait_done(Request& r) {
    while (r.calls == 0)
        if (SleepEx(10000, TRUE) != WAIT_IO_COMPLETION) return false;
    return true;
}

class CompletionFaults : public ::testing::Test {
protected:
    void SetUp() override {
        install_default_world(1);
        h = open_path(pdxsim_device_path(0, 1), GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(h);
        pdxsim_uninstall();
    }
    Request write65() {
        Request w;
        memset(&w, 0, sizeof w);
        EXPECT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
        return w;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(CompletionFaults, FailedWritesCompleteWithTheErrorThenRecover) {
    ASSERT_TRUE(pdxsim_fail_writes(0, 1, 1, ERROR_GEN_FAILURE));
    Request w;
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    EXPECT_EQ(w.error, (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(w.bytes, 0u);
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(wait_done(w));
    EXPECT_EQ(w.error, 0u);
    EXPECT_EQ(w.bytes, 65u);
    EXPECT_EQ(pdxsim_write_count(0, 1), 2u);  // both were captured
}

TEST_F(CompletionFaults, ZeroByteWrites) {
    ASSERT_TRUE(pdxsim_zero_writes(0, 1, 2));
    for (int k = 0; k < 3; k++) {
        Request w;
        memset(&w, 0, sizeof w);
        ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
        ASSERT_TRUE(wait_done(w));
        EXPECT_EQ(w.error, 0u);
        EXPECT_EQ(w.bytes, k < 2 ? 0u : 65u) << "write " << k;
    }
}

TEST_F(CompletionFaults, HeldWritesCompleteOnlyWhenReleased) {
    ASSERT_TRUE(pdxsim_hold_writes(0, 1, 1));
    Request w;
    memset(&w, 0, sizeof w);
    ASSERT_TRUE(WriteFileEx(h, w.buf, 65, &w.ov, on_complete));
    ASSERT_TRUE(pdxsim_wait_writes(0, 1, 1, 10000));
    EXPECT_EQ(pdxsim_held_writes(0, 1), 1u);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);  // nothing has completed
    EXPECT_EQ(w.calls, 0);
    EXPECT_EQ(pdxsim_release_writes(0, 1, 0), 1u);
    ASSERT_TRUE(wait_done(w));
    EXPECT_EQ(w.bytes, 65u);
    EXPECT_EQ(pdxsim_held_writes(0, 1), 0u);
}

TEST_F(CompletionFaults, ReadErrorCompletesTheOutstandingRead) {
    Request r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    EXPECT_EQ(pdxsim_send_read_error(0, 1, ERROR_CRC), 1);
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.error, (DWORD)ERROR_CRC);
    EXPECT_EQ(r.bytes, 0u);
    // An empty report is a read of 0 bytes.
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    EXPECT_EQ(pdxsim_send_report(0, 1, "", 0), 1);
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.bytes, 0u);
}

TEST_F(CompletionFaults, UnplugFailsPendingAndLaterIoWithDeviceNotConnected) {
    Request r;
    memset(&r, 0, sizeof r);
    ASSERT_TRUE(ReadFileEx(h, r.buf, 65, &r.ov, on_complete));
    pdxsim_unplug(0, 1);
    ASSERT_TRUE(wait_done(r));
    EXPECT_EQ(r.error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    Request w;
    memset(&w, 0, sizeof w);
    BOOL issued = WriteFileEx(h, w.buf, 65, &w.ov, on_complete);
    if (issued) {
        ASSERT_TRUE(wait_done(w));
        EXPECT_EQ(w.error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    } else {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    }
    HidStack hs;
    ASSERT_TRUE(hs.load());
    HIDD_ATTRIBUTES attr;
    attr.Size = sizeof attr;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(hs.HidD_GetAttributes(h, &attr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CompletionFaults, OpensAreRecordedWithTheirAccess) {
    HANDLE q = open_path(pdxsim_device_path(0, 0), 0);
    ASSERT_NE(q, INVALID_HANDLE_VALUE);
    PdxSimOpen opens[4];
    ASSERT_EQ(pdxsim_get_opens(0, opens, 4), 2u);
    EXPECT_EQ(opens[0].access, (uint32_t)(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opens[0].flags, (uint32_t)FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(opens[0].iface, 1);
    EXPECT_EQ(opens[1].access, 0u);
    EXPECT_EQ(opens[1].still_open, 1);
    CloseHandle(q);
    ASSERT_TRUE(pdxsim_wait_open_handles(0, 0, 0, 0, 10000));
    pdxsim_get_opens(1, opens, 1);
    EXPECT_EQ(opens[0].still_open, 0);
}

}  // namespace
