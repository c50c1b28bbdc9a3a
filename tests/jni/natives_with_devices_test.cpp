// The natives through their exported names, with a hand-made JNI
// environment, on simulated chips: handles, conversions of every kind and the
// JNI calls each native makes, checked against the library's C functions on
// the same devices.
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device_table.h"
#include "natives_fixture.h"
#include "pdxsim.h"

namespace {

using Calls = std::vector<std::string>;

constexpr uint32_t kSentinel = 0xDEADBEEFu;
constexpr uint32_t kPatienceMs = 10000;
constexpr jlong kTwoTo32 = (jlong)1 << 32;

class NativesWithDevicesTest : public NativesTest {
protected:
    void TearDown() override {
        if (lib != nullptr) lib->PdxKitCloseDevice(nullptr);
        pdxsim_uninstall();
    }

    // Installs `devices` chips that do not answer writes (so every report is
    // one the test sent) and opens them through the native.
    jlong Open(int devices) {
        PdxSimWorld* world = new PdxSimWorld();
        pdxsim_world_default(world, devices);
        for (int i = 0; i < devices; i++) world->device[i].chip_model = 0;
        bool installed = pdxsim_install(world) != 0;
        delete world;
        EXPECT_TRUE(installed);
        return OpenInstalled();
    }

    jlong Open(const char* text) {
        PdxSimWorld* world = new PdxSimWorld();
        char error[200] = "";
        bool parsed = pdxsim_parse_world(text, world, error, sizeof(error)) != 0;
        EXPECT_TRUE(parsed) << error;
        bool installed = parsed && pdxsim_install(world) != 0;
        delete world;
        EXPECT_TRUE(installed);
        return OpenInstalled();
    }

    jlong OpenInstalled() {
        jlong handle = lib->openDevice(env(), cls());
        EXPECT_NE(handle, 0);
        return handle;
    }

    // What a native gives Java for the C handle of device `number`: the
    // address itself where it fits in 32 bits, else the record's token.
    jlong JavaHandleOf(uint32_t number) {
        PdxKitHandle handle = lib->PdxKitGetDeviceHandle(number);
        if (sizeof(void*) == 4) return (jlong)(int32_t)(uint32_t)(uintptr_t)handle;
        return 0x50440000 | (jlong)number;
    }

    DeviceRecord* Record(uint32_t number) { return static_cast<DeviceRecord*>(lib->PdxKitGetDeviceHandle(number)); }

    // Sends a 5-byte pipe-0 report and waits until the reader has queued
    // it. The library has no event for this that a caller could wait on
    // without taking the report, so the queue count is polled.
    void SendQueued(uint32_t number, const std::vector<uint8_t>& report, uint32_t expected_count) {
        // At least the library's read handle must get it (under Wine the
        // simulator cannot tell read handles from write handles).
        ASSERT_GE(pdxsim_send_report((int)number - 1, 0, report.data(), (uint32_t)report.size()), 1);
        DeviceRecord* record = Record(number);
        ASSERT_NE(record, nullptr);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (LoadRelaxed(&record->queue.count) < expected_count) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "report not queued";
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::vector<uint8_t> CapturedWrite(int device, int iface, uint32_t index) {
        PdxSimWrite write;
        if (!pdxsim_get_write(device, iface, index, &write)) return {};
        return std::vector<uint8_t>(write.bytes, write.bytes + write.len);
    }
};

TEST_F(NativesWithDevicesTest, OpenWithNoDeviceOfTheFamilyGivesZero) {
    PdxSimWorld* world = new PdxSimWorld();
    pdxsim_world_default(world, 0);
    ASSERT_TRUE(pdxsim_install(world));
    delete world;
    EXPECT_EQ(lib->openDevice(env(), cls()), 0);
    EXPECT_EQ(lib->getNumDevs(env(), cls()), 0);
    EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_DEV_NOT_EXIST);
}

TEST_F(NativesWithDevicesTest, HandlesNameTheSameRecordsAsInC) {
    jlong first = Open(3);
    EXPECT_EQ(lib->getNumDevs(env(), cls()), 3);
    EXPECT_EQ(first, JavaHandleOf(1));
    for (uint32_t number = 1; number <= 3; number++) {
        EXPECT_EQ(lib->getDeviceHandle(env(), cls(), number), JavaHandleOf(number)) << "device " << number;
    }
    EXPECT_EQ(lib->getDeviceHandle(env(), cls(), 4), 0);
    EXPECT_EQ(lib->getDeviceHandle(env(), cls(), kTwoTo32 | 2), JavaHandleOf(2));
}

TEST_F(NativesWithDevicesTest, UpperBitsOfAHandleAreIgnored) {
    jlong handle = Open(1);
    for (jlong variant :
         {handle, handle + kTwoTo32, handle | (jlong)0x7FFFFFFF00000000LL, handle ^ (jlong)(~0ULL << 32)}) {
        EXPECT_EQ(lib->getProductId(env(), cls(), variant), 0x2A11) << std::hex << variant;
        EXPECT_EQ(lib->setTimeout(env(), cls(), variant, 5), JNI_TRUE);
    }
}

TEST_F(NativesWithDevicesTest, ThreadHandleIsTheReadersSignExtended) {
    jlong handle = Open(2);
    uint32_t reader = lib->PdxKitGetThreadHandle(lib->PdxKitGetDeviceHandle(1));
    EXPECT_NE(reader, 0u);
    EXPECT_EQ(lib->getThreadHandle(env(), cls(), handle), (jlong)(int32_t)reader);
}

TEST_F(NativesWithDevicesTest, CountsAreZeroExtended) {
    jlong handle = Open("1 device, product 0x2A10, version 0xFFFF");
    EXPECT_EQ(lib->getProductId(env(), cls(), handle), 0x2A10);
    EXPECT_EQ(lib->getRevision(env(), cls(), handle), 0xFFFF);
    EXPECT_EQ(Write(handle, 1, std::vector<jint>(65, 0xFFFF)), 65);
}

TEST_F(NativesWithDevicesTest, TimeoutsAreTheLow32Bits) {
    jlong handle = Open(1);
    DeviceRecord* record = Record(1);
    EXPECT_EQ(lib->setTimeout(env(), cls(), handle, -1), JNI_TRUE);
    EXPECT_EQ(record->read_timeout, 0xFFFFFFFFu);
    EXPECT_EQ(lib->setTimeout(env(), cls(), handle, kTwoTo32 + 7), JNI_TRUE);
    EXPECT_EQ(record->read_timeout, 7u);
    EXPECT_EQ(lib->setWriteTimeout(env(), cls(), handle, -2), JNI_TRUE);
    EXPECT_EQ(record->write_timeout, 0xFFFFFFFEu);
    EXPECT_EQ(lib->setTimeout(env(), cls(), 0, 100), JNI_FALSE);
}

TEST_F(NativesWithDevicesTest, SerialNumbersAreEightCodeUnits) {
    Open("3 devices, serials ABCD1234 and none and XY");
    EXPECT_EQ(SerialNumber(JavaHandleOf(1)), u"ABCD1234");
    EXPECT_EQ(SerialNumber(JavaHandleOf(2)), u"00000000");
    EXPECT_EQ(SerialNumber(JavaHandleOf(3)), std::u16string(u"XY\0\0\0\0\0\0", 8));
    EXPECT_EQ(jni.calls, Calls({"NewString(8)", "NewString(8)", "NewString(8)"}));
}

TEST_F(NativesWithDevicesTest, WriteSendsTheLowestByteOfEachElement) {
    jlong handle = Open(1);
    jintArray data = jni.NewArray({0x100, 0x1FF, -1, 256, (jint)0x80000080});
    EXPECT_EQ(lib->write(env(), cls(), handle, 0, data), 5);
    ASSERT_TRUE(pdxsim_wait_writes(0, 0, 1, kPatienceMs));
    EXPECT_EQ(CapturedWrite(0, 0, 0), std::vector<uint8_t>({0x00, 0xFF, 0xFF, 0x00, 0x80}));
    EXPECT_EQ(jni.calls, Calls({"GetArrayLength", "GetIntArrayElements", "ReleaseIntArrayElements(mode 0)"}));
    EXPECT_EQ(jni.elements_out, 0);
    EXPECT_EQ(jni.Elements(data), std::vector<jint>({0x100, 0x1FF, -1, 256, (jint)0x80000080}));
}

TEST_F(NativesWithDevicesTest, WriteToAMissingPipeReleasesTheElements) {
    jlong handle = Open(1);
    EXPECT_EQ(Write(handle, 2, {0, 1, 2, 3, 4}), 0);
    EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(jni.elements_out, 0);
    EXPECT_EQ(Write(handle, kTwoTo32 | 1, std::vector<jint>(65, 1)), 65);
}

TEST_F(NativesWithDevicesTest, ReadGivesBytesAsZeroTo255InOneRegion) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, 0), JNI_TRUE);
    SendQueued(1, {0x00, 0xFF, 0x80, 0x7F, 0x01}, 1);
    EXPECT_EQ(Read(handle, 0, 5), std::vector<jint>({0, 255, 128, 127, 1}));
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(5)", "SetIntArrayRegion(0,5)"}));
}

TEST_F(NativesWithDevicesTest, ReadKeepsWholeReports) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, 0), JNI_TRUE);
    SendQueued(1, {0, 1, 1, 1, 1}, 1);
    SendQueued(1, {0, 2, 2, 2, 2}, 2);
    EXPECT_EQ(Read(handle, 0, 12), std::vector<jint>({0, 1, 1, 1, 1, 0, 2, 2, 2, 2}));
}

TEST_F(NativesWithDevicesTest, ReadThatCannotBeAllocatedDoesNotCallTheLibrary) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, 0), JNI_TRUE);
    SendQueued(1, {0, 9, 8, 7, 6}, 1);
    // With a read timeout of 0, a call of PdxKitRead would take the queued
    // report; it must still be there afterwards.
    EXPECT_TRUE(Read(handle, 0, -1).empty());
    EXPECT_TRUE(Read(handle, 0, 0x80000000LL).empty());
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)", "NewIntArray(0)"}));
    // Length 0 reaches the library, which refuses it.
    EXPECT_TRUE(Read(handle, 0, 0).empty());
    EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_INVALID_PARAMETER);
    // The report is still queued.
    EXPECT_EQ(Read(handle, 0, 5), std::vector<jint>({0, 9, 8, 7, 6}));
}

TEST_F(NativesWithDevicesTest, ReadThatTimesOutIsEmpty) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, 0), JNI_TRUE);
    lib->SetLastError(kSentinel);
    EXPECT_TRUE(Read(handle, 0, 5).empty());
    EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_TIMEOUT);
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)", "SetIntArrayRegion(0,0)"}));
}

TEST_F(NativesWithDevicesTest, ReadIsNullWhenTheVmCannotCreateTheArray) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, 0), JNI_TRUE);
    SendQueued(1, {0, 1, 2, 3, 4}, 1);
    jni.fail_new_int_array = true;
    EXPECT_EQ(lib->read(env(), cls(), handle, 0, 5), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(5)"}));
}

TEST_F(NativesWithDevicesTest, DirectReadOfTheSpecialFunctionPipe) {
    jlong handle = Open(1);
    ASSERT_EQ(lib->setTimeout(env(), cls(), handle, kPatienceMs), JNI_TRUE);
    std::vector<uint8_t> reply(65, 0);
    reply[1] = 0xAB;
    reply[64] = 0xFF;
    ASSERT_GE(pdxsim_send_report(0, 1, reply.data(), (uint32_t)reply.size()), 1);
    std::vector<jint> expected(65, 0);
    expected[1] = 0xAB;
    expected[64] = 255;
    EXPECT_EQ(Read(handle, 1, 65), expected);
}

TEST_F(NativesWithDevicesTest, ReadImmediateGivesThePinBytesLowestFirst) {
    jlong handle = Open(1);
    SendQueued(1, {0x00, 0x01, 0x00, 0xFF, 0x80}, 1);
    EXPECT_EQ(ReadImmediate(handle), std::vector<jint>({1, 0, 255, 128}));
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(4)", "SetIntArrayRegion(0,4)"}));
    // Nothing queued now: empty, though the last pin state is known.
    jni.calls.clear();
    EXPECT_TRUE(ReadImmediate(handle).empty());
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)"}));
    uint32_t value = 0;
    EXPECT_EQ(lib->PdxKitReadImmediate(lib->PdxKitGetDeviceHandle(1), &value), 0);
    EXPECT_EQ(value, 0x80FF0001u);
}

TEST_F(NativesWithDevicesTest, ReadImmediateIsNullWhenTheVmCannotCreateTheArray) {
    jlong handle = Open(1);
    SendQueued(1, {0x00, 0x01, 0x02, 0x03, 0x04}, 1);
    jni.fail_new_int_array = true;
    EXPECT_EQ(lib->readImmediate(env(), cls(), handle), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(4)"}));
}

TEST_F(NativesWithDevicesTest, CancelIoChecksThePipe) {
    jlong handle = Open(1);
    EXPECT_EQ(lib->cancelIo(env(), cls(), handle, 0), JNI_TRUE);
    EXPECT_EQ(lib->cancelIo(env(), cls(), handle, kTwoTo32 + 1), JNI_TRUE);
    EXPECT_EQ(lib->cancelIo(env(), cls(), handle, 2), JNI_FALSE);
}

TEST_F(NativesWithDevicesTest, HandlesFromCWorkInTheNativesAndBack) {
    ASSERT_NE(Open(2), 0);
    lib->PdxKitCloseDevice(nullptr);
    // Open in C this time; the natives see the same devices.
    ASSERT_NE(lib->PdxKitOpenDevice(), nullptr);
    EXPECT_EQ(lib->getNumDevs(env(), cls()), 2);
    jlong second = lib->getDeviceHandle(env(), cls(), 2);
    EXPECT_EQ(lib->setWriteTimeout(env(), cls(), second, 1234), JNI_TRUE);
    EXPECT_EQ(Record(2)->write_timeout, 1234u);
    EXPECT_EQ(Write(second, 0, {0, 0xA5, 0, 0, 0}), 5);
    ASSERT_TRUE(pdxsim_wait_writes(1, 0, 1, kPatienceMs));
    EXPECT_EQ(CapturedWrite(1, 0, 0), std::vector<uint8_t>({0, 0xA5, 0, 0, 0}));
    EXPECT_EQ(pdxsim_write_count(0, 0), 0u);
}

TEST_F(NativesWithDevicesTest, CloseInvalidatesEveryHandle) {
    jlong first = Open(2);
    jlong second = lib->getDeviceHandle(env(), cls(), 2);
    lib->SetLastError(kSentinel);
    lib->closeDevice(env(), cls(), second);
    EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_SUCCESS);
    EXPECT_EQ(lib->getNumDevs(env(), cls()), 0);
    for (jlong handle : {first, second}) {
        EXPECT_EQ(lib->getProductId(env(), cls(), handle), 0);
        EXPECT_EQ(SerialNumber(handle), u"00000000");
    }
}

}  // namespace
