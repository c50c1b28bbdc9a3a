// pdxkit on Linux end to end: PdxKitOpenDevice finds two chips of the family
// among other HID devices in a fake sysfs, through the runtime's module
// loader and this HID stack alone, moves reports through their nodes, and
// ends the reads of a chip that is unplugged.
#include <thread>

#include "device_table.h"
#include "hid_stack_fixture.h"
#include "pdxkit.h"
#include "report_descriptors.h"

namespace {

const uint32_t kGuardMs = 10000;  // a guard against hanging, never a synchronisation

// Node numbers: chip A's special-function interface comes first, so the
// order of enumeration is not the order of pipes.
const unsigned kChipAPort = 1, kChipASpecial = 0;
const unsigned kChipBPort = 2, kChipBSpecial = 3;
const unsigned kMouse = 4;
const FakeHidInterface kChipAPortInterface = {1, 0, kChipAPort, 0x1F3A, 0x2A10, 0x0003, {}, "PDX00001"};

class OpenDevice : public HidStackTest {
protected:
    void SetUp() override {
        HidStackTest::SetUp();
        sysfs.AddChip(1, 0x2A10, 0x0101, "PDX00001", kChipAPort, kChipASpecial);
        sysfs.AddChip(2, 0x2A11, 0x0202, "PDX00002", kChipBPort, kChipBSpecial);
        sysfs.AddUsbDevice({3, 0x046D, 0xC077, 0x7200, ""});
        sysfs.AddHidInterface({3, 0, kMouse, 0x046D, 0xC077, 0x0003, BootMouseDescriptor(), ""});
        ASSERT_EQ("", sysfs.error());
        first = PdxKitOpenDevice();
        ASSERT_NE(nullptr, first) << PdxKitGetLastError();
    }
    void TearDown() override { PdxKitCloseDevice(first); }

    PdxKitHandle first = nullptr;
};

std::u16string Serial(PdxKitHandle h) {
    uint16_t buffer[9] = {};
    PdxKitGetSerialNumber(h, buffer);
    return std::u16string(buffer, buffer + 8);
}

TEST_F(OpenDevice, FindsBothChipsAndNotTheMouse) {
    EXPECT_EQ(PDXKIT_ERROR_SUCCESS, PdxKitGetLastError());
    ASSERT_EQ(2u, PdxKitGetNumDevs());
    PdxKitHandle a = PdxKitGetDeviceHandle(1);
    PdxKitHandle b = PdxKitGetDeviceHandle(2);
    EXPECT_EQ(first, a);
    EXPECT_EQ(0x2A10u, PdxKitGetProductId(a));
    EXPECT_EQ(0x2A11u, PdxKitGetProductId(b));
    EXPECT_EQ(0x0101u, PdxKitGetRevision(a));
    EXPECT_EQ(0x0202u, PdxKitGetRevision(b));
    EXPECT_EQ(u"PDX00001", Serial(a));
    EXPECT_EQ(u"PDX00002", Serial(b));
    EXPECT_NE(0u, PdxKitGetThreadHandle(a));
}

TEST_F(OpenDevice, PortReportsArriveWithReportIdZero) {
    int port = sysfs.DeviceFd(kChipAPort);
    ASSERT_TRUE(PdxKitSetTimeout(first, kGuardMs));
    ASSERT_TRUE(SendReport(port, {0x78, 0x56, 0x34, 0x12}));
    uint8_t buffer[5];
    ASSERT_EQ(5u, PdxKitRead(first, 0, buffer, sizeof(buffer)));
    const uint8_t want[5] = {0x00, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(0, memcmp(want, buffer, 5));

    ASSERT_TRUE(SendReport(port, {0x01, 0x02, 0x03, 0x04}));
    ASSERT_EQ(5u, PdxKitRead(first, 0, buffer, sizeof(buffer)));
    uint32_t pins = 0;
    EXPECT_FALSE(PdxKitReadImmediate(first, &pins));  // nothing queued: the last report's pins
    EXPECT_EQ(0x04030201u, pins);
}

TEST_F(OpenDevice, EachChipReadsItsOwnPortInterface) {
    PdxKitHandle b = PdxKitGetDeviceHandle(2);
    ASSERT_TRUE(PdxKitSetTimeout(b, kGuardMs));
    ASSERT_TRUE(SendReport(sysfs.DeviceFd(kChipBPort), {0xB0, 0xB1, 0xB2, 0xB3}));
    uint8_t buffer[5];
    ASSERT_EQ(5u, PdxKitRead(b, 0, buffer, sizeof(buffer)));
    EXPECT_EQ(0xB0, buffer[1]);
    uint32_t pins = 0;
    EXPECT_FALSE(PdxKitReadImmediate(first, &pins));
    EXPECT_EQ(0xFFFFFFFFu, pins);  // chip A has seen no report
}

TEST_F(OpenDevice, WritesReachTheNodeOfTheirPipe) {
    ASSERT_TRUE(PdxKitSetWriteTimeout(first, kGuardMs));
    const uint8_t port_report[5] = {0x00, 0x0F, 0x00, 0x00, 0x00};
    ASSERT_EQ(5u, PdxKitWrite(first, 0, port_report, sizeof(port_report)));
    EXPECT_EQ(std::vector<uint8_t>(port_report, port_report + 5),
              ReceiveWrite(sysfs.DeviceFd(kChipAPort), 5, kGuardMs));

    std::vector<uint8_t> special(65);
    for (size_t i = 1; i < special.size(); i++) special[i] = (uint8_t)i;
    ASSERT_EQ(65u, PdxKitWrite(first, 1, special.data(), (uint32_t)special.size()));
    EXPECT_EQ(special, ReceiveWrite(sysfs.DeviceFd(kChipASpecial), 65, kGuardMs));
}

TEST_F(OpenDevice, SpecialFunctionReadsGoToTheDevice) {
    ASSERT_TRUE(PdxKitSetTimeout(first, kGuardMs));
    std::vector<uint8_t> reply(64);
    for (size_t i = 0; i < reply.size(); i++) reply[i] = (uint8_t)(0x80 + i);
    ASSERT_TRUE(SendReport(sysfs.DeviceFd(kChipASpecial), reply));
    uint8_t buffer[65];
    ASSERT_EQ(65u, PdxKitRead(first, 1, buffer, sizeof(buffer)));
    EXPECT_EQ(0, buffer[0]);
    EXPECT_EQ(0, memcmp(reply.data(), buffer + 1, 64));
}

// Chip A goes away while `readers` queued reads of its port are blocked
// (one holds the read lock, the others wait for it): each returns nothing
// with "device not connected", and so does a read started afterwards.
void ExpectUnplugEndsBlockedReads(FakeSysfs& sysfs, PdxKitHandle chip, int readers) {
    std::vector<std::thread> threads;
    std::vector<uint32_t> bytes(readers, 12345);
    std::vector<uint32_t> errors(readers, 0);
    for (int k = 0; k < readers; k++) {
        threads.emplace_back([&, k] {
            uint8_t buffer[5];
            bytes[k] = PdxKitRead(chip, 0, buffer, sizeof(buffer));
            errors[k] = PdxKitGetLastError();
        });
    }
    // No event tells when a read is under way: look at its lock.
    HANDLE lock = static_cast<DeviceRecord*>(chip)->read_lock;
    while (WaitForSingleObject(lock, 0) == WAIT_OBJECT_0) {
        ReleaseMutex(lock);
        SleepEx(1, FALSE);
    }
    sysfs.Unplug(kChipAPortInterface);
    for (int k = 0; k < readers; k++) {
        threads[k].join();
        EXPECT_EQ(0u, bytes[k]) << "reader " << k;
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, errors[k]) << "reader " << k;
    }
    uint8_t buffer[5];
    EXPECT_EQ(0u, PdxKitRead(chip, 0, buffer, sizeof(buffer)));
    EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, PdxKitGetLastError());
}

TEST_F(OpenDevice, UnplugEndsABlockedReadWithoutTimeout) {
    ASSERT_TRUE(PdxKitSetTimeout(first, PDXKIT_INFINITE));
    ExpectUnplugEndsBlockedReads(sysfs, first, 1);
}

TEST_F(OpenDevice, UnplugEndsABlockedReadBeforeItsTimeout) {
    ASSERT_TRUE(PdxKitSetTimeout(first, kGuardMs));
    ExpectUnplugEndsBlockedReads(sysfs, first, 1);
}

TEST_F(OpenDevice, UnplugEndsSeveralBlockedReads) {
    ASSERT_TRUE(PdxKitSetTimeout(first, PDXKIT_INFINITE));
    ExpectUnplugEndsBlockedReads(sysfs, first, 3);
}

TEST_F(OpenDevice, ReadsAfterAnUnplugReturnAtOnce) {
    ASSERT_TRUE(PdxKitSetTimeout(first, PDXKIT_INFINITE));
    sysfs.Unplug(kChipAPortInterface);
    for (int k = 0; k < 2; k++) {
        uint8_t buffer[5];
        EXPECT_EQ(0u, PdxKitRead(first, 0, buffer, sizeof(buffer)));
        EXPECT_EQ(ERROR_DEVICE_NOT_CONNECTED, PdxKitGetLastError());
    }
}

TEST_F(OpenDevice, ReopeningFindsTheSameChips) {
    PdxKitCloseDevice(first);
    first = PdxKitOpenDevice();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(2u, PdxKitGetNumDevs());
    EXPECT_EQ(u"PDX00001", Serial(first));
}

}  // namespace
