// Overlapped I/O with completion routines. A request is queued on its
// file's FIFO (reads and writes apart) and on its issuing thread's
// outstanding list. Whoever polls the file's descriptor (the issuer in an
// alertable wait, GetOverlappedResult, or the issuing call's immediate
// attempt) progresses the oldest requests under the file lock, never
// blocking there, and queues each completion to the issuing thread, whose
// next alertable wait runs the routine. Request records are recycled
// through a per-thread free list, so the steady state allocates nothing.
// How a file's descriptor is spoken to is up to its kind (rt_file_kinds.h).
#include <stdlib.h>
#include <string.h>

#include "rt_file_kinds.h"
#include "rt_syscalls.h"

#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009D)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_CRC_ERROR ((NTSTATUS)0xC000003F)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_PIPE_BROKEN ((NTSTATUS)0xC000014B)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0)
// Errors without a status of their own travel as customer-defined statuses.
#define RT_STATUS_CUSTOM 0xE0000000u

static const struct {
    DWORD error;
    NTSTATUS status;
} kStatusMap[] = {
    {ERROR_SUCCESS, STATUS_SUCCESS},
    {ERROR_OPERATION_ABORTED, STATUS_CANCELLED},
    {ERROR_HANDLE_EOF, STATUS_END_OF_FILE},
    {ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL},
    {ERROR_ACCESS_DENIED, STATUS_ACCESS_DENIED},
    {ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    {ERROR_NOT_ENOUGH_MEMORY, STATUS_NO_MEMORY},
    {ERROR_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED},
    {ERROR_INVALID_HANDLE, STATUS_INVALID_HANDLE},
    {ERROR_CRC, STATUS_CRC_ERROR},
    {ERROR_SEM_TIMEOUT, STATUS_IO_TIMEOUT},
    {ERROR_MORE_DATA, STATUS_BUFFER_OVERFLOW},
    {ERROR_BROKEN_PIPE, STATUS_PIPE_BROKEN},
    {ERROR_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
    {ERROR_INVALID_USER_BUFFER, STATUS_INVALID_USER_BUFFER},
    {ERROR_DEV_NOT_EXIST, STATUS_DEVICE_DOES_NOT_EXIST},
};

NTSTATUS RtStatusFromError(DWORD error) {
    for (size_t i = 0; i < sizeof(kStatusMap) / sizeof(kStatusMap[0]); i++)
        if (kStatusMap[i].error == error) return kStatusMap[i].status;
    return (NTSTATUS)(RT_STATUS_CUSTOM | (error & 0xFFFFu));
}

DWORD RtErrorFromStatus(NTSTATUS status) {
    for (size_t i = 0; i < sizeof(kStatusMap) / sizeof(kStatusMap[0]); i++)
        if (kStatusMap[i].status == status) return kStatusMap[i].error;
    if (((uint32_t)status & 0xFFFF0000u) == RT_STATUS_CUSTOM) return (uint32_t)status & 0xFFFFu;
    return ERROR_GEN_FAILURE;
}

static NTSTATUS OvStatus(OVERLAPPED* ov) {
    return (NTSTATUS)(uint32_t)__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
}

// ---- request records -------------------------------------------------------

static RtRequest* ReqAlloc(RtThreadState* ts) {
    RtRequest* r = ts->free_requests;
    if (r)
        ts->free_requests = r->thread_next;
    else
        r = (RtRequest*)RT_SYS(malloc)(sizeof(*r));
    if (r) memset(r, 0, sizeof(*r));
    return r;
}

static void ReqGiveBack(RtThreadState* ts, RtRequest* r) {
    r->thread_next = ts->free_requests;
    ts->free_requests = r;
}

static void OutstandingAdd(RtThreadState* ts, RtRequest* r) {
    r->thread_prev = nullptr;
    r->thread_next = ts->outstanding;
    if (ts->outstanding) ts->outstanding->thread_prev = r;
    ts->outstanding = r;
}

static void OutstandingRemove(RtThreadState* ts, RtRequest* r) {
    if (r->thread_prev)
        r->thread_prev->thread_next = r->thread_next;
    else
        ts->outstanding = r->thread_next;
    if (r->thread_next) r->thread_next->thread_prev = r->thread_prev;
    r->thread_next = r->thread_prev = nullptr;
}

static RtRequest** ListHead(RtFile* f, RtRequest* r) { return r->kind == RT_REQ_READ ? &f->reads : &f->writes; }
static RtRequest** ListTail(RtFile* f, RtRequest* r) {
    return r->kind == RT_REQ_READ ? &f->reads_tail : &f->writes_tail;
}

static void ListAppend(RtFile* f, RtRequest* r) {
    RtRequest** head = ListHead(f, r);
    RtRequest** tail = ListTail(f, r);
    r->file_next = nullptr;
    r->file_prev = *tail;
    if (*tail)
        (*tail)->file_next = r;
    else
        *head = r;
    *tail = r;
}

static void ListInsertAfter(RtFile* f, RtRequest* at, RtRequest* r) {
    RtRequest** tail = ListTail(f, at);
    r->file_prev = at;
    r->file_next = at->file_next;
    if (at->file_next)
        at->file_next->file_prev = r;
    else
        *tail = r;
    at->file_next = r;
}

static void ListRemove(RtFile* f, RtRequest* r) {
    RtRequest** head = ListHead(f, r);
    RtRequest** tail = ListTail(f, r);
    if (r->file_prev)
        r->file_prev->file_next = r->file_next;
    else
        *head = r->file_next;
    if (r->file_next)
        r->file_next->file_prev = r->file_prev;
    else
        *tail = r->file_prev;
    r->file_next = r->file_prev = nullptr;
}

// File lock held. Takes the request off the file, publishes the result in
// its OVERLAPPED and queues the routine to the issuing thread.
void RtRequestComplete(RtFile* f, RtRequest* r, DWORD error, DWORD bytes) {
    ListRemove(f, r);
    r->error = error;
    r->bytes = bytes;
    r->ov->InternalHigh = bytes;
    __atomic_store_n(&r->ov->Internal, (ULONG_PTR)(uint32_t)RtStatusFromError(error), __ATOMIC_RELEASE);
    RT_ATOMIC_STORE(&r->state, (int)RT_REQ_DONE);
    RT_COUNT(pending_io, -1);
    r->apc.kind = RT_APC_REQUEST;
    RtQueueApc(r->ts, &r->apc);  // the issuer is alive: it removes its requests under this lock before it ends
}

RtRequest* RtTombstoneAfter(RtFile* f, RtRequest* r) {
    RtRequest* t = (RtRequest*)RT_SYS(calloc)(1, sizeof(*t));
    if (!t) return nullptr;
    t->kind = r->kind;
    t->tomb = 1;
    ListInsertAfter(f, r, t);
    return t;
}

void RtTombstoneDrop(RtFile* f, RtRequest* t) {
    ListRemove(f, t);
    free(t);
}

// Completes every request (tombstones just go) with `error`.
static void FailAll(RtFile* f, DWORD error) {
    for (int pass = 0; pass < 2; pass++) {
        RtRequest** head = pass == 0 ? &f->reads : &f->writes;
        while (*head) {
            if ((*head)->tomb)
                RtTombstoneDrop(f, *head);
            else
                RtRequestComplete(f, *head, error, 0);
        }
    }
}

void RtFileDisconnect(RtFile* f) {
    f->disconnected = 1;
    FailAll(f, ERROR_DEVICE_NOT_CONNECTED);
}

// A pending request leaves unfinished: its kind may keep its place.
static void Abandon(RtFile* f, RtRequest* r) {
    if (f->ops->abandon) f->ops->abandon(f, r);
}

// File lock held.
static void ProgressLocked(RtFile* f) {
    if (f->closed || f->disconnected) return;
    f->ops->progress(f);
}

void RtFileProgress(RtFile* f) {
    RtLock(&f->base);
    ProgressLocked(f);
    RtUnlock(&f->base);
}

// ---- issuing ---------------------------------------------------------------------

static BOOL Issue(HANDLE hFile, int kind, void* buf, DWORD len, LPOVERLAPPED ov,
                  LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    RtFile* f = (RtFile*)RtHandleGet(hFile, RT_FILE);
    if (!f) return FALSE;
    DWORD need = kind == RT_REQ_READ ? GENERIC_READ : GENERIC_WRITE;
    DWORD error = ERROR_SUCCESS;
    // A file that takes writes of one length only (a HID interface's output
    // report) refuses any other.
    const bool wrong_write_length = kind == RT_REQ_WRITE && f->write_length && len != f->write_length;
    if (!ov || (!buf && len > 0) || wrong_write_length)
        error = ERROR_INVALID_PARAMETER;
    else if (!(f->access & need))
        error = ERROR_ACCESS_DENIED;
    RtThreadState* ts = RtSelf();
    RtRequest* r = nullptr;
    if (!error) error = RtThreadStatePrepareIo(ts);
    if (!error) {
        r = ReqAlloc(ts);
        if (!r) error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error) {
        RtObjectRelease(&f->base);
        RtSetError(error);
        return FALSE;
    }
    r->kind = kind;
    r->state = RT_REQ_QUEUED;
    r->file = f;  // keeps the reference taken above
    r->ts = ts;
    r->ov = ov;
    r->buf = (unsigned char*)buf;
    r->len = len;
    r->routine = routine;

    RtLock(&f->base);
    error = f->closed ? ERROR_INVALID_HANDLE : f->ops->admit(f, kind, len);
    if (error) {
        RtUnlock(&f->base);
        ReqGiveBack(ts, r);
        RtObjectRelease(&f->base);
        RtSetError(error);
        return FALSE;
    }
    ov->InternalHigh = 0;
    __atomic_store_n(&ov->Internal, (ULONG_PTR)(uint32_t)STATUS_PENDING, __ATOMIC_RELEASE);
    OutstandingAdd(ts, r);
    ListAppend(f, r);
    RT_COUNT(pending_io, 1);
    // Whatever the kind starts here, the routine runs only in the issuer's
    // next alertable wait.
    f->ops->issued(f, r);
    RtUnlock(&f->base);
    return TRUE;
}

extern "C" BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                                  LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    if (!RtCallEnter(PDXRT_ReadFileEx, nullptr)) return FALSE;
    return Issue(hFile, RT_REQ_READ, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine);
}

extern "C" BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                   LPOVERLAPPED lpOverlapped, LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    if (!RtCallEnter(PDXRT_WriteFileEx, nullptr)) return FALSE;
    return Issue(hFile, RT_REQ_WRITE, (void*)lpBuffer, nNumberOfBytesToWrite, lpOverlapped, lpCompletionRoutine);
}

// ---- completion side -------------------------------------------------------------

// Runs in the issuing thread during an alertable wait. The record goes back
// to the free list before the routine runs, so the routine may issue the
// next request with it.
void RtRequestRun(RtThreadState* ts, RtRequest* r) {
    OutstandingRemove(ts, r);
    LPOVERLAPPED_COMPLETION_ROUTINE routine = r->routine;
    DWORD error = r->error;
    DWORD bytes = r->bytes;
    OVERLAPPED* ov = r->ov;
    RtFile* f = r->file;
    ReqGiveBack(ts, r);
    RtObjectRelease(&f->base);
    if (routine) routine(error, bytes, ov);
}

void RtRequestDiscard(RtThreadState* ts, RtRequest* r) {
    OutstandingRemove(ts, r);
    RtFile* f = r->file;
    ReqGiveBack(ts, r);
    RtObjectRelease(&f->base);
}

// The thread is ending: its pending requests are cancelled and dropped
// without their routines; their OVERLAPPED and buffers are not touched.
void RtThreadEndRequests(RtThreadState* ts) {
    RtRequest* r = ts->outstanding;
    while (r) {
        RtRequest* next = r->thread_next;
        RtFile* f = r->file;
        RtLock(&f->base);
        int dropped = 0;
        if (r->state != RT_REQ_DONE) {
            Abandon(f, r);
            ListRemove(f, r);
            r->state = RT_REQ_DONE;
            RT_COUNT(pending_io, -1);
            dropped = 1;
        }
        RtUnlock(&f->base);
        if (dropped) RtRequestDiscard(ts, r);
        r = next;
    }
}

static short PollEvents(RtFile* f, RtRequest* r, int state) { return f->ops->poll_events(f, r, state); }

size_t RtThreadPollFiles(RtThreadState* ts, size_t first) {
    size_t n = first;
    for (RtRequest* r = ts->outstanding; r; r = r->thread_next) {
        int state = RT_ATOMIC_LOAD(&r->state);
        if (state == RT_REQ_DONE) continue;
        short events = PollEvents(r->file, r, state);
        size_t i = first;
        while (i < n && ts->pfd_files[i] != r->file) i++;
        if (i < n) {
            ts->pfds[i].events |= events;
            continue;
        }
        if (n == ts->pfd_cap) {
            size_t cap = ts->pfd_cap * 2;
            struct pollfd* pfds = (struct pollfd*)RT_SYS(realloc)(ts->pfds, cap * sizeof(*pfds));
            if (!pfds) break;
            ts->pfds = pfds;
            RtFile** files = (RtFile**)RT_SYS(realloc)(ts->pfd_files, cap * sizeof(*files));
            if (!files) break;
            ts->pfd_files = files;
            ts->pfd_cap = cap;
        }
        ts->pfds[n].fd = r->file->fd;
        ts->pfds[n].events = events;
        ts->pfds[n].revents = 0;
        ts->pfd_files[n] = r->file;
        n++;
    }
    return n;
}

static RtRequest* FindRequest(RtFile* f, OVERLAPPED* ov) {
    for (RtRequest* r = f->reads; r; r = r->file_next)
        if (r->ov == ov) return r;
    for (RtRequest* r = f->writes; r; r = r->file_next)
        if (!r->tomb && r->ov == ov) return r;
    return nullptr;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                           BOOL bWait) {
    if (!RtCallEnter(PDXRT_GetOverlappedResult, nullptr)) return FALSE;
    RtFile* f = (RtFile*)RtHandleGet(hFile, RT_FILE);
    if (!f) return FALSE;
    if (!lpOverlapped) {
        RtObjectRelease(&f->base);
        RtSetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RtThreadState* ts = RtSelf();
    int progressed = 0;
    for (;;) {
        NTSTATUS status = OvStatus(lpOverlapped);
        if (status != STATUS_PENDING) {
            RtObjectRelease(&f->base);
            if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
            if (status == STATUS_SUCCESS) return TRUE;
            RtSetError(RtErrorFromStatus(status));
            return FALSE;
        }
        // Not yet: move the file along ourselves (it may complete now).
        RtLock(&f->base);
        if (!progressed || bWait) ProgressLocked(f);
        progressed = 1;
        RtRequest* r = FindRequest(f, lpOverlapped);
        short events = 0;
        int mine = 0;
        if (r) {
            events = PollEvents(f, r, r->state);
            mine = r->ts == ts;
        }
        RtUnlock(&f->base);
        if (OvStatus(lpOverlapped) != STATUS_PENDING) continue;
        if (!r) {
            // Never issued on this handle, or dropped with its thread.
            RtObjectRelease(&f->base);
            RtSetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!bWait) {
            RtObjectRelease(&f->base);
            RtSetError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Not alertable: routines stay queued. Our own requests wake us
        // through our wake-up descriptor when another thread completes them; for a
        // request of another thread nobody does, so look again every 10 ms.
        int previous = RtPollSleepBegin(ts);
        if (OvStatus(lpOverlapped) != STATUS_PENDING) {
            RtPollSleepEnd(ts, previous);
            continue;
        }
        struct pollfd pfd[2];
        pfd[0].fd = f->fd;
        pfd[0].events = events;
        pfd[0].revents = 0;
        pfd[1].fd = ts->wake_fd;
        pfd[1].events = POLLIN;
        pfd[1].revents = 0;
        int rc = RT_SYS(poll)(pfd, 2, mine ? -1 : 10);
        RtPollSleepEnd(ts, previous);
        if (rc > 0 && pfd[1].revents) RtDrainWake(ts);
    }
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    if (!RtCallEnter(PDXRT_CancelIo, nullptr)) return FALSE;
    RtFile* f = (RtFile*)RtHandleGet(hFile, RT_FILE);
    if (!f) return FALSE;
    RtThreadState* ts = RtSelf();
    RtLock(&f->base);
    for (int pass = 0; pass < 2; pass++) {
        RtRequest* r = pass == 0 ? f->reads : f->writes;
        while (r) {
            RtRequest* next = r->file_next;
            if (!r->tomb && r->ts == ts) {
                Abandon(f, r);
                next = r->file_next;  // the tombstone, if any, is skipped below
                if (next && next->tomb) next = next->file_next;
                RtRequestComplete(f, r, ERROR_OPERATION_ABORTED, 0);
            }
            r = next;
        }
    }
    RtUnlock(&f->base);
    RtObjectRelease(&f->base);
    return TRUE;
}

// The handle is closed: pending requests complete with
// ERROR_OPERATION_ABORTED (their routines still run in their threads), and
// the kind learns at once (a channel tells its device end).
void RtFileClose(RtFile* f) {
    RtLock(&f->base);
    f->closed = 1;
    FailAll(f, ERROR_OPERATION_ABORTED);
    if (f->ops->closed) f->ops->closed(f);
    RtUnlock(&f->base);
}
