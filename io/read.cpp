#include "read.h"

#include <string.h>

#include "pdxkit.h"
#include "overlapped_requests.h"
#include "report_queue.h"

static uint32_t PinValue(const uint8_t* report) {
    return static_cast<uint32_t>(report[1]) | static_cast<uint32_t>(report[2]) << 8 |
           static_cast<uint32_t>(report[3]) << 16 | static_cast<uint32_t>(report[4]) << 24;
}

// The reader thread wrote the queue last: ask for its lines now, so that
// fetching them overlaps with taking the lock.
static void PrefetchQueue(const DeviceRecord* record) {
    const char* queue = reinterpret_cast<const char*>(&record->queue);
    __builtin_prefetch(queue, 1);
    __builtin_prefetch(queue + sizeof(record->queue) - 1, 1);
}

// What one look at the queue, under its lock, found.
enum QueueFinding { kReportTaken, kNoRoom, kQueueEmpty, kDeviceGone };

// Takes the oldest report if it fits in `room` bytes. With the queue empty,
// a report as long as the last one is what to expect next: when that would
// not fit either, there is nothing to wait for.
static QueueFinding TakeReportLocked(DeviceRecord* record, uint8_t* out, uint32_t* length, uint32_t room) {
    if (record->queue.count == 0) {
        if (record->queue.last_report_length > room) return kNoRoom;
        return record->queue.gone_error ? kDeviceGone : kQueueEmpty;
    }
    const uint32_t n = OldestReportLengthLocked(record);
    if (n > room) return kNoRoom;
    PopReportLocked(record, out);
    *length = n;
    return kReportTaken;
}

BOOLEAN WaitForReport(DeviceRecord* record, uint8_t* out, uint32_t* length, uint32_t room) {
    // Finding the queue empty and clearing the event is one step under the
    // queue lock: the reader pushes, or marks the device gone, under that
    // lock and signals then or after it, so whatever it does after the
    // finding leaves the event signalled for the wait below.
    WaitForSingleObject(record->queue_lock, INFINITE);
    QueueFinding found = TakeReportLocked(record, out, length, room);
    if (found == kQueueEmpty) ResetEvent(record->report_event);
    const uint32_t pushes_at_empty = record->queue.push_count;
    ReleaseMutex(record->queue_lock);

    while (found == kQueueEmpty) {
        const DWORD wait = WaitForSingleObject(record->report_event, LoadRelaxed(&record->read_timeout));
        ResetEvent(record->report_event);
        if (wait != WAIT_OBJECT_0) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        WaitForSingleObject(record->queue_lock, INFINITE);
        found = TakeReportLocked(record, out, length, room);
        // The reader signals after it has let go of the queue, so a signal
        // may belong to a report that was taken before the queue was found
        // empty. With nothing pushed since, that signal is stale: wait on.
        // Otherwise an empty queue means another caller took the report.
        // (Marking the device gone is no push: it is found by the look.)
        const bool stale = found == kQueueEmpty && record->queue.push_count == pushes_at_empty;
        ReleaseMutex(record->queue_lock);
        if (found == kQueueEmpty && !stale) return FALSE;
    }
    // Set once, before the look that found it; it stays until closing.
    if (found == kDeviceGone) SetLastError(record->queue.gone_error);
    return found == kReportTaken;
}

static uint32_t QueuedRead(DeviceRecord* record, uint8_t* buffer, uint32_t length) {
    WaitForSingleObject(record->read_lock, INFINITE);
    uint32_t result = 0;
    uint8_t report[kReportSize];
    uint32_t n = 0;

    // The first report is taken whatever its length: one that does not fit
    // is lost, as a caller with too small a buffer must learn. Each later
    // one is taken only if it fits, or else stays queued for the next read.
    if (WaitForReport(record, report, &n, UINT32_MAX)) {
        if (n > length) {
            SetLastError(ERROR_INVALID_PARAMETER);
        } else {
            do {
                memcpy(buffer + result, report, n);
                result += n;
            } while (WaitForReport(record, report, &n, length - result));
        }
    }

    const DWORD saved = GetLastError();
    ReleaseMutex(record->read_lock);
    SetLastError(saved);
    return result;
}

static uint32_t DirectRead(DeviceRecord* record, HANDLE file, uint8_t* buffer, uint32_t length) {
    memset(buffer, 0, length);
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    if (!ReadFileEx(file, buffer, length, &overlapped, NullCompletion) && GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    DWORD wait;
    do {
        wait = SleepEx(LoadRelaxed(&record->read_timeout), TRUE);
        // Another routine or APC of this thread may end the wait first; the
        // buffer is the platform's until the request itself has completed.
    } while (wait == WAIT_IO_COMPLETION && RequestPending(&overlapped));
    if (wait == WAIT_IO_COMPLETION) {
        DWORD bytes = 0;
        GetOverlappedResult(file, &overlapped, &bytes, FALSE);
        return bytes;
    }
    // The control block and the caller's buffer stay the platform's until the
    // cancelled request has completed; the caller's last error stays as it was.
    const DWORD saved = GetLastError();
    CancelAndWaitForCompletion(file, &overlapped);
    SetLastError(saved);
    return 0;
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitRead(PdxKitHandle handle, uint32_t pipe, uint8_t* buffer, uint32_t length) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record) return 0;
    HANDLE file = LookupReadHandle(record, pipe);
    if (file == INVALID_HANDLE_VALUE || !buffer || length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (pipe == 0) return QueuedRead(record, buffer, length);
    return DirectRead(record, file, buffer, length);
}

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitReadImmediate(PdxKitHandle handle, uint32_t* value) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record || !value) return 0;
    // One pass under the queue lock: the oldest queued report, or else the
    // last report, whose 4 bytes then belong to one report.
    uint8_t report[kReportSize];
    PrefetchQueue(record);
    WaitForSingleObject(record->queue_lock, INFINITE);
    const BOOLEAN taken = PopReportLocked(record, report);
    if (!taken) memcpy(report, record->queue.last_report, kReportSize);
    ReleaseMutex(record->queue_lock);
    *value = PinValue(report);
    StoreRelaxed(&record->queue.new_report, 0);
    return taken ? 1 : 0;
}
