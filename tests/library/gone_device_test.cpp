// A chip that goes away ends the queued reads of its port: blocked ones, with
// or without a timeout, several at once, and those started afterwards; the
// reports queued before are still delivered first.
#include <string.h>

#include <thread>
#include <vector>

#include "library_world.h"

namespace {

// What the platform reports for the reads of an unplugged chip: the HID
// stack's "device not connected". The Windows simulator's interfaces are
// named pipes, for which Wine reports a broken or disconnected pipe.
bool IsUnplugError(DWORD error) {
#ifdef _WIN32
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
#else
    return error == ERROR_DEVICE_NOT_CONNECTED;
#endif
}

// One PdxKitRead of pipe 0 in a thread of its own.
struct Reader {
    uint32_t bytes = 12345;
    DWORD error = 0;
    std::thread thread;

    void Start(PdxKitHandle handle, uint32_t length) {
        thread = std::thread([this, handle, length] {
            uint8_t buffer[20];
            SetLastError(kSentinel);
            bytes = PdxKitRead(handle, 0, buffer, length);
            error = GetLastError();
        });
    }
};

class GoneDeviceTest : public LibraryTest {
protected:
    void SetUp() override { handle_ = OpenDefault(1); }
    DeviceRecord* record() { return Record(handle_); }

    // Unplugs the chip once a queued read holds the read lock (no event
    // tells when a read is under way, so look), then waits for the readers.
    void UnplugUnderReaders(std::vector<Reader>& readers) {
        for (Reader& reader : readers) reader.Start(handle_, 5);
        while (WaitForSingleObject(record()->read_lock, 0) == WAIT_OBJECT_0) {
            ReleaseMutex(record()->read_lock);
            SleepEx(1, FALSE);
        }
        pdxsim_unplug(0, -1);
        for (Reader& reader : readers) reader.thread.join();
    }

    // Reads one 5-byte report; expects nothing and the unplug error.
    void ExpectGoneRead() {
        uint8_t buffer[5];
        SetSentinel();
        EXPECT_EQ(0u, PdxKitRead(handle_, 0, buffer, sizeof(buffer)));
        const DWORD error = GetLastError();
        EXPECT_TRUE(IsUnplugError(error)) << "last error " << error;
    }

    PdxKitHandle handle_ = nullptr;
};

TEST_F(GoneDeviceTest, BlockedReadWithoutTimeoutEnds) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    std::vector<Reader> readers(1);
    UnplugUnderReaders(readers);
    EXPECT_EQ(0u, readers[0].bytes);
    EXPECT_TRUE(IsUnplugError(readers[0].error)) << "last error " << readers[0].error;
}

TEST_F(GoneDeviceTest, BlockedReadWithATimeoutEndsBeforeIt) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, kPatience));
    std::vector<Reader> readers(1);
    UnplugUnderReaders(readers);
    EXPECT_EQ(0u, readers[0].bytes);
    EXPECT_TRUE(IsUnplugError(readers[0].error)) << "last error " << readers[0].error << " (1460: it waited)";
}

TEST_F(GoneDeviceTest, SeveralBlockedReadersAllEnd) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    std::vector<Reader> readers(3);
    UnplugUnderReaders(readers);
    for (const Reader& reader : readers) {
        EXPECT_EQ(0u, reader.bytes);
        EXPECT_TRUE(IsUnplugError(reader.error)) << "last error " << reader.error;
    }
}

TEST_F(GoneDeviceTest, ReadStartedAfterTheUnplugDoesNotWait) {
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    pdxsim_unplug(0, -1);
    ASSERT_TRUE(WaitGone(record()));
    ExpectGoneRead();
    ExpectGoneRead();
}

TEST_F(GoneDeviceTest, QueuedReportsAreDeliveredFirst) {
    for (uint32_t k = 1; k <= 3; ++k) SendPinsAndWait(handle_, 0, k, k);
    pdxsim_unplug(0, -1);
    ASSERT_TRUE(WaitGone(record()));
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    for (uint32_t k = 1; k <= 3; ++k) {
        uint8_t buffer[5];
        ASSERT_EQ(5u, PdxKitRead(handle_, 0, buffer, sizeof(buffer))) << "report " << k;
        EXPECT_EQ(k, PinValue(buffer));
    }
    ExpectGoneRead();
}

TEST_F(GoneDeviceTest, PortThatNeverOpenedCountsAsGone) {
    PdxKitCloseDevice(nullptr);
    auto world = MakeWorld(1);
    world->device[0].iface[0].output_len = 65;  // both interfaces decide pipe 1: pipe 0 has no handle
    Install(*world);
    handle_ = Open();
    ASSERT_EQ(1, PdxKitSetTimeout(handle_, INFINITE));
    uint8_t buffer[5];
    SetSentinel();
    EXPECT_EQ(0u, PdxKitRead(handle_, 0, buffer, sizeof(buffer)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

}  // namespace
