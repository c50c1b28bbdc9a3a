// Opening and closing all devices, and the per-record steps they are made of.
#ifndef PDXKIT_CORE_OPEN_CLOSE_H
#define PDXKIT_CORE_OPEN_CLOSE_H

#include "device_table.h"

enum : uint32_t { kInputBuffers = 128, kHeapInitialSize = 4096 };

// Creates the record's events, locks and suspended reader; resumes it when
// all exist. False (and nothing left behind) when any cannot be created.
BOOLEAN StartReader(DeviceRecord* record);

// Stops the reader, if any, with the stop handshake and releases the six
// synchronisation objects.
void StopReader(DeviceRecord* record);

// Releases everything the record holds and stamps the closed magic.
void CloseDeviceRecord(DeviceRecord* record);

#endif
