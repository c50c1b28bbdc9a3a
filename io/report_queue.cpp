#include "report_queue.h"

#include <string.h>

void PushReport(DeviceRecord* record, const uint8_t* report, uint32_t length) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    memcpy(record->last_report, report, kReportSize);
    StoreRelaxed(&record->last_report_length, length);
    StoreRelaxed(&record->new_report, 1);
    memcpy(record->slots[record->queue_write], report, kReportSize);
    record->slot_lengths[record->queue_write] = static_cast<uint8_t>(length < kReportSize ? length : kReportSize);
    record->queue_write = (record->queue_write + 1) % kQueueSlots;
    if (record->queue_count < kQueueSlots) {
        record->queue_count++;
    } else {
        // Full: the slot just written was the oldest one's.
        record->queue_read = (record->queue_read + 1) % kQueueSlots;
    }
    record->push_count++;
    ReleaseMutex(record->queue_lock);
}

BOOLEAN PopReportLocked(DeviceRecord* record, uint8_t* out) {
    if (record->queue_count == 0) return FALSE;
    memcpy(out, record->slots[record->queue_read], kReportSize);
    record->queue_read = (record->queue_read + 1) % kQueueSlots;
    record->queue_count--;
    if (record->queue_count == 0) {
        record->queue_write = 0;
        record->queue_read = 0;
    }
    return TRUE;
}

BOOLEAN PopReport(DeviceRecord* record, uint8_t* out) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    const BOOLEAN taken = PopReportLocked(record, out);
    ReleaseMutex(record->queue_lock);
    return taken;
}

uint32_t OldestReportLengthLocked(const DeviceRecord* record) { return record->slot_lengths[record->queue_read]; }

void MarkGone(DeviceRecord* record, DWORD error) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    if (record->gone_error == 0) {
        // A refusal without an error code still ends the reports.
        record->gone_error = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        // Signalled before the lock is let go: whoever finds the mark knows
        // its signal has been given and will come no later.
        SetEvent(record->report_event);
    }
    ReleaseMutex(record->queue_lock);
}
