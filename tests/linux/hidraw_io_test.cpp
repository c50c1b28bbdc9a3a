// Reports through /dev/hidrawN as the Windows HID stack shapes them: the
// report id byte always first (0 for a device without report ids, which
// hidraw leaves out), writes passed on as given, and an unplugged device
// failing requests instead of leaving them pending.
#include <errno.h>
#include <unistd.h>

#include "hid_stack_fixture.h"
#include "hidraw_files.h"
#include "rt_syscalls.h"
#include "report_descriptors.h"

namespace {

const DWORD kGuardMs = 10000;  // a guard against hanging, never a synchronisation

struct Completion {
    DWORD error = 0xdeadbeef;
    DWORD bytes = 0xdeadbeef;
    int count = 0;
};

struct Request {
    OVERLAPPED ov = {};
    Completion done;
};

VOID CALLBACK Complete(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
    Request* r = (Request*)ov;  // the OVERLAPPED is the first member
    r->done.error = error;
    r->done.bytes = bytes;
    r->done.count++;
}

class HidrawIo : public HidStackTest {
protected:
    void AddInterface(const std::vector<uint8_t>& descriptor) {
        hid = {1, 0, 5, 0x1F3A, 0x2A10, 0x0003, descriptor, "S"};
        sysfs.AddUsbDevice({1, 0x1F3A, 0x2A10, 0x0100, ""});
        sysfs.AddHidInterface(hid);
        device = sysfs.DeviceFd(5);
        ASSERT_GE(device, 0);
    }

    HANDLE Open(DWORD access) {
        HANDLE h = CreateFileA("/dev/hidraw5", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
        return h;
    }

    // Waits alertably until the request's routine has run.
    void AwaitCompletion(Request* r) {
        while (r->done.count == 0) ASSERT_EQ(WAIT_IO_COMPLETION, SleepEx(kGuardMs, TRUE));
    }

    FakeHidInterface hid;
    int device = -1;
};

TEST_F(HidrawIo, TheFileKindAndWriteLengthFollowTheReportDescriptor) {
    struct Case {
        std::vector<uint8_t> descriptor;
        int kind;
        DWORD write_length;
    } cases[] = {
        {PortInterfaceDescriptor(), PDX_HIDRAW_FILE_UNNUMBERED, 5},
        {VendorDescriptor(0x01, 4, 8, 7), PDX_HIDRAW_FILE_NUMBERED, 9},
        {{0xA1, 0x01}, PDX_HIDRAW_FILE_NUMBERED, 0},  // unreadable: reports pass as hidraw gives them
    };
    sysfs.AddUsbDevice({1, 0x1F3A, 0x2A10, 0x0100, ""});
    for (unsigned i = 0; i < 3; i++)
        sysfs.AddHidInterface({1, (int)i, i, 0x1F3A, 0x2A10, 0x0003, cases[i].descriptor, ""});
    for (unsigned i = 0; i < 3; i++) {
        std::string path = "/dev/hidraw" + std::to_string(i);
        int kind = -1;
        DWORD write_length = 0xdeadbeef, error = 0xdeadbeef;
        int fd = pdx_hidraw_open(nullptr, path.c_str(), GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED, &kind,
                                 &write_length, &error);
        ASSERT_GE(fd, 0) << path << ": " << error;
        EXPECT_EQ(cases[i].kind, kind) << path;
        EXPECT_EQ(cases[i].write_length, write_length) << path;
        close(fd);
    }
    int kind = -1;
    DWORD write_length = 0, error = 0;
    EXPECT_EQ(-1, pdx_hidraw_open(nullptr, "/dev/hidraw7", GENERIC_READ, 0, 0, &kind, &write_length, &error));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
}

TEST_F(HidrawIo, ReportsOfAnUnnumberedDeviceGetReportIdZero) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(GENERIC_READ);
    uint8_t buffer[5];
    memset(buffer, 0xEE, sizeof(buffer));
    Request r;
    ASSERT_TRUE(ReadFileEx(h, buffer, sizeof(buffer), &r.ov, Complete));
    ASSERT_TRUE(SendReport(device, {0x11, 0x22, 0x33, 0x44}));
    AwaitCompletion(&r);
    EXPECT_EQ(ERROR_SUCCESS, r.done.error);
    EXPECT_EQ(5u, r.done.bytes);
    const uint8_t want[5] = {0x00, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(0, memcmp(want, buffer, 5));
    CloseHandle(h);
}

TEST_F(HidrawIo, ReportsOfANumberedDeviceKeepTheirId) {
    AddInterface(VendorDescriptor(0x01, 4, 4, 7));
    HANDLE h = Open(GENERIC_READ);
    uint8_t buffer[5] = {};
    Request r;
    ASSERT_TRUE(ReadFileEx(h, buffer, sizeof(buffer), &r.ov, Complete));
    ASSERT_TRUE(SendReport(device, {0x07, 0x11, 0x22, 0x33, 0x44}));
    AwaitCompletion(&r);
    EXPECT_EQ(ERROR_SUCCESS, r.done.error);
    EXPECT_EQ(5u, r.done.bytes);
    const uint8_t want[5] = {0x07, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(0, memcmp(want, buffer, 5));
    CloseHandle(h);
}

TEST_F(HidrawIo, WritesGoOutWithTheirReportIdByte) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(GENERIC_WRITE);
    const uint8_t report[5] = {0x00, 0x01, 0x02, 0x03, 0x04};
    Request r;
    ASSERT_TRUE(WriteFileEx(h, report, sizeof(report), &r.ov, Complete));
    AwaitCompletion(&r);
    EXPECT_EQ(ERROR_SUCCESS, r.done.error);
    EXPECT_EQ(5u, r.done.bytes);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 5), ReceiveWrite(device, 5, kGuardMs));
    CloseHandle(h);
}

// As on Windows: a write must be exactly one output report, id byte
// included; hidraw itself would pass a short or long one on.
TEST_F(HidrawIo, WritesOfAnotherLengthThanTheOutputReportAreRefused) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(GENERIC_WRITE);
    const uint8_t report[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    for (DWORD len : {1u, 4u, 6u}) {
        Request r;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(WriteFileEx(h, report, len, &r.ov, Complete)) << len;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << len;
        EXPECT_EQ(0u, SleepEx(0, TRUE)) << "no routine for a refused write";
    }
    EXPECT_TRUE(ReceiveWrite(device, 6, 0).empty()) << "nothing went out";
    CloseHandle(h);
}

TEST_F(HidrawIo, AnUnpluggedDeviceFailsPendingAndLaterRequests) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(GENERIC_READ | GENERIC_WRITE);
    uint8_t buffer[5];
    Request pending;
    ASSERT_TRUE(ReadFileEx(h, buffer, sizeof(buffer), &pending.ov, Complete));
    sysfs.Unplug(hid);
    AwaitCompletion(&pending);
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, pending.done.error);
    EXPECT_EQ(0u, pending.done.bytes);

    // Later requests fail too, at once or through their routine.
    Request later;
    if (ReadFileEx(h, buffer, sizeof(buffer), &later.ov, Complete)) {
        AwaitCompletion(&later);
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, later.done.error);
    } else {
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    }
    const uint8_t report[5] = {0x00, 0x01, 0x02, 0x03, 0x04};
    Request write;
    if (WriteFileEx(h, report, sizeof(report), &write.ov, Complete)) {
        AwaitCompletion(&write);
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, write.done.error);
    } else {
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    }
    CloseHandle(h);
}

// The host controller's answer to a transfer the device did not answer; the
// fake's hidraw nodes are the only pseudo-terminals the runtime writes to.
ssize_t UnansweredOnHidraw(int fd, const void* buf, size_t n) {
    if (!isatty(fd)) return write(fd, buf, n);
    errno = EPROTO;
    return -1;
}

// A chip being unplugged stops answering before the kernel removes it: its
// writes fail as not connected, not as a general failure, while the handle
// stays good for when it answers again.
TEST_F(HidrawIo, AWriteTheDeviceDoesNotAnswerFailsAsNotConnected) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(GENERIC_WRITE);
    const uint8_t report[5] = {0x00, 0x01, 0x02, 0x03, 0x04};
    auto real_write = g_rt_sys.write;
    __atomic_store_n(&g_rt_sys.write, &UnansweredOnHidraw, __ATOMIC_RELEASE);
    Request unanswered;
    ASSERT_TRUE(WriteFileEx(h, report, sizeof(report), &unanswered.ov, Complete));
    AwaitCompletion(&unanswered);
    __atomic_store_n(&g_rt_sys.write, real_write, __ATOMIC_RELEASE);
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, unanswered.done.error);

    Request answered;
    ASSERT_TRUE(WriteFileEx(h, report, sizeof(report), &answered.ov, Complete));
    AwaitCompletion(&answered);
    EXPECT_EQ(ERROR_SUCCESS, answered.done.error);
    EXPECT_EQ(std::vector<uint8_t>(report, report + 5), ReceiveWrite(device, 5, kGuardMs));
    CloseHandle(h);
}

TEST_F(HidrawIo, QueryOnlyHandlesMoveNoReports) {
    AddInterface(PortInterfaceDescriptor());
    HANDLE h = Open(0);
    uint8_t buffer[5];
    Request r;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadFileEx(h, buffer, sizeof(buffer), &r.ov, Complete));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(0, r.done.count);
    CloseHandle(h);
}

}  // namespace
