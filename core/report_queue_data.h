// The data of a device's report queue: the ring of the newest pipe-0 reports
// and the last report. It sits inside the device record, so the record's
// header sees the type here; every routine that touches it is io's
// (io/report_queue.h, the reader thread and the reads).
#ifndef PDXKIT_CORE_REPORT_QUEUE_DATA_H
#define PDXKIT_CORE_REPORT_QUEUE_DATA_H

#include <stdint.h>

enum : uint32_t {
    kReportSize = 5,  // report id and 4 data bytes
    kQueueSlots = 8
};

// All fields under the record's queue lock, apart from the single-value
// accesses that use LoadRelaxed/StoreRelaxed. The fields up to count keep
// the record layout's order and offsets (asserted in device_table.cpp); the
// rest are ours and follow them.
struct ReportQueue {
    uint8_t last_report[kReportSize];
    uint32_t last_report_length;
    uint8_t new_report;
    uint8_t slots[kQueueSlots][kReportSize];
    uint32_t read_index;
    uint32_t write_index;
    uint32_t count;
    // Reports pushed so far (wrapping): tells a waiting reader whether
    // anything was pushed since it found the queue empty.
    uint32_t push_count;
    // The byte count of each queued report, beside its slot: reports of
    // different lengths each count with their own.
    uint8_t slot_lengths[kQueueSlots];
    // 0 while pipe 0 can still deliver reports; once the reader has learnt
    // that it cannot (the device is gone, or no read can be issued), the
    // error the platform gave.
    uint32_t gone_error;
};

#endif
