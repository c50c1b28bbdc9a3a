// Reading: the queued read of pipe 0, the direct read of pipe 1, and the
// immediate read of the port.
#ifndef PDXKIT_IO_READ_H
#define PDXKIT_IO_READ_H

#include "device_table.h"

// Takes one report into out (5 bytes), waiting for it up to the read
// timeout; false on timeout (ERROR_TIMEOUT) or when another consumer took
// the report that ended the wait (last error unchanged).
BOOLEAN WaitForReport(DeviceRecord* record, uint8_t* out);

#endif
