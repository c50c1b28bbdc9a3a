// The natives through their exported names, with a hand-made JNI
// environment and no device open: version, invalid handles, empty results,
// and the JNI calls each native makes on these paths.
#include <stdint.h>

#include <string>
#include <vector>

#include "natives_fixture.h"

namespace {

using Calls = std::vector<std::string>;

const uint32_t kSentinel = 0xDEADBEEFu;

// Values that name no open device: null, small and odd values, values with
// upper bits set, and record tokens (0x5044xxxx) outside 1..16 or of records
// that are not open.
const jlong kInvalidHandles[] = {0,
                                 1,
                                 -1,
                                 (jlong)1 << 32,
                                 (jlong)0x50440000,
                                 (jlong)0x50440001,
                                 (jlong)0x50440010,
                                 (jlong)0x50440011,
                                 (jlong)0x5044FFFF,
                                 ((jlong)1 << 32) | 0x50440001};

TEST_F(NativesTest, VersionIsTheLibraryTextThroughNewStringUTF) {
    jstring version = lib->version(env(), cls());
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(jni.String(version)->from_utf);
    EXPECT_EQ(jni.String(version)->utf, "Pindex Kit V1.4");
    EXPECT_EQ(jni.calls, Calls({"NewStringUTF"}));
}

TEST_F(NativesTest, VersionIsNullWhenTheVmCannotCreateTheString) {
    jni.fail_new_string_utf = true;
    EXPECT_EQ(lib->version(env(), cls()), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewStringUTF"}));
}

TEST_F(NativesTest, NoDevicesAndNoHandlesBeforeOpening) {
    EXPECT_EQ(lib->getNumDevs(env(), cls()), 0);
    for (jlong number : {(jlong)0, (jlong)1, (jlong)16, (jlong)-1, ((jlong)1 << 32) | 1}) {
        lib->SetLastError(kSentinel);
        EXPECT_EQ(lib->getDeviceHandle(env(), cls(), number), 0) << "device number " << number;
        // The natives leave the last-error value as the C function set it.
        EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_INVALID_PARAMETER) << "device number " << number;
    }
    EXPECT_TRUE(jni.calls.empty());
}

TEST_F(NativesTest, AccessorsGiveZeroValuesForInvalidHandles) {
    for (jlong handle : kInvalidHandles) {
        SCOPED_TRACE(testing::Message() << "handle 0x" << std::hex << handle);
        lib->SetLastError(kSentinel);
        EXPECT_EQ(lib->getProductId(env(), cls(), handle), 0);
        EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(lib->getRevision(env(), cls(), handle), 0);
        EXPECT_EQ(lib->getThreadHandle(env(), cls(), handle), 0);
        EXPECT_EQ(lib->setTimeout(env(), cls(), handle, 100), JNI_FALSE);
        EXPECT_EQ(lib->setTimeout(env(), cls(), handle, -1), JNI_FALSE);
        EXPECT_EQ(lib->setWriteTimeout(env(), cls(), handle, 100), JNI_FALSE);
        EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_INVALID_PARAMETER);
        lib->SetLastError(kSentinel);
        EXPECT_EQ(lib->cancelIo(env(), cls(), handle, 0), JNI_FALSE);
        EXPECT_EQ(lib->cancelIo(env(), cls(), handle, 1), JNI_FALSE);
        EXPECT_EQ(lib->GetLastError(), kSentinel);
    }
    EXPECT_TRUE(jni.calls.empty());
}

TEST_F(NativesTest, SerialNumberOfAnInvalidHandleIsEightZeroDigits) {
    for (jlong handle : kInvalidHandles) {
        jni.calls.clear();
        EXPECT_EQ(SerialNumber(handle), u"00000000") << "handle 0x" << std::hex << handle;
        EXPECT_EQ(jni.calls, Calls({"NewString(8)"}));
    }
}

TEST_F(NativesTest, SerialNumberIsNullWhenTheVmCannotCreateTheString) {
    jni.fail_new_string = true;
    EXPECT_EQ(lib->getSerialNumber(env(), cls(), 0), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewString(8)"}));
}

TEST_F(NativesTest, ReadImmediateOfAnInvalidHandleIsAnEmptyArray) {
    for (jlong handle : kInvalidHandles) {
        jni.calls.clear();
        EXPECT_TRUE(ReadImmediate(handle).empty()) << "handle 0x" << std::hex << handle;
        EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)"}));
    }
}

TEST_F(NativesTest, ReadImmediateIsNullWhenTheVmCannotCreateTheArray) {
    jni.fail_new_int_array = true;
    EXPECT_EQ(lib->readImmediate(env(), cls(), 0), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)"}));
}

TEST_F(NativesTest, ReadOfAnInvalidHandleIsAnEmptyArray) {
    for (jlong handle : kInvalidHandles) {
        jni.calls.clear();
        lib->SetLastError(kSentinel);
        EXPECT_TRUE(Read(handle, 0, 5).empty()) << "handle 0x" << std::hex << handle;
        EXPECT_TRUE(Read(handle, 1, 8).empty()) << "handle 0x" << std::hex << handle;
        EXPECT_EQ(lib->GetLastError(), kSentinel);
        EXPECT_EQ(jni.calls,
                  Calls({"NewIntArray(0)", "SetIntArrayRegion(0,0)", "NewIntArray(0)", "SetIntArrayRegion(0,0)"}));
    }
}

TEST_F(NativesTest, ReadOfLengthZeroIsAnEmptyArray) {
    EXPECT_TRUE(Read(0, 0, 0).empty());
    EXPECT_TRUE(Read(0, 0, (jlong)1 << 32).empty());
    EXPECT_EQ(jni.calls,
              Calls({"NewIntArray(0)", "SetIntArrayRegion(0,0)", "NewIntArray(0)", "SetIntArrayRegion(0,0)"}));
}

TEST_F(NativesTest, ReadWhoseBuffersCannotBeAllocatedIsAnEmptyArray) {
    // -1 asks for 0xFFFFFFFF bytes and four times as many element bytes.
    for (jlong length : {(jlong)-1, (jlong)0xFFFFFFFF, (jlong)0x80000000, (jlong)0xC0000000}) {
        jni.calls.clear();
        EXPECT_TRUE(Read(0, 0, length).empty()) << "length 0x" << std::hex << length;
        EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)"}));
    }
}

TEST_F(NativesTest, ReadIsNullWhenTheVmCannotCreateTheArray) {
    jni.fail_new_int_array = true;
    EXPECT_EQ(lib->read(env(), cls(), 0, 0, 5), nullptr);
    EXPECT_EQ(lib->read(env(), cls(), 0, 0, -1), nullptr);
    EXPECT_EQ(jni.calls, Calls({"NewIntArray(0)", "NewIntArray(0)"}));
}

TEST_F(NativesTest, WriteWithANullArrayReturnsZeroWithoutTouchingTheEnvironment) {
    lib->SetLastError(kSentinel);
    EXPECT_EQ(lib->write(env(), cls(), 0, 0, nullptr), 0);
    EXPECT_EQ(lib->GetLastError(), kSentinel);
    EXPECT_TRUE(jni.calls.empty());
}

TEST_F(NativesTest, FailedWriteReleasesTheElementsWithModeZero) {
    for (jlong handle : kInvalidHandles) {
        SCOPED_TRACE(testing::Message() << "handle 0x" << std::hex << handle);
        jni.calls.clear();
        jintArray data = jni.NewArray({0x01, 0x1FF, -1, 256});
        EXPECT_EQ(lib->write(env(), cls(), handle, 0, data), 0);
        EXPECT_EQ(jni.calls, Calls({"GetArrayLength", "GetIntArrayElements", "ReleaseIntArrayElements(mode 0)"}));
        EXPECT_EQ(jni.elements_out, 0);
        // The elements go back unchanged.
        EXPECT_EQ(jni.Elements(data), std::vector<jint>({0x01, 0x1FF, -1, 256}));
    }
}

TEST_F(NativesTest, WriteOfAnEmptyArrayReleasesTheElements) {
    EXPECT_EQ(Write(0, 0, {}), 0);
    EXPECT_EQ(jni.elements_out, 0);
    EXPECT_EQ(jni.calls, Calls({"GetArrayLength", "GetIntArrayElements", "ReleaseIntArrayElements(mode 0)"}));
}

TEST_F(NativesTest, WriteWhoseElementsCannotBeObtainedReturnsZero) {
    jni.fail_get_elements = true;
    EXPECT_EQ(Write(0, 0, {1, 2, 3}), 0);
    EXPECT_EQ(jni.calls, Calls({"GetArrayLength", "GetIntArrayElements"}));
}

TEST_F(NativesTest, CloseWithoutDevicesIsHarmless) {
    for (jlong handle : {(jlong)0, (jlong)0x50440001, (jlong)-1}) {
        lib->SetLastError(kSentinel);
        lib->closeDevice(env(), cls(), handle);
        EXPECT_EQ(lib->GetLastError(), PDXKIT_ERROR_SUCCESS);
        EXPECT_EQ(lib->getNumDevs(env(), cls()), 0);
    }
    EXPECT_TRUE(jni.calls.empty());
}

}  // namespace
