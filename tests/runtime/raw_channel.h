// A channel file whose device end the test drives by hand, message by
// message, to exercise the channel protocol's edge cases.
#ifndef PDX_RUNTIME_RAW_CHANNEL_H
#define PDX_RUNTIME_RAW_CHANNEL_H

#include <stddef.h>

#include <vector>

#include "pdx_runtime.h"

struct RawChannel {
    HANDLE host = INVALID_HANDLE_VALUE;
    int device = -1;
};

// Opens a host handle (kind `kind`, access `access`) over a fresh socketpair.
bool OpenRawChannel(RawChannel* ch, int kind = PDXRT_FILE_CHANNEL, DWORD access = GENERIC_READ | GENERIC_WRITE);
void CloseRawChannel(RawChannel* ch);  // whatever of the two ends is still open

bool SendReport(RawChannel* ch, const void* data, size_t len);  // 'R'
bool SendReadError(RawChannel* ch, DWORD error);                // 'E'
bool SendAck(RawChannel* ch, DWORD error, DWORD bytes);         // 'A'
// Next message from the host, waiting up to timeout_ms; empty on timeout.
std::vector<unsigned char> ReceiveMessage(RawChannel* ch, int timeout_ms = 5000);

// Completion routine recording into the calling thread's log.
struct Done {
    DWORD error;
    DWORD bytes;
    LPOVERLAPPED ov;
};
std::vector<Done>& CompletionLog(void);
VOID CALLBACK RecordCompletion(DWORD error, DWORD bytes, LPOVERLAPPED ov);
// Alertable waits until the log of this thread holds `count` entries.
void RunCompletions(size_t count);

#endif
