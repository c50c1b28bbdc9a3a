// A chip unplugged while idle, during a queued read, a direct read, a write
// and a close: no crash, every call returns within its timeout, nothing
// spins afterwards, closing returns promptly, and after plugging the chip
// back a new open finds it again.
#include <chrono>
#include <thread>

#include "reliability_support.h"

namespace {

constexpr DWORD kReadTimeout = 1000;
constexpr DWORD kLongTimeout = 60000;  // longer than any test may take
// CPU the whole process may use in one idle second after an unplug: a busy
// loop takes the full second, an idle reader a few wake-ups.
constexpr int64_t kIdleCpuMicros = kSanitized ? 250000 : 100000;

class UnplugTest : public ReliabilityTest {
protected:
    // Two chips; the first is the one unplugged. Without its chip model it
    // answers no write, so nothing is left to read from it.
    PdxKitHandle OpenOne(bool chip_model = true) {
        auto world = MakeWorld(2);
        world->device[0].chip_model = chip_model ? 1 : 0;
        Install(*world);
        PdxKitHandle handle = PdxKitOpenDevice();
        EXPECT_NE(nullptr, handle) << "open failed with " << GetLastError();
        return handle;
    }

    // The second chip stays plugged in and must keep working.
    void ExpectOtherChipWorks() {
        PdxKitHandle other = PdxKitGetDeviceHandle(2);
        ASSERT_EQ(1, PdxKitSetTimeout(other, kPromptMs));
        ASSERT_EQ(1, SendPins(1, 0x0BADCAFE));
        uint8_t report[5];
        ASSERT_EQ(5u, PdxKitRead(other, 0, report, sizeof(report)));
        EXPECT_EQ(0x0BADCAFEu, PinValue(report));
    }

    // One second in which nothing happens must cost next to no CPU.
    void ExpectIdle(const char* after) {
        const int64_t before = ProcessCpuMicros();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the measuring window
        const int64_t used = ProcessCpuMicros() - before;
        EXPECT_LT(used, kIdleCpuMicros) << "after " << after << " the process used " << used
                                        << " us of CPU in an idle second";
    }

    // Every call on the unplugged chip returns, and returns nothing.
    void ExpectCallsReturn(PdxKitHandle handle) {
        ASSERT_EQ(1, PdxKitSetTimeout(handle, kReadTimeout));
        ASSERT_EQ(1, PdxKitSetWriteTimeout(handle, kReadTimeout));
        Deadline deadline("calls on an unplugged chip", 4 * kReadTimeout + kPromptMs);
        uint8_t buffer[65] = {0, PDXSIM_CMD_ECHO};
        EXPECT_EQ(0u, PdxKitRead(handle, 0, buffer, 5));
        EXPECT_EQ(0u, PdxKitRead(handle, 1, buffer, sizeof(buffer)));
        EXPECT_EQ(0u, PdxKitWrite(handle, 0, buffer, 5));
        EXPECT_EQ(0u, PdxKitWrite(handle, 1, buffer, sizeof(buffer)));
        uint32_t pins = 0;
        PdxKitReadImmediate(handle, &pins);
        EXPECT_EQ(1, PdxKitCancelIo(handle, 0));
        EXPECT_EQ(1, PdxKitCancelIo(handle, 1));
    }

    // Close (promptly), plug back in, open again: the chip is found and
    // reports reach the reader again.
    void CloseReplugReopen() {
        {
            Deadline deadline("PdxKitCloseDevice after an unplug", kPromptMs);
            PdxKitCloseDevice(nullptr);
        }
        pdxsim_plug(0, -1);
        PdxKitHandle handle = PdxKitOpenDevice();
        ASSERT_NE(nullptr, handle) << "open after replugging failed with " << GetLastError();
        ASSERT_EQ(2u, PdxKitGetNumDevs());
        ASSERT_EQ(1, PdxKitSetTimeout(handle, kPromptMs));
        ASSERT_EQ(1, SendPins(0, 0x12345678));
        uint8_t report[5];
        ASSERT_EQ(5u, PdxKitRead(handle, 0, report, sizeof(report)));
        EXPECT_EQ(0x12345678u, PinValue(report));
    }

    // Waits until some thread holds the device's read lock (a queued read
    // is in progress); true when one does.
    static bool ReadLockTaken(PdxKitHandle handle) {
        HANDLE lock = static_cast<DeviceRecord*>(handle)->read_lock;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
        while (std::chrono::steady_clock::now() < give_up) {
            if (WaitForSingleObject(lock, 0) == WAIT_TIMEOUT) return true;
            ReleaseMutex(lock);
            std::this_thread::yield();
        }
        return false;
    }

    // Waits until the runtime counts `count` requests pending.
    static bool PendingRequests(DWORD count) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
        while (std::chrono::steady_clock::now() < give_up) {
            PdxRtCounters counters;
            pdxrt_get_counters(&counters);
            if (counters.pending_io >= count) return true;
            std::this_thread::yield();
        }
        return false;
    }
};

TEST_F(UnplugTest, WhileIdle) {
    PdxKitHandle handle = OpenOne();
    ASSERT_NE(nullptr, handle);
    pdxsim_unplug(0, -1);
    ExpectIdle("an unplug while idle");
    ExpectCallsReturn(handle);
    ExpectOtherChipWorks();
    ExpectIdle("calls on the unplugged chip");
    CloseReplugReopen();
}

TEST_F(UnplugTest, DuringQueuedRead) {
    PdxKitHandle handle = OpenOne();
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(1, PdxKitSetTimeout(handle, kReadTimeout));
    uint32_t bytes = 1;
    DWORD error = 0;
    std::thread reader([&] {
        uint8_t report[5];
        Deadline deadline("PdxKitRead(pipe 0) during an unplug", kReadTimeout + kPromptMs);
        bytes = PdxKitRead(handle, 0, report, sizeof(report));
        error = GetLastError();
    });
    ASSERT_TRUE(ReadLockTaken(handle));
    pdxsim_unplug(0, -1);
    reader.join();
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), error)
        << "the read ends with the unplug, not its timeout";
    ExpectIdle("an unplug during a queued read");
    ExpectCallsReturn(handle);
    CloseReplugReopen();
}

TEST_F(UnplugTest, DuringDirectRead) {
    PdxKitHandle handle = OpenOne();
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(1, PdxKitSetTimeout(handle, kLongTimeout));
    PdxRtCounters idle;
    pdxrt_get_counters(&idle);  // the readers' own pipe-0 requests
    uint32_t bytes = 1;
    DWORD error = 0;
    std::thread reader([&] {
        uint8_t reply[65];
        // The request fails with the device gone: no waiting for the timeout.
        Deadline deadline("PdxKitRead(pipe 1) during an unplug", kPromptMs);
        bytes = PdxKitRead(handle, 1, reply, sizeof(reply));
        error = GetLastError();
    });
    ASSERT_TRUE(PendingRequests(idle.pending_io + 1));
    pdxsim_unplug(0, -1);
    reader.join();
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), error);
    ExpectIdle("an unplug during a direct read");
    ExpectCallsReturn(handle);
    ExpectOtherChipWorks();
    CloseReplugReopen();
}

TEST_F(UnplugTest, DuringWrite) {
    PdxKitHandle handle = OpenOne(false);
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(1, PdxKitSetWriteTimeout(handle, kLongTimeout));
    for (int pipe = 0; pipe < 2; ++pipe) {
        SCOPED_TRACE(pipe);
        ASSERT_EQ(1, pdxsim_hold_writes(0, pipe, 1));
        uint32_t written = 1;
        std::thread writer([&] {
            uint8_t request[65] = {0, PDXSIM_CMD_ECHO};
            Deadline deadline("PdxKitWrite during an unplug", kPromptMs);
            written = PdxKitWrite(handle, pipe, request, pipe == 0 ? 5 : 65);
        });
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
        while (pdxsim_held_writes(0, pipe) == 0 && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::yield();
        }
        ASSERT_EQ(1u, pdxsim_held_writes(0, pipe));
        pdxsim_unplug(0, pipe);
        writer.join();
        EXPECT_EQ(0u, written);
    }
    ExpectIdle("an unplug during a write");
    ExpectCallsReturn(handle);
    ExpectOtherChipWorks();
    CloseReplugReopen();
}

TEST_F(UnplugTest, DuringClose) {
    Install(*MakeWorld(2));
    // A first open and close sets up what stays for the process (this
    // thread's runtime state, allocator arenas).
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    PdxKitCloseDevice(nullptr);
    ASSERT_EQ(1, pdxsim_install(MakeWorld(2).get()));
    const Resources start = SettledResources();
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        PdxKitHandle handle = PdxKitOpenDevice();
        ASSERT_NE(nullptr, handle);
        // Reports in flight, then the unplug races the close at a
        // different point each round.
        for (uint32_t k = 0; k < 4; ++k) SendPins(0, k);
        std::thread unplugger([round] {
            for (int spin = 0; spin < round * 50; ++spin) std::this_thread::yield();
            pdxsim_unplug(0, -1);
        });
        {
            Deadline deadline("PdxKitCloseDevice racing an unplug", kPromptMs);
            PdxKitCloseDevice(handle);
        }
        unplugger.join();
        pdxsim_plug(0, -1);
    }
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(2u, PdxKitGetNumDevs());
    ExpectOtherChipWorks();
    PdxKitCloseDevice(nullptr);
    ASSERT_EQ(1, pdxsim_install(MakeWorld(2).get()));
    EXPECT_TRUE(SameResources(start, 16 * 1024));
}

TEST_F(UnplugTest, WhileStreaming) {
    // A chip that goes away in the middle of a stream of reports.
    PdxKitHandle handle = OpenOne();
    ASSERT_NE(nullptr, handle);
    ASSERT_EQ(1, PdxKitSetTimeout(handle, 20));
    ASSERT_EQ(1, pdxsim_chip_start_counter(0, 1000, 1, 0));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t buffer[20];
        while (!stop) {
            Deadline deadline("PdxKitRead(pipe 0) while the chip goes away", 4 * 20 + kPromptMs);
            PdxKitRead(handle, 0, buffer, sizeof(buffer));
        }
    });
    // Unplugged once the stream is well under way.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPromptMs);
    while (pdxsim_chip_generated(0) < 100 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(pdxsim_chip_generated(0), 100u);
    pdxsim_unplug(0, -1);
    pdxsim_chip_stop(0);
    stop = true;
    reader.join();
    ExpectIdle("an unplug while streaming");
    ExpectCallsReturn(handle);
    CloseReplugReopen();
}

}  // namespace
