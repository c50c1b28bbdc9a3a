#include "reader_thread.h"

#include <string.h>

#include "overlapped_requests.h"
#include "report_queue.h"

static void ReleaseSyncObjects(DeviceRecord* record) {
    CloseIfPresent(&record->report_event);
    CloseIfPresent(&record->stop_event);
    CloseIfPresent(&record->stopped_event);
    CloseIfPresent(&record->queue_lock);
    CloseIfPresent(&record->read_lock);
    CloseIfPresent(&record->cancel_lock);
}

// A reader that has never run can take part in no stop handshake: it is
// ended where it stands.
static void DisposeUnstartedReader(DeviceRecord* record) {
    if (!record->reader_thread) return;
    TerminateThread(record->reader_thread, 0);
    WaitForSingleObject(record->reader_thread, INFINITE);
    CloseHandle(record->reader_thread);
    record->reader_thread = nullptr;
}

BOOLEAN StartReader(DeviceRecord* record) {
    record->report_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    record->stop_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    record->stopped_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    record->queue_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->read_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->cancel_lock = CreateMutexA(nullptr, FALSE, nullptr);
    record->reader_thread = CreateThread(nullptr, 0, ReaderThread, record, CREATE_SUSPENDED, nullptr);

    if (!record->report_event || !record->stop_event || !record->stopped_event || !record->queue_lock ||
        !record->read_lock || !record->cancel_lock || !record->reader_thread) {
        DisposeUnstartedReader(record);
        ReleaseSyncObjects(record);
        return FALSE;
    }

    for (uint32_t i = 1; i < kReportSize; ++i) record->queue.last_report[i] = 0xFF;
    // A reader left suspended would never answer the stop handshake, and
    // closing would wait for it forever: treat it as one that never started.
    if (ResumeThread(record->reader_thread) == static_cast<DWORD>(-1)) {
        DisposeUnstartedReader(record);
        ReleaseSyncObjects(record);
        return FALSE;
    }
    return TRUE;
}

void StopReader(DeviceRecord* record) {
    if (record->reader_thread) {
        SetEvent(record->stop_event);
        WaitForSingleObject(record->stopped_event, INFINITE);
        WaitForSingleObject(record->reader_thread, INFINITE);
        CloseHandle(record->reader_thread);
        record->reader_thread = nullptr;
    }
    ReleaseSyncObjects(record);
}

// Cancels the outstanding read and waits for it to complete: the buffer and
// control block on this stack are the platform's until then.
static void StopReading(DeviceRecord* record, HANDLE file, const OVERLAPPED* outstanding) {
    if (outstanding)
        CancelAndWaitForCompletion(file, outstanding);
    else
        CancelPendingIo(file);
    SetEvent(record->stopped_event);
    ExitThread(0);
}

DWORD WINAPI ReaderThread(LPVOID device) {
    DeviceRecord* record = static_cast<DeviceRecord*>(device);
    HANDLE file = LookupReadHandle(record, 0);
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    uint8_t report[kReportSize];
    DWORD bytes = 0;
    uint32_t failures_in_a_row = 0;

    for (;;) {
        memset(report, 0, sizeof(report));
        bool outstanding =
            ReadFileEx(file, report, kReportSize, &overlapped, NullCompletion) || GetLastError() == ERROR_IO_PENDING;
        // A read refused at once is never issued again: no report can come
        // any more, and queued reads must not wait for one.
        if (!outstanding) MarkGone(record, GetLastError());

        for (;;) {
            const DWORD wait = WaitForSingleObjectEx(record->stop_event, kReaderWaitStep, TRUE);
            if (wait == WAIT_OBJECT_0) StopReading(record, file, outstanding ? &overlapped : nullptr);
            // With no read issued a completion cannot be ours.
            if (wait == WAIT_IO_COMPLETION && outstanding) break;
        }

        bytes = 0;
        const bool ok = GetOverlappedResult(file, &overlapped, &bytes, TRUE);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        PushReport(record, report, bytes);
        SetEvent(record->report_event);
        // Delivered like any failed read, and then no report can come.
        if (error == ERROR_DEVICE_NOT_CONNECTED) MarkGone(record, error);
        failures_in_a_row = ok ? 0 : failures_in_a_row + 1;
        // Every failed read is delivered, but a device whose reads keep
        // failing at once is read four times a second rather than in a
        // loop that takes a whole core.
        if (failures_in_a_row >= kFailuresBeforePause &&
            WaitForSingleObjectEx(record->stop_event, kReaderWaitStep, TRUE) == WAIT_OBJECT_0) {
            StopReading(record, file, nullptr);
        }
    }
    return 0;
}
