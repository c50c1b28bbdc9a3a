// The reader thread of pipe 0, and the small I/O routines shared by reads,
// writes and cancellation.
#ifndef PDXKIT_IO_READER_THREAD_H
#define PDXKIT_IO_READER_THREAD_H

#include "device_table.h"

enum : DWORD {
    kReaderWaitStep = 250,
    // Failed reads in a row after which the reader pauses one wait step
    // before each further read.
    kFailuresBeforePause = 16
};

// Thread routine; parameter: the device record. Ends through ExitThread(0).
DWORD WINAPI ReaderThread(LPVOID device);

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
