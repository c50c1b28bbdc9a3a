#include "device_table.h"

#include <stddef.h>
#include <string.h>

DeviceRecord g_device_table[kMaxDevices];
uint32_t g_device_count;
HANDLE g_private_heap;
uint32_t g_open_mode = 1;
const char kVersionText[] = "Pindex Kit V1.4";

static_assert(sizeof(HIDP_CAPS) == 64, "HIDP_CAPS is copied whole as 64 bytes");

// The report queue is a struct of its own, but its fields keep the places
// they have in the record's layout, where they follow the parent key one
// after the other: the struct starts right behind the parent key, and inside
// it each field lies where the record's alignment rules would put it (a
// 32-bit value on the next multiple of 4, bytes anywhere).
static_assert(offsetof(DeviceRecord, queue) == offsetof(DeviceRecord, parent_key) + sizeof(uint32_t),
              "the queue follows the parent key without a gap");
static_assert(alignof(ReportQueue) == alignof(uint32_t), "the queue adds no alignment of its own");
static_assert(offsetof(ReportQueue, last_report) == 0, "last report first");
static_assert(offsetof(ReportQueue, last_report_length) == 8, "5 bytes, then a 32-bit value on a multiple of 4");
static_assert(offsetof(ReportQueue, new_report) == 12, "the flag right after the length");
static_assert(offsetof(ReportQueue, slots) == 13, "the slots right after the flag");
static_assert(offsetof(ReportQueue, read_index) == 56, "13 + 40 bytes of slots, on a multiple of 4");
static_assert(offsetof(ReportQueue, write_index) == 60, "then the write index");
static_assert(offsetof(ReportQueue, count) == 64, "then the count");
static_assert(offsetof(ReportQueue, push_count) == 68, "then our own fields, after the count");
static_assert(offsetof(ReportQueue, slot_lengths) == 72, "then the slot lengths");
static_assert(offsetof(ReportQueue, gone_error) == 80, "then the gone error");
static_assert(sizeof(ReportQueue) == 84, "no tail padding inside the queue");
static_assert(offsetof(DeviceRecord, queue) + sizeof(ReportQueue) + alignof(DeviceRecord) > sizeof(DeviceRecord),
              "the queue ends the record: only the record's tail padding follows it");

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

void CloseIfPresent(HANDLE* handle) {
    if (*handle && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = nullptr;
}

void ResetTable(void) {
    memset(g_device_table, 0, sizeof(g_device_table));
    g_device_count = 0;
}
