#include "report_queue.h"

#include <string.h>

#include "pdx_assert.h"

// The ring's shape: the queued reports run from the read index to just
// before the write index (all slots when full).
static bool RingConsistent(const ReportQueue* queue) {
    return queue->count <= kQueueSlots && (queue->read_index + queue->count) % kQueueSlots == queue->write_index;
}

void PushReport(DeviceRecord* record, const uint8_t* report, uint32_t length) {
    ReportQueue* queue = &record->queue;
    WaitForSingleObject(record->queue_lock, INFINITE);
    memcpy(queue->last_report, report, kReportSize);
    StoreRelaxed(&queue->last_report_length, length);
    StoreRelaxed(&queue->new_report, 1);
    memcpy(queue->slots[queue->write_index], report, kReportSize);
    // A slot holds 5 bytes: no count above that is ever taken out of it.
    queue->slot_lengths[queue->write_index] = static_cast<uint8_t>(length < kReportSize ? length : kReportSize);
    queue->write_index = (queue->write_index + 1) % kQueueSlots;
    if (queue->count < kQueueSlots) {
        queue->count++;
    } else {
        // Full: the slot just written was the oldest one's.
        queue->read_index = (queue->read_index + 1) % kQueueSlots;
    }
    queue->push_count++;
    PDX_ASSERT(RingConsistent(queue));
    ReleaseMutex(record->queue_lock);
}

BOOLEAN PopReportLocked(DeviceRecord* record, uint8_t* out) {
    ReportQueue* queue = &record->queue;
    if (queue->count == 0) return FALSE;
    memcpy(out, queue->slots[queue->read_index], kReportSize);
    queue->read_index = (queue->read_index + 1) % kQueueSlots;
    queue->count--;
    if (queue->count == 0) {
        queue->write_index = 0;
        queue->read_index = 0;
    }
    PDX_ASSERT(RingConsistent(queue));
    return TRUE;
}

BOOLEAN PopReport(DeviceRecord* record, uint8_t* out) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    const BOOLEAN taken = PopReportLocked(record, out);
    ReleaseMutex(record->queue_lock);
    return taken;
}

uint32_t OldestReportLengthLocked(const DeviceRecord* record) {
    PDX_ASSERT(record->queue.count > 0);
    return record->queue.slot_lengths[record->queue.read_index];
}

void MarkGone(DeviceRecord* record, DWORD error) {
    WaitForSingleObject(record->queue_lock, INFINITE);
    if (record->queue.gone_error == 0) {
        // A refusal without an error code still ends the reports.
        record->queue.gone_error = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        // Signalled before the lock is let go: whoever finds the mark knows
        // its signal has been given and will come no later.
        SetEvent(record->report_event);
    }
    ReleaseMutex(record->queue_lock);
}
