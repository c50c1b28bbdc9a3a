// The exported functions that only read or set fields of the table.
#include <string.h>

#include "device_table.h"
#include "pdxkit.h"

// The record behind a handle, with the last error every handle accessor
// reports: success, or an invalid parameter for a handle that is not valid.
static DeviceRecord* RecordForAccessor(PdxKitHandle handle) {
    DeviceRecord* record = CheckHandle(handle);
    SetLastError(record ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
    return record;
}

PDXKIT_API const char* PDXKIT_CALL PdxKitVersion(void) { return kVersionText; }

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetLegacyOpenMode(uint32_t mode) {
    if (mode != 1 && mode != 2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Kept for callers that set it; opening does not depend on it.
    g_open_mode = mode;
    SetLastError(ERROR_SUCCESS);
    return 1;
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetNumDevs(void) { return g_device_count; }

PDXKIT_API PdxKitHandle PDXKIT_CALL PdxKitGetDeviceHandle(uint32_t number) {
    if (number < 1 || number > g_device_count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return &g_device_table[number - 1];
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetThreadHandle(PdxKitHandle handle) {
    DeviceRecord* record = RecordForAccessor(handle);
    if (!record) return 0;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record->reader_thread));
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetProductId(PdxKitHandle handle) {
    DeviceRecord* record = RecordForAccessor(handle);
    if (!record) return 0;
    return record->pipes[0].attributes.ProductID;
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitGetRevision(PdxKitHandle handle) {
    DeviceRecord* record = RecordForAccessor(handle);
    if (!record) return 0;
    return record->pipes[0].attributes.VersionNumber;
}

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitGetSerialNumber(PdxKitHandle handle, uint16_t* buffer) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    memcpy(buffer, record->serial, sizeof(record->serial));
    return record->serial[0] != 0;
}

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetTimeout(PdxKitHandle handle, uint32_t milliseconds) {
    DeviceRecord* record = RecordForAccessor(handle);
    if (!record) return 0;
    StoreRelaxed(&record->read_timeout, milliseconds);
    return 1;
}

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitSetWriteTimeout(PdxKitHandle handle, uint32_t milliseconds) {
    DeviceRecord* record = RecordForAccessor(handle);
    if (!record) return 0;
    StoreRelaxed(&record->write_timeout, milliseconds);
    return 1;
}
