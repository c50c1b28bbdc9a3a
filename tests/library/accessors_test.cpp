// The handle accessors and their last-error values, before, during and after
// an open, with good and bad handles.
#include <string.h>

#include <functional>
#include <string>

#include "library_world.h"

namespace {

class AccessorsTest : public LibraryTest {};

TEST_F(AccessorsTest, BeforeAnyOpenThereAreNoDevices) {
    SetSentinel();
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    EXPECT_EQ(kSentinel, GetLastError()) << "PdxKitGetNumDevs touched the last error";
    EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(AccessorsTest, VersionIsTheConstantTextAndLeavesLastError) {
    SetSentinel();
    EXPECT_STREQ("Pindex Kit V1.4", PdxKitVersion());
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(PdxKitVersion(), PdxKitVersion()) << "the text is one constant";
}

TEST_F(AccessorsTest, LegacyOpenModeAcceptsOnlyOneAndTwo) {
    const struct {
        uint32_t mode;
        PdxKitBool result;
        DWORD error;
    } rows[] = {{0, 0, ERROR_INVALID_PARAMETER},
                {1, 1, ERROR_SUCCESS},
                {2, 1, ERROR_SUCCESS},
                {3, 0, ERROR_INVALID_PARAMETER},
                {0xFFFFFFFFu, 0, ERROR_INVALID_PARAMETER}};
    for (const auto& row : rows) {
        SetSentinel();
        EXPECT_EQ(row.result, PdxKitSetLegacyOpenMode(row.mode)) << "mode " << row.mode;
        EXPECT_EQ(row.error, GetLastError()) << "mode " << row.mode;
    }
    EXPECT_EQ(2u, g_open_mode) << "the last accepted mode is kept, refused ones are not";
}

TEST_F(AccessorsTest, LegacyOpenModeDoesNotChangeOpening) {
    Install(*MakeWorld(1));
    ASSERT_EQ(1, PdxKitSetLegacyOpenMode(2));
    EXPECT_NE(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(1u, PdxKitGetNumDevs());
}

TEST_F(AccessorsTest, DeviceHandlesAreCountedFromOne) {
    PdxKitHandle first = OpenDefault(3);
    ASSERT_EQ(3u, PdxKitGetNumDevs());

    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

    SetSentinel();
    EXPECT_EQ(first, PdxKitGetDeviceHandle(1));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(&g_device_table[0], first);

    SetSentinel();
    EXPECT_EQ(&g_device_table[2], PdxKitGetDeviceHandle(3));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());

    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitGetDeviceHandle(4));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(AccessorsTest, IdsRevisionAndThreadOfAnOpenDevice) {
    auto world = MakeWorld(2);
    world->device[0].product_id = 0x2A10;
    world->device[0].version = 0x0123;
    world->device[1].product_id = 0x2A11;
    world->device[1].version = 0x0456;
    Install(*world);
    PdxKitHandle first = Open();
    PdxKitHandle second = PdxKitGetDeviceHandle(2);

    SetSentinel();
    EXPECT_EQ(0x2A10u, PdxKitGetProductId(first));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    SetSentinel();
    EXPECT_EQ(0x0123u, PdxKitGetRevision(first));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(0x2A11u, PdxKitGetProductId(second));
    EXPECT_EQ(0x0456u, PdxKitGetRevision(second));

    SetSentinel();
    const uint32_t thread = PdxKitGetThreadHandle(first);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    ASSERT_NE(0u, thread);
    EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Record(first)->reader_thread)), thread);
    EXPECT_NE(thread, PdxKitGetThreadHandle(second)) << "one reader per device";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(Record(first)->reader_thread, 0)) << "reader is running";
}

TEST_F(AccessorsTest, SerialNumberIsCopiedWhole) {
    auto world = MakeWorld(2);
    pdxsim_set_serial(&world->device[0], "A1B2C3D4");
    pdxsim_set_serial(&world->device[1], nullptr);
    Install(*world);
    PdxKitHandle first = Open();

    uint16_t buffer[9];
    memset(buffer, 0xAB, sizeof(buffer));
    SetSentinel();
    EXPECT_EQ(1, PdxKitGetSerialNumber(first, buffer));
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    const char* expected = "A1B2C3D4";
    for (int i = 0; i < 8; ++i) EXPECT_EQ(static_cast<uint16_t>(expected[i]), buffer[i]) << "unit " << i;
    EXPECT_EQ(0, buffer[8]);

    memset(buffer, 0xAB, sizeof(buffer));
    SetSentinel();
    EXPECT_EQ(0, PdxKitGetSerialNumber(PdxKitGetDeviceHandle(2), buffer)) << "device without a serial";
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    for (int i = 0; i < 9; ++i) EXPECT_EQ(0, buffer[i]) << "unit " << i;

    SetSentinel();
    EXPECT_EQ(0, PdxKitGetSerialNumber(first, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(AccessorsTest, TimeoutsAreStoredUnchanged) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    EXPECT_EQ(INFINITE, record->read_timeout) << "a discovered device waits without limit";
    EXPECT_EQ(INFINITE, record->write_timeout);
    for (uint32_t value : {0u, 1u, 250u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        SetSentinel();
        EXPECT_EQ(1, PdxKitSetTimeout(handle, value));
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        EXPECT_EQ(value, record->read_timeout);
        SetSentinel();
        EXPECT_EQ(1, PdxKitSetWriteTimeout(handle, value + 7));
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        EXPECT_EQ(value + 7, record->write_timeout);
    }
}

// Every accessor that takes a handle, reduced to "did it give its zero value".
struct HandleAccessor {
    const char* name;
    std::function<bool(PdxKitHandle)> zero_result;
};

std::vector<HandleAccessor> HandleAccessors() {
    return {
        {"PdxKitGetThreadHandle", [](PdxKitHandle h) { return PdxKitGetThreadHandle(h) == 0; }},
        {"PdxKitGetProductId", [](PdxKitHandle h) { return PdxKitGetProductId(h) == 0; }},
        {"PdxKitGetRevision", [](PdxKitHandle h) { return PdxKitGetRevision(h) == 0; }},
        {"PdxKitGetSerialNumber",
         [](PdxKitHandle h) {
             uint16_t buffer[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
             return PdxKitGetSerialNumber(h, buffer) == 0 && buffer[0] == 1;
         }},
        {"PdxKitSetTimeout", [](PdxKitHandle h) { return PdxKitSetTimeout(h, 5) == 0; }},
        {"PdxKitSetWriteTimeout", [](PdxKitHandle h) { return PdxKitSetWriteTimeout(h, 5) == 0; }},
    };
}

void ExpectRejected(PdxKitHandle handle, const std::string& what) {
    for (const HandleAccessor& accessor : HandleAccessors()) {
        SetSentinel();
        EXPECT_TRUE(accessor.zero_result(handle)) << accessor.name << " accepted " << what;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << accessor.name << " with " << what;
    }
}

TEST_F(AccessorsTest, BadHandlesGetTheZeroValueAndInvalidParameter) {
    PdxKitHandle handle = OpenDefault(2);
    ExpectRejected(nullptr, "null");
    ExpectRejected(&g_device_table[5], "a zeroed record");
    ExpectRejected(reinterpret_cast<uint8_t*>(handle) + 1, "a misaligned pointer into a record");
    ExpectRejected(reinterpret_cast<uint8_t*>(handle) + 4, "a pointer into a record at a 32-bit boundary");
    uint32_t fake_record[64];
    fake_record[0] = kOpenMagic;
    ExpectRejected(fake_record, "memory outside the table that carries the magic");
    ExpectRejected(reinterpret_cast<PdxKitHandle>(static_cast<uintptr_t>(0x1234)), "a wild pointer");
    ExpectRejected(&g_device_table[kMaxDevices], "the end of the table");
}

TEST_F(AccessorsTest, HandlesOfClosedDevicesAreRejected) {
    PdxKitHandle first = OpenDefault(2);
    PdxKitHandle second = PdxKitGetDeviceHandle(2);
    PdxKitCloseDevice(first);
    ExpectRejected(first, "device 1 after closing");
    ExpectRejected(second, "device 2 after closing");
}

TEST_F(AccessorsTest, RecordsStampedClosedAreRejected) {
    PdxKitHandle handle = OpenDefault(1);
    Record(handle)->magic = kClosedMagic;
    ExpectRejected(handle, "a record with the closed magic");
    Record(handle)->magic = kOpenMagic;  // so that closing releases it
}

TEST_F(AccessorsTest, PipeLookupsRejectMissingPipesAndBadHandles) {
    PdxKitHandle handle = OpenDefault(1);
    DeviceRecord* record = Record(handle);
    EXPECT_EQ(record->read_handles[0], LookupReadHandle(handle, 0));
    EXPECT_EQ(record->read_handles[1], LookupReadHandle(handle, 1));
    EXPECT_EQ(record->write_handles[0], LookupWriteHandle(handle, 0));
    EXPECT_EQ(record->write_handles[1], LookupWriteHandle(handle, 1));
    for (uint32_t pipe : {2u, 3u, 0xFFFFFFFFu}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, LookupReadHandle(handle, pipe)) << "pipe " << pipe;
        EXPECT_EQ(INVALID_HANDLE_VALUE, LookupWriteHandle(handle, pipe)) << "pipe " << pipe;
    }
    for (uint32_t pipe : {0u, 1u}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, LookupReadHandle(nullptr, pipe));
        EXPECT_EQ(INVALID_HANDLE_VALUE, LookupWriteHandle(&g_device_table[3], pipe));
    }
    record->pipe_count = 1;
    EXPECT_EQ(INVALID_HANDLE_VALUE, LookupReadHandle(handle, 1)) << "pipes beyond the pipe count";
    EXPECT_EQ(INVALID_HANDLE_VALUE, LookupWriteHandle(handle, 1));
    record->pipe_count = 2;
}

}  // namespace
