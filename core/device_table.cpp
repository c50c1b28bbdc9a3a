#include "device_table.h"

#include <string.h>

DeviceRecord g_device_table[kMaxDevices];
uint32_t g_device_count;
HANDLE g_private_heap;
uint32_t g_open_mode = 1;
const char kVersionText[] = "Pindex Kit V1.4";

static_assert(sizeof(HIDP_CAPS) == 64, "HIDP_CAPS is copied whole as 64 bytes");

DeviceRecord* CheckHandle(const void* handle) {
    // Only the start of one of our own records can be a handle: a wild,
    // misaligned or foreign pointer is rejected before it is dereferenced.
    const uintptr_t address = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t base = reinterpret_cast<uintptr_t>(&g_device_table[0]);
    if (address < base) return nullptr;
    const uintptr_t offset = address - base;
    if (offset >= sizeof(g_device_table) || offset % sizeof(DeviceRecord) != 0) return nullptr;
    DeviceRecord* record = &g_device_table[offset / sizeof(DeviceRecord)];
    if (record->magic != kOpenMagic) return nullptr;
    return record;
}

HANDLE LookupReadHandle(const void* handle, uint32_t pipe) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record || pipe >= record->pipe_count || pipe >= kPipesPerDevice) return INVALID_HANDLE_VALUE;
    return record->read_handles[pipe];
}

HANDLE LookupWriteHandle(const void* handle, uint32_t pipe) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record || pipe >= record->pipe_count || pipe >= kPipesPerDevice) return INVALID_HANDLE_VALUE;
    return record->write_handles[pipe];
}

void ResetTable(void) {
    memset(g_device_table, 0, sizeof(g_device_table));
    g_device_count = 0;
}
