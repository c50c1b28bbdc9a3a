// Writing to a pipe and cancelling a pipe's requests.
#ifndef PDXKIT_IO_WRITE_CANCEL_H
#define PDXKIT_IO_WRITE_CANCEL_H

#include "device_table.h"

enum : uint32_t { kMaxWriteAttempts = 16 };

// Lives on the stack of one PdxKitWrite call; the control block's hEvent
// points back at it so the completion routine can find it.
struct WriteContext {
    OVERLAPPED overlapped;
    HANDLE write_handle;
    uint8_t success;    // the last completed attempt transferred bytes without error
    uint8_t completed;  // the current attempt's completion routine has run
};

VOID WINAPI WriteCompletion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);

#endif
