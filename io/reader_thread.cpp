#include "reader_thread.h"

#include <string.h>

#include "report_queue.h"

VOID WINAPI NullCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {}

BOOLEAN CancelPendingIo(HANDLE file) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32) return FALSE;
    typedef BOOL(WINAPI * CancelIoFn)(HANDLE);
    CancelIoFn cancel_io = reinterpret_cast<CancelIoFn>(reinterpret_cast<void*>(GetProcAddress(kernel32, "CancelIo")));
    if (!cancel_io) return FALSE;
    cancel_io(file);
    return TRUE;
}

bool RequestPending(const OVERLAPPED* overlapped) {
    return *static_cast<const volatile ULONG_PTR*>(&overlapped->Internal) == static_cast<ULONG_PTR>(STATUS_PENDING);
}

void CancelAndWaitForCompletion(HANDLE file, const OVERLAPPED* overlapped) {
    CancelPendingIo(file);
    // Another routine queued to this thread may end a wait first: only the
    // request's own status says it is over.
    while (RequestPending(overlapped)) SleepEx(INFINITE, TRUE);
    // Its routine may still be queued: run it now, so that it cannot end a
    // later wait of this thread as if that wait's own request had completed.
    while (SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {}
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
