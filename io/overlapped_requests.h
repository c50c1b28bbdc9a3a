// Small routines for overlapped requests, shared by the reader thread, reads,
// writes and cancellation.
#ifndef PDXKIT_IO_OVERLAPPED_REQUESTS_H
#define PDXKIT_IO_OVERLAPPED_REQUESTS_H

#include "pdx_win32.h"

// Completion routine that does nothing: its running ends an alertable wait.
VOID WINAPI NullCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);

// Cancels the calling thread's requests on the handle through kernel32's
// CancelIo, looked up afresh; false when it cannot be found.
BOOLEAN CancelPendingIo(HANDLE file);

// Whether an overlapped request is still in progress.
bool RequestPending(const OVERLAPPED* overlapped);
// Cancels this thread's requests on the file and returns once the given one
// has completed and its routine has run (its control block and buffer are
// free again).
void CancelAndWaitForCompletion(HANDLE file, const OVERLAPPED* overlapped);

#endif
