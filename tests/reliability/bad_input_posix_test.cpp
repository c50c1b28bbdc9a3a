// Every exported function and every Java native, given null, zeroed, stale,
// misaligned and wild handles, pipe indices 2 and 0xFFFFFFFF, null buffers,
// lengths 0 and 0xFFFFFFFF and null Java arrays: each returns its zero value
// with the documented last error, never crashes and never waits.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <jni.h>

#include "../jni/fake_jni_env.h"
#include "reliability_support.h"

extern "C" {
jlong JNICALL Java_com_vantelo_pdx_PdxKit_openDevice(JNIEnv*, jclass);
void JNICALL Java_com_vantelo_pdx_PdxKit_closeDevice(JNIEnv*, jclass, jlong);
jintArray JNICALL Java_com_vantelo_pdx_PdxKit_read(JNIEnv*, jclass, jlong, jlong, jlong);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_write(JNIEnv*, jclass, jlong, jlong, jintArray);
jintArray JNICALL Java_com_vantelo_pdx_PdxKit_readImmediate(JNIEnv*, jclass, jlong);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_getNumDevs(JNIEnv*, jclass);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_getDeviceHandle(JNIEnv*, jclass, jlong);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_getProductId(JNIEnv*, jclass, jlong);
jstring JNICALL Java_com_vantelo_pdx_PdxKit_getSerialNumber(JNIEnv*, jclass, jlong);
jboolean JNICALL Java_com_vantelo_pdx_PdxKit_setTimeout(JNIEnv*, jclass, jlong, jlong);
jboolean JNICALL Java_com_vantelo_pdx_PdxKit_cancelIo(JNIEnv*, jclass, jlong, jlong);
jboolean JNICALL Java_com_vantelo_pdx_PdxKit_setWriteTimeout(JNIEnv*, jclass, jlong, jlong);
jstring JNICALL Java_com_vantelo_pdx_PdxKit_version(JNIEnv*, jclass);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_getRevision(JNIEnv*, jclass, jlong);
jlong JNICALL Java_com_vantelo_pdx_PdxKit_getThreadHandle(JNIEnv*, jclass, jlong);
}

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
const uint32_t kBadPipes[] = {2, 3, 0x80000000u, 0xFFFFFFFFu};

// A block shaped like a record but outside the table: all zero, and one
// forged with the open magic.
alignas(DeviceRecord) unsigned char g_zeroed[sizeof(DeviceRecord)];
alignas(DeviceRecord) unsigned char g_forged[sizeof(DeviceRecord)];

struct BadHandle {
    std::string name;
    PdxKitHandle handle;
};

// Handles that no open device has, whatever the state of the table.
std::vector<BadHandle> BadHandles() {
    uint32_t forged_magic = kOpenMagic;
    memcpy(g_forged, &forged_magic, sizeof(forged_magic));
    unsigned char* table = reinterpret_cast<unsigned char*>(g_device_table);
    return {
        {"null", nullptr},
        {"zeroed record", g_zeroed},
        {"forged record", g_forged},
        {"record 16 (unused)", &g_device_table[kMaxDevices - 1]},
        {"end of table", table + sizeof(g_device_table)},
        {"table + 1", table + 1},
        {"table + 4", table + 4},
        {"middle of record 1", table + sizeof(DeviceRecord) / 2},
        {"record 2 - 1", table + sizeof(DeviceRecord) - 1},
        {"before the table", reinterpret_cast<PdxKitHandle>(reinterpret_cast<uintptr_t>(table) - sizeof(DeviceRecord))},
        {"1", reinterpret_cast<PdxKitHandle>(1)},
        {"0x12345678", reinterpret_cast<PdxKitHandle>(0x12345678)},
        {"all ones", reinterpret_cast<PdxKitHandle>(~static_cast<uintptr_t>(0))},
        {"top of address space", reinterpret_cast<PdxKitHandle>(~static_cast<uintptr_t>(0xFFF))},
        {"code address", reinterpret_cast<PdxKitHandle>(&PdxKitOpenDevice)},
    };
}

class BadInputTest : public ReliabilityTest {
protected:
    // Every function that takes a handle, with `handle` refused: the zero
    // result, and the last error as documented for a bad handle.
    void ExpectRefused(const BadHandle& bad) {
        SCOPED_TRACE(bad.name);
        PdxKitHandle h = bad.handle;
        uint8_t buffer[65];
        memset(buffer, 0xA5, sizeof(buffer));
        const uint32_t pipes[] = {0, 1, 2, 0xFFFFFFFFu};
        const uint32_t lengths[] = {0, 5, 65, 0xFFFFFFFFu};
        for (uint32_t pipe : pipes) {
            for (uint32_t length : lengths) {
                // Nothing is written through a bad handle, so a length
                // beyond the buffer cannot matter.
                SetLastError(kSentinel);
                EXPECT_EQ(0u, PdxKitRead(h, pipe, buffer, length));
                EXPECT_EQ(kSentinel, GetLastError()) << "PdxKitRead pipe " << pipe << " length " << length;
                EXPECT_EQ(0u, PdxKitRead(h, pipe, nullptr, length));
                EXPECT_EQ(kSentinel, GetLastError());
                EXPECT_EQ(0u, PdxKitWrite(h, pipe, buffer, length));
                EXPECT_EQ(kSentinel, GetLastError()) << "PdxKitWrite pipe " << pipe << " length " << length;
                EXPECT_EQ(0u, PdxKitWrite(h, pipe, nullptr, length));
                EXPECT_EQ(kSentinel, GetLastError());
            }
            SetLastError(kSentinel);
            EXPECT_EQ(0, PdxKitCancelIo(h, pipe));
            EXPECT_EQ(kSentinel, GetLastError()) << "PdxKitCancelIo pipe " << pipe;
        }
        for (uint8_t byte : buffer) ASSERT_EQ(0xA5, byte) << "a refused call wrote into the buffer";

        uint32_t value = 0x5A5A5A5A;
        SetLastError(kSentinel);
        EXPECT_EQ(0, PdxKitReadImmediate(h, &value));
        EXPECT_EQ(0x5A5A5A5Au, value);
        EXPECT_EQ(0, PdxKitReadImmediate(h, nullptr));
        EXPECT_EQ(kSentinel, GetLastError());

        ExpectInvalid(PdxKitGetProductId(h) == 0, "PdxKitGetProductId");
        ExpectInvalid(PdxKitGetRevision(h) == 0, "PdxKitGetRevision");
        ExpectInvalid(PdxKitGetThreadHandle(h) == 0, "PdxKitGetThreadHandle");
        uint16_t serial[9];
        memset(serial, 0x77, sizeof(serial));
        ExpectInvalid(PdxKitGetSerialNumber(h, serial) == 0, "PdxKitGetSerialNumber");
        for (uint16_t unit : serial) EXPECT_EQ(0x7777, unit);
        ExpectInvalid(PdxKitGetSerialNumber(h, nullptr) == 0, "PdxKitGetSerialNumber(null)");
        ExpectInvalid(PdxKitSetTimeout(h, 0) == 0, "PdxKitSetTimeout");
        ExpectInvalid(PdxKitSetTimeout(h, 0xFFFFFFFFu) == 0, "PdxKitSetTimeout");
        ExpectInvalid(PdxKitSetWriteTimeout(h, 0) == 0, "PdxKitSetWriteTimeout");
        ExpectInvalid(PdxKitSetWriteTimeout(h, 0xFFFFFFFFu) == 0, "PdxKitSetWriteTimeout");
    }

    // Runs after the call whose zero result `refused` reports.
    static void ExpectInvalid(bool refused, const char* what) {
        EXPECT_TRUE(refused) << what;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << what;
        SetLastError(kSentinel);
    }

    void ExpectAllRefused() {
        for (const BadHandle& bad : BadHandles()) ExpectRefused(bad);
    }
};

TEST_F(BadInputTest, HandlesBeforeAnyOpen) {
    ExpectAllRefused();
    ExpectRefused({"record 1 before any open", &g_device_table[0]});
    SetLastError(kSentinel);
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    EXPECT_EQ(kSentinel, GetLastError());
    for (uint32_t number : {0u, 1u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(number)) << number;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << number;
    }
}

TEST_F(BadInputTest, HandlesWhileOpen) {
    Install(*MakeWorld(1));
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    ExpectAllRefused();
    ExpectRefused({"record 2 of a one-device table", &g_device_table[1]});
    for (uint32_t number : {0u, 2u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(number)) << number;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << number;
    }
}

TEST_F(BadInputTest, StaleHandlesAfterClose) {
    Install(*MakeWorld(2));
    PdxKitHandle first = PdxKitOpenDevice();
    ASSERT_NE(nullptr, first);
    PdxKitHandle second = PdxKitGetDeviceHandle(2);
    PdxKitCloseDevice(nullptr);
    ExpectRefused({"device 1 after close", first});
    ExpectRefused({"device 2 after close", second});
    ExpectAllRefused();
    // Closing again, with any value at all, is harmless.
    for (const BadHandle& bad : BadHandles()) {
        SetLastError(kSentinel);
        PdxKitCloseDevice(bad.handle);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError()) << bad.name;
    }
}

TEST_F(BadInputTest, BadArgumentsOnAnOpenDevice) {
    Install(*MakeWorld(1));
    PdxKitHandle h = PdxKitOpenDevice();
    ASSERT_NE(nullptr, h);
    // Short waits, should any call get as far as waiting.
    ASSERT_EQ(1, PdxKitSetTimeout(h, 0));
    ASSERT_EQ(1, PdxKitSetWriteTimeout(h, 0));
    uint8_t buffer[65] = {0};
    for (uint32_t pipe : kBadPipes) {
        SCOPED_TRACE(pipe);
        SetLastError(kSentinel);
        EXPECT_EQ(0u, PdxKitRead(h, pipe, buffer, sizeof(buffer)));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        SetLastError(kSentinel);
        EXPECT_EQ(0u, PdxKitRead(h, pipe, buffer, 0xFFFFFFFFu));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        SetLastError(kSentinel);
        EXPECT_EQ(0u, PdxKitWrite(h, pipe, buffer, 5));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        SetLastError(kSentinel);
        EXPECT_EQ(0u, PdxKitWrite(h, pipe, buffer, 0xFFFFFFFFu));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        SetLastError(kSentinel);
        EXPECT_EQ(0, PdxKitCancelIo(h, pipe));
        EXPECT_EQ(kSentinel, GetLastError());
    }
    for (uint32_t pipe = 0; pipe < 2; ++pipe) {
        SCOPED_TRACE(pipe);
        for (uint32_t length : {0u, 5u, 0xFFFFFFFFu}) {
            SetLastError(kSentinel);
            EXPECT_EQ(0u, PdxKitRead(h, pipe, nullptr, length));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        }
        SetLastError(kSentinel);
        EXPECT_EQ(0u, PdxKitRead(h, pipe, buffer, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        // A write that sends nothing, or from nowhere, is refused at once
        // (by the library or by the platform): 0 and some error.
        for (uint32_t length : {0u, 5u, 0xFFFFFFFFu}) {
            SetLastError(ERROR_SUCCESS);
            EXPECT_EQ(0u, PdxKitWrite(h, pipe, nullptr, length)) << length;
            EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError()) << length;
        }
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(0u, PdxKitWrite(h, pipe, buffer, 0));
        EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    }
    SetLastError(kSentinel);
    EXPECT_EQ(0, PdxKitReadImmediate(h, nullptr));
    EXPECT_EQ(kSentinel, GetLastError());
    SetLastError(kSentinel);
    EXPECT_EQ(0, PdxKitGetSerialNumber(h, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    for (uint32_t mode : {0u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
        SetLastError(kSentinel);
        EXPECT_EQ(0, PdxKitSetLegacyOpenMode(mode)) << mode;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << mode;
    }
    // The device still works after all of that.
    ASSERT_EQ(1, PdxKitSetTimeout(h, kPromptMs));
    ASSERT_EQ(1, SendPins(0, 0x01020304));
    uint8_t report[5];
    ASSERT_EQ(5u, PdxKitRead(h, 0, report, sizeof(report)));
    EXPECT_EQ(0x01020304u, PinValue(report));
}

// ---- The Java natives ----------------------------------------------------

class BadJavaInputTest : public BadInputTest {
protected:
    JNIEnv* env() { return jni_.env(); }

    // Every native that takes a handle, with a value that names no open
    // device: empty arrays, zeros, false, and "00000000".
    void ExpectNativesRefuse(jlong handle, const std::string& name) {
        SCOPED_TRACE(name);
        const jlong pipes[] = {0, 1, 2, -1, 0x100000002LL};
        const jlong lengths[] = {0, 5, 65, -1, 0x100000000LL};
        for (jlong pipe : pipes) {
            for (jlong length : lengths) {
                jintArray read = Java_com_vantelo_pdx_PdxKit_read(env(), nullptr, handle, pipe, length);
                ASSERT_NE(nullptr, read);
                EXPECT_TRUE(jni_.Elements(read).empty()) << "read pipe " << pipe << " length " << length;
            }
            EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, jni_.NewArray({0, 1, 2})));
            EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, jni_.NewArray({})));
            EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, nullptr));
            EXPECT_EQ(JNI_FALSE, Java_com_vantelo_pdx_PdxKit_cancelIo(env(), nullptr, handle, pipe));
        }
        jintArray immediate = Java_com_vantelo_pdx_PdxKit_readImmediate(env(), nullptr, handle);
        ASSERT_NE(nullptr, immediate);
        EXPECT_TRUE(jni_.Elements(immediate).empty());
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getProductId(env(), nullptr, handle));
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getRevision(env(), nullptr, handle));
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getThreadHandle(env(), nullptr, handle));
        jstring serial = Java_com_vantelo_pdx_PdxKit_getSerialNumber(env(), nullptr, handle);
        ASSERT_NE(nullptr, serial);
        EXPECT_EQ(u"00000000", jni_.String(serial)->units);
        for (jlong timeout : {0LL, -1LL, 1000LL}) {
            EXPECT_EQ(JNI_FALSE, Java_com_vantelo_pdx_PdxKit_setTimeout(env(), nullptr, handle, timeout));
            EXPECT_EQ(JNI_FALSE, Java_com_vantelo_pdx_PdxKit_setWriteTimeout(env(), nullptr, handle, timeout));
        }
        EXPECT_EQ(0, jni_.elements_out) << "array elements left unreleased";
    }

    void ExpectAllNativesRefuse() {
        const jlong bad[] = {0,
                             -1,
                             1,
                             0x12345678,
                             0x7FFFFFFF,
                             INT64_MIN,
                             INT64_MAX,
                             0x50440000,  // token base without a record
                             0x50440011,  // record 17
                             0x5044FFFF,
                             0x50450001,  // wrong token base
                             static_cast<jlong>(reinterpret_cast<uintptr_t>(&g_device_table[0])),
                             static_cast<jlong>(reinterpret_cast<uintptr_t>(g_forged))};
        for (jlong handle : bad) ExpectNativesRefuse(handle, "handle " + std::to_string(handle));
    }

    FakeJniEnv jni_;
};

TEST_F(BadJavaInputTest, HandlesBeforeAnyOpen) {
    ExpectAllNativesRefuse();
    ExpectNativesRefuse(0x50440001, "token of record 1 before any open");
    EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getNumDevs(env(), nullptr));
    for (jlong number : {0LL, 1LL, 17LL, -1LL, 0x100000001LL}) {
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getDeviceHandle(env(), nullptr, number)) << number;
    }
    EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_openDevice(env(), nullptr)) << "nothing is installed";
}

TEST_F(BadJavaInputTest, HandlesWhileOpenAndStaleAfterClose) {
    Install(*MakeWorld(1));
    const jlong handle = Java_com_vantelo_pdx_PdxKit_openDevice(env(), nullptr);
    ASSERT_NE(0, handle);
    ExpectAllNativesRefuse();
    ExpectNativesRefuse(0x50440002, "token of record 2 of a one-device table");
    Java_com_vantelo_pdx_PdxKit_closeDevice(env(), nullptr, 0x12345678);  // closes everything
    EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_getNumDevs(env(), nullptr));
    ExpectNativesRefuse(handle, "stale handle");
    ExpectNativesRefuse(handle + (1LL << 32), "stale handle with high bits");
    Java_com_vantelo_pdx_PdxKit_closeDevice(env(), nullptr, -1);  // harmless a second time
}

TEST_F(BadJavaInputTest, BadArgumentsOnAnOpenDevice) {
    Install(*MakeWorld(1));
    const jlong handle = Java_com_vantelo_pdx_PdxKit_openDevice(env(), nullptr);
    ASSERT_NE(0, handle);
    ASSERT_EQ(JNI_TRUE, Java_com_vantelo_pdx_PdxKit_setTimeout(env(), nullptr, handle, 0));
    ASSERT_EQ(JNI_TRUE, Java_com_vantelo_pdx_PdxKit_setWriteTimeout(env(), nullptr, handle, 0));
    for (jlong pipe : {2LL, -1LL, 0x80000000LL, 0x7FFFFFFF00000002LL}) {
        SCOPED_TRACE(pipe);
        EXPECT_TRUE(jni_.Elements(Java_com_vantelo_pdx_PdxKit_read(env(), nullptr, handle, pipe, 5)).empty());
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, jni_.NewArray({0, 1, 2, 3, 4})));
        EXPECT_EQ(JNI_FALSE, Java_com_vantelo_pdx_PdxKit_cancelIo(env(), nullptr, handle, pipe));
    }
    for (jlong pipe : {0LL, 1LL}) {
        SCOPED_TRACE(pipe);
        // Lengths of 0, of 2^32 (low bits 0), and of -1 (2^32 - 1 bytes, which
        // cannot be handed back in a Java array): empty, without a wait.
        for (jlong length : {0LL, 0x100000000LL, -1LL, 0x80000000LL}) {
            EXPECT_TRUE(jni_.Elements(Java_com_vantelo_pdx_PdxKit_read(env(), nullptr, handle, pipe, length)).empty())
                << length;
        }
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, nullptr));
        EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, pipe, jni_.NewArray({})));
    }
    // A VM that cannot hand out the elements, or create the result.
    jni_.fail_get_elements = true;
    EXPECT_EQ(0, Java_com_vantelo_pdx_PdxKit_write(env(), nullptr, handle, 0, jni_.NewArray({0, 1, 2, 3, 4})));
    jni_.fail_get_elements = false;
    jni_.fail_new_int_array = true;
    EXPECT_EQ(nullptr, Java_com_vantelo_pdx_PdxKit_readImmediate(env(), nullptr, handle));
    EXPECT_EQ(nullptr, Java_com_vantelo_pdx_PdxKit_read(env(), nullptr, handle, 0, 5));
    jni_.fail_new_int_array = false;
    jni_.fail_new_string = true;
    EXPECT_EQ(nullptr, Java_com_vantelo_pdx_PdxKit_getSerialNumber(env(), nullptr, handle));
    jni_.fail_new_string = false;
    EXPECT_EQ(0, jni_.elements_out);

    // The device still works after all of that.
    ASSERT_EQ(JNI_TRUE, Java_com_vantelo_pdx_PdxKit_setTimeout(env(), nullptr, handle, kPromptMs));
    ASSERT_EQ(1, SendPins(0, 0x01FF0080));
    EXPECT_EQ((std::vector<jint>{0, 0x80, 0, 0xFF, 0x01}),
              jni_.Elements(Java_com_vantelo_pdx_PdxKit_read(env(), nullptr, handle, 0, 5)));
    Java_com_vantelo_pdx_PdxKit_closeDevice(env(), nullptr, handle);
}

}  // namespace
