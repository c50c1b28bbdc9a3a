#include "java_handle.h"

#include <stddef.h>

#include "device_table.h"

// Which of the two mappings applies is fixed by the target's pointer width;
// it is a constant condition, so each build keeps only its own branch.
static const bool kHandleIsAddress = sizeof(void*) <= sizeof(uint32_t);

static const uint32_t kTokenRecords = kMaxDevices;

uint32_t JavaHandleFromDevice(PdxKitHandle handle) {
    if (handle == nullptr) {
        return 0;
    }
    if (kHandleIsAddress) {
        return (uint32_t)(uintptr_t)handle;
    }
    // Handles are record addresses, so the record number follows from the
    // position in the table; records beyond the device count map as well.
    for (uint32_t i = 0; i < kTokenRecords; i++) {
        if (handle == (PdxKitHandle)&g_device_table[i]) {
            return PDX_JAVA_HANDLE_TOKEN_BASE | (i + 1);
        }
    }
    // The library hands out record addresses only; anything else has no
    // token and travels as none.
    return 0;
}

PdxKitHandle DeviceHandleFromJava(uint32_t value) {
    if (kHandleIsAddress) {
        return (PdxKitHandle)(uintptr_t)value;
    }
    if ((value & PDX_JAVA_HANDLE_TOKEN_MASK) != PDX_JAVA_HANDLE_TOKEN_BASE) {
        return nullptr;
    }
    uint32_t number = value & ~PDX_JAVA_HANDLE_TOKEN_MASK;
    if (number < 1 || number > kTokenRecords) {
        return nullptr;
    }
    return (PdxKitHandle)&g_device_table[number - 1];
}
