// Opening and closing all devices: discovery and the records' pipes below,
// the readers above. It lives in io because it starts and stops the readers.
#ifndef PDXKIT_IO_OPEN_CLOSE_H
#define PDXKIT_IO_OPEN_CLOSE_H

#include "device_table.h"

enum : uint32_t { kInputBuffers = 128, kHeapInitialSize = 4096 };

// Releases everything the record holds and stamps the closed magic.
void CloseDeviceRecord(DeviceRecord* record);

#endif
