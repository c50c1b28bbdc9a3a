// The device table: one record per open USB device of the family, the device
// count, the private heap for interface details, and the handle checks every
// exported operation starts with.
#ifndef PDXKIT_CORE_DEVICE_TABLE_H
#define PDXKIT_CORE_DEVICE_TABLE_H

#include <stdint.h>

#include "pdx_win32.h"
#include "report_queue_data.h"

enum : uint32_t {
    kOpenMagic = 0x61584450u,  // "PDXa" in memory order
    kClosedMagic = 0xF00FBEEFu,
    kMaxDevices = 16,
    kPipesPerDevice = 2,
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
    // The report state, last: its fields lie exactly where the record's
    // layout puts them (asserted in device_table.cpp). Only io touches it.
    ReportQueue queue;
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

// Closes the handle a record field holds, if any, and empties the field. A
// pipe handle that failed to open holds INVALID_HANDLE_VALUE: nothing to
// close there either.
void CloseIfPresent(HANDLE* handle);

// Values that other threads change while a device is open: single aligned
// 32-bit (or byte) accesses, made atomic so the race detector agrees.
inline uint32_t LoadRelaxed(const uint32_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void StoreRelaxed(uint32_t* p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline void StoreRelaxed(uint8_t* p, uint8_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

#endif
