#include "write_cancel.h"

#include <string.h>

#include "pdxkit.h"
#include "overlapped_requests.h"

VOID WINAPI WriteCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    WriteContext* context = static_cast<WriteContext*>(overlapped->hEvent);
    context->success = (error == 0 && bytes != 0) ? 1 : 0;
    context->completed = 1;
}

// Alertable wait until the current attempt's completion routine has run.
static void WaitForCompletion(WriteContext* context) {
    while (!context->completed) SleepEx(INFINITE, TRUE);
}

PDXKIT_API uint32_t PDXKIT_CALL PdxKitWrite(PdxKitHandle handle, uint32_t pipe, const uint8_t* buffer,
                                            uint32_t length) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record) return 0;

    WriteContext context;
    memset(&context, 0, sizeof(context));
    context.write_handle = LookupWriteHandle(record, pipe);
    if (context.write_handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A zero-length write always completes with 0 bytes, which counts as a
    // failed attempt: it could never succeed, so it is refused as a bad
    // argument rather than issued again until the attempts run out.
    if (length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    context.overlapped.hEvent = &context;

    // Bounded, so a device that keeps failing every write at once cannot hold
    // the caller forever.
    for (uint32_t attempt = 0; attempt < kMaxWriteAttempts; ++attempt) {
        context.completed = 0;
        if (!WriteFileEx(context.write_handle, buffer, length, &context.overlapped, WriteCompletion) &&
            GetLastError() != ERROR_IO_PENDING) {
            return 0;
        }
        DWORD wait;
        do {
            wait = SleepEx(LoadRelaxed(&record->write_timeout), TRUE);
            // Another routine of this thread may end the wait first; the
            // attempt is re-issued only once its own completion has run.
        } while (wait == WAIT_IO_COMPLETION && !context.completed);

        if (wait != WAIT_IO_COMPLETION) {
            // The context and the caller's buffer stay the platform's until
            // the cancelled attempt has completed.
            CancelPendingIo(context.write_handle);
            WaitForCompletion(&context);
            SetLastError(ERROR_TIMEOUT);
            return 0;
        }
        if (context.success) return length;
    }

    // Every attempt completed without success: report the last one's error,
    // or a general failure when it transferred nothing without an error.
    DWORD bytes = 0;
    const DWORD error =
        GetOverlappedResult(context.write_handle, &context.overlapped, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    return 0;
}

PDXKIT_API PdxKitBool PDXKIT_CALL PdxKitCancelIo(PdxKitHandle handle, uint32_t pipe) {
    DeviceRecord* record = CheckHandle(handle);
    if (!record) return 0;
    HANDLE read_handle = LookupReadHandle(record, pipe);
    HANDLE write_handle = LookupWriteHandle(record, pipe);
    if (read_handle == INVALID_HANDLE_VALUE || write_handle == INVALID_HANDLE_VALUE) return 0;

    // The caller's last-error value is not ours to change, whatever CancelIo
    // does with it.
    const DWORD saved = GetLastError();
    WaitForSingleObject(record->cancel_lock, INFINITE);
    const BOOLEAN read_cancelled = CancelPendingIo(read_handle);
    const BOOLEAN write_cancelled = CancelPendingIo(write_handle);
    ReleaseMutex(record->cancel_lock);
    SetLastError(saved);
    return read_cancelled && write_cancelled;
}
