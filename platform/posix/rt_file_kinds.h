// Kinds of files, as the I/O engine (rt_file_io.cpp) serves them. The engine
// keeps requests, completions, cancellation and waits; what a kind's
// descriptor says and how it is spoken to is the business of the kind's
// operations, which its owner registers under the kind number its path
// handler returns (PdxRtOpenFn). Every operation but open and destroy runs
// under the file lock.
#ifndef PDX_RT_FILE_KINDS_H
#define PDX_RT_FILE_KINDS_H

#include <sys/types.h>

#include "rt_internal.h"

struct RtFileOps {
    // Bytes of the kind's state, allocated zeroed with the file object
    // (f->kind_state).
    size_t state_size;
    // The file object is made: sets up the kind's state. ERROR_SUCCESS or why not.
    DWORD (*open)(RtFile* f);
    // The file object goes: frees that state. Optional.
    void (*destroy)(RtFile* f);
    // Why a request of `req_kind` (RT_REQ_READ/WRITE) of `len` bytes cannot be
    // queued now, or ERROR_SUCCESS. The file is not closed.
    DWORD (*admit)(RtFile* f, int req_kind, DWORD len);
    // The request has just joined its FIFO in the issuing call: start what
    // may start without waiting (never blocking).
    void (*issued)(RtFile* f, RtRequest* r);
    // Moves pending requests along without blocking; the file is neither
    // closed nor disconnected.
    void (*progress)(RtFile* f);
    // poll() events that let request `r` (in `state`) move.
    short (*poll_events)(RtFile* f, RtRequest* r, int state);
    // `r` leaves its FIFO unfinished (cancelled, or its thread ended), before
    // it is taken off. Optional.
    void (*abandon)(RtFile* f, RtRequest* r);
    // The last handle is closed; pending requests have failed. Optional.
    void (*closed)(RtFile* f);
};

// Registers the operations of a kind (the table must outlive the process);
// FALSE when the number is out of range or taken by other operations.
BOOL RtRegisterFileKind(int kind, const RtFileOps* ops);
// Operations of a kind; nullptr when nobody registered it.
const RtFileOps* RtFileKindOps(int kind);
#define RT_FILE_KIND_SLOTS 8
// The kinds this runtime serves itself (PDXRT_FILE_PLAIN, PDXRT_FILE_CHANNEL).
extern const RtFileOps kRtPlainFileOps;
extern const RtFileOps kRtChannelFileOps;

// ---- engine services for the kinds (file lock held)
// Takes the request off its FIFO, publishes its result and queues its
// routine to the issuing thread.
void RtRequestComplete(RtFile* f, RtRequest* r, DWORD error, DWORD bytes);
// The device is gone: every pending and later request fails.
void RtFileDisconnect(RtFile* f);
// A placeholder behind `r` that keeps its place in the write FIFO (a
// tombstone: the engine skips it and frees it when the file fails), or
// nullptr without memory.
RtRequest* RtTombstoneAfter(RtFile* f, RtRequest* r);
void RtTombstoneDrop(RtFile* f, RtRequest* t);

// ---- the plain kind's transfer, for kinds that are plain with a twist
// One report per read() and one per write() (pread/pwrite on regular
// files), in FIFO order.
struct RtPlainStyle {
    // The device is gone, judging by a transfer's result n (errno `err`)
    // for `len` bytes asked. Optional.
    int (*gone)(ssize_t n, int err, DWORD len);
    // The error a failed transfer completes with, for its errno, where the
    // kind knows better than the runtime's mapping. Optional.
    DWORD (*error)(int err);
    // The descriptor leaves out a leading zero byte the caller expects:
    // reads go one byte into the buffer, at most one byte less, and the
    // zero is put back and counted.
    int restore_leading_zero;
};
void RtPlainProgress(RtFile* f, const RtPlainStyle* style);
short RtPlainPollEvents(RtFile* f, RtRequest* r, int state);
DWORD RtPlainAdmit(RtFile* f, int req_kind, DWORD len);

#endif
