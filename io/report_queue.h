// The routines of the per-device ring of the newest 8 pipe-0 reports and the
// last report (its data: ReportQueue, in the device record).
#ifndef PDXKIT_IO_REPORT_QUEUE_H
#define PDXKIT_IO_REPORT_QUEUE_H

#include "device_table.h"

// Makes the report the last report and queues it, dropping the oldest one
// when the ring is full. Only the device's reader calls it.
void PushReport(DeviceRecord* record, const uint8_t* report, uint32_t length);

// Takes the oldest queued report into out (5 bytes); false when empty.
BOOLEAN PopReport(DeviceRecord* record, uint8_t* out);
// The same for a caller that already holds the queue lock.
BOOLEAN PopReportLocked(DeviceRecord* record, uint8_t* out);
// The byte count of the oldest queued report (the queue lock held, the
// queue not empty).
uint32_t OldestReportLengthLocked(const DeviceRecord* record);

// Records that pipe 0 will deliver no more reports, with the platform's
// error, and signals the report-available event so that waiting reads see
// it. Only the first call counts. Only the device's reader calls it.
void MarkGone(DeviceRecord* record, DWORD error);

#endif
