// Reading: the queued read of pipe 0, the direct read of pipe 1, and the
// immediate read of the port.
#ifndef PDXKIT_IO_READ_H
#define PDXKIT_IO_READ_H

#include "device_table.h"

// Takes the oldest report into out (5 bytes) and its byte count into
// length, waiting for one up to the read timeout. A report longer than room
// is left queued, and with the queue empty none is waited for while one as
// long as the last report would not fit. False on timeout (ERROR_TIMEOUT),
// with the queue empty on a gone device (the platform's error), or with
// nothing taken for want of room or because another consumer took the
// report that ended the wait (last error unchanged).
BOOLEAN WaitForReport(DeviceRecord* record, uint8_t* out, uint32_t* length, uint32_t room);

#endif
