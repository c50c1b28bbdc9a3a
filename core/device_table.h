// The device table: one record per open USB device of the family, the device
// count, the private heap for interface details, and the handle checks every
// exported operation starts with.
#ifndef PDXKIT_CORE_DEVICE_TABLE_H
#define PDXKIT_CORE_DEVICE_TABLE_H

#include <stdint.h>

#include "pdx_win32.h"

enum : uint32_t {
    kOpenMagic = 0x61584450u,  // "PDXa" in memory order
    kClosedMagic = 0xF00FBEEFu,
    kMaxDevices = 16,
    kPipesPerDevice = 2,
    kReportSize = 5,  // report id and 4 data bytes
    kQueueSlots = 8,
    kSerialUnits = 9,
    kAttributeBytes = 10  // HIDD_ATTRIBUTES without its tail padding
};

// One HID interface of a device.
struct PipeInfo {
    HIDP_CAPS caps;
    HIDD_ATTRIBUTES attributes;                 // only the first kAttributeBytes are ever written
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail;  // from the private heap
};

struct DeviceRecord {
    uint32_t magic;
    uint32_t pipe_count;
    uint32_t read_timeout;
    uint32_t write_timeout;
    HANDLE reader_thread;
    HANDLE report_event;   // manual reset
    HANDLE stop_event;     // auto reset
    HANDLE stopped_event;  // auto reset
    HANDLE queue_lock;
    HANDLE read_lock;
    HANDLE cancel_lock;
    HANDLE read_handles[kPipesPerDevice];
    HANDLE write_handles[kPipesPerDevice];
    PipeInfo pipes[kPipesPerDevice];
    uint16_t serial[kSerialUnits];
    uint32_t parent_key;
    uint8_t last_report[kReportSize];
    uint32_t last_report_length;
    uint8_t new_report;
    uint8_t slots[kQueueSlots][kReportSize];
    uint32_t queue_read;
    uint32_t queue_write;
    uint32_t queue_count;
    // Reports pushed so far (wrapping), under the queue lock: tells a waiting
    // reader whether anything was pushed since it found the queue empty.
    uint32_t push_count;
    // The byte count of each queued report, beside its slot: reports of
    // different lengths each count with their own.
    uint8_t slot_lengths[kQueueSlots];
    // 0 while pipe 0 can still deliver reports; once the reader has learnt
    // that it cannot (the device is gone, or no read can be issued), the
    // error the platform gave. Under the queue lock.
    uint32_t gone_error;
};

extern DeviceRecord g_device_table[kMaxDevices];
extern uint32_t g_device_count;
extern HANDLE g_private_heap;
extern uint32_t g_open_mode;
extern const char kVersionText[];

// The record behind a handle that belongs to an open device, else null.
DeviceRecord* CheckHandle(const void* handle);

// The pipe's read (write) handle, or INVALID_HANDLE_VALUE when the handle is
// not valid or the device has no such pipe.
HANDLE LookupReadHandle(const void* handle, uint32_t pipe);
HANDLE LookupWriteHandle(const void* handle, uint32_t pipe);

// Zeroes every record and the device count.
void ResetTable(void);

// Values that other threads change while a device is open: single aligned
// 32-bit (or byte) accesses, made atomic so the race detector agrees.
inline uint32_t LoadRelaxed(const uint32_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void StoreRelaxed(uint32_t* p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline void StoreRelaxed(uint8_t* p, uint8_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

#endif
