// Overlapped I/O with completion routines. A request is queued on its
// file's FIFO (reads and writes apart) and on its issuing thread's
// outstanding list. Whoever polls the file's descriptor (the issuer in an
// alertable wait, GetOverlappedResult, or the issuing call's immediate
// attempt) progresses the oldest requests under the file lock, never
// blocking there, and queues each completion to the issuing thread, whose
// next alertable wait runs the routine. Request records are recycled
// through a per-thread free list, so the steady state allocates nothing.
//
// Channel files speak the tagged SOCK_SEQPACKET protocol of pdx_runtime.h.
// Device messages that arrive while the handle has no read pending (a write
// handle waiting for its 'A' also receives reports) are kept in a small
// stash that drops its oldest message when full, like a HID input buffer,
// and feed later reads first. A cancelled write whose 'W' was already sent
// leaves a tombstone in the write FIFO that swallows its 'A'.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "rt_internal.h"
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
static void Complete(RtFile* f, RtRequest* r, DWORD error, DWORD bytes) {
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

// A channel write whose 'W' is out still gets an 'A' from the device: keep
// its place in the FIFO so that the 'A' does not complete a later write.
static void LeaveTombstone(RtFile* f, RtRequest* r) {
    if (f->kind != PDXRT_FILE_CHANNEL || r->kind != RT_REQ_WRITE || r->state != RT_REQ_SENT || f->disconnected ||
        f->closed)
        return;
    RtRequest* t = (RtRequest*)RT_SYS(calloc)(1, sizeof(*t));
    if (!t) return;
    t->kind = RT_REQ_WRITE;
    t->state = RT_REQ_SENT;
    t->tomb = 1;
    ListInsertAfter(f, r, t);
}

static void DropTombstone(RtFile* f, RtRequest* t) {
    ListRemove(f, t);
    free(t);
}

// Completes every request (tombstones just go) with `error`.
static void FailAll(RtFile* f, DWORD error) {
    while (f->reads) Complete(f, f->reads, error, 0);
    while (f->writes) {
        if (f->writes->tomb)
            DropTombstone(f, f->writes);
        else
            Complete(f, f->writes, error, 0);
    }
}

static void Disconnect(RtFile* f) {
    f->disconnected = 1;
    FailAll(f, ERROR_DEVICE_NOT_CONNECTED);
}

// ---- channel protocol --------------------------------------------------------

static DWORD GetDword(const unsigned char* p) {
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

// Delivers one device message ('R' or 'E') to read `r`.
static void DeliverToRead(RtFile* f, RtRequest* r, const unsigned char* msg, size_t n) {
    if (msg[0] == PDXRT_MSG_REPORT) {
        size_t len = n - 1 < r->len ? n - 1 : r->len;
        if (len) memcpy(r->buf, msg + 1, len);
        Complete(f, r, ERROR_SUCCESS, (DWORD)len);
    } else {
        Complete(f, r, GetDword(msg + 1), 0);
    }
}

static void StashPush(RtFile* f, const unsigned char* msg, size_t n) {
    if (!f->stash) {
        f->stash = (RtStashMsg*)RT_SYS(calloc)(RT_STASH_SLOTS, sizeof(RtStashMsg));
        if (!f->stash) return;
    }
    if (f->stash_count == RT_STASH_SLOTS) {  // full: the oldest goes, as in a HID buffer
        f->stash_head = (f->stash_head + 1) % RT_STASH_SLOTS;
        f->stash_count--;
    }
    RtStashMsg* m = &f->stash[(f->stash_head + f->stash_count) % RT_STASH_SLOTS];
    if (m->cap < n) {
        unsigned char* data = (unsigned char*)RT_SYS(realloc)(m->data, n);
        if (!data) return;
        m->data = data;
        m->cap = n;
    }
    memcpy(m->data, msg, n);
    m->len = n;
    f->stash_count++;
}

static void StashPopInto(RtFile* f, RtRequest* r) {
    RtStashMsg* m = &f->stash[f->stash_head];
    f->stash_head = (f->stash_head + 1) % RT_STASH_SLOTS;
    f->stash_count--;
    DeliverToRead(f, r, m->data, m->len);
}

static void Dispatch(RtFile* f, const unsigned char* msg, size_t n) {
    switch (msg[0]) {
    case PDXRT_MSG_REPORT:
    case PDXRT_MSG_READ_ERROR:
        if (msg[0] == PDXRT_MSG_READ_ERROR && n < 5) return;  // malformed
        if (f->reads)
            DeliverToRead(f, f->reads, msg, n);
        else
            StashPush(f, msg, n);
        return;
    case PDXRT_MSG_WRITE_ACK: {
        RtRequest* w = f->writes;
        if (n < 9 || !w || w->state != RT_REQ_SENT) return;  // malformed or unexpected
        if (w->tomb) {
            DropTombstone(f, w);
            return;
        }
        DWORD bytes = GetDword(msg + 5);
        Complete(f, w, GetDword(msg + 1), bytes < w->len ? bytes : w->len);
        return;
    }
    default: return;
    }
}

static int SendWrite(RtFile* f, RtRequest* w) {
    unsigned char tag = PDXRT_MSG_WRITE;
    struct iovec iov[2] = {{&tag, 1}, {w->buf, w->len}};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = w->len ? 2 : 1;
    ssize_t n;
    do {
        n = RT_SYS(sendmsg)(f->fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : 1;
}

static int HasSentWrite(RtFile* f) { return f->writes && f->writes->state == RT_REQ_SENT; }

// Sends the 'W' messages not sent yet, in FIFO order behind those already
// sent; false when the channel turned out to be gone.
static int SendWrites(RtFile* f) {
    RtRequest* w = f->writes;
    while (w && w->state == RT_REQ_SENT) w = w->file_next;
    while (w) {
        int rc = SendWrite(f, w);
        if (rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -ENOBUFS) break;
        RtRequest* next = w->file_next;
        if (rc < 0) {
            DWORD err = RtErrorFromErrno(-rc);
            if (err == ERROR_DEVICE_NOT_CONNECTED) {
                Disconnect(f);
                return 0;
            }
            Complete(f, w, err, 0);
        } else {
            RT_ATOMIC_STORE(&w->state, (int)RT_REQ_SENT);
        }
        w = next;
    }
    return 1;
}

static void ProgressChannel(RtFile* f) {
    for (;;) {
        if (!SendWrites(f)) return;
        if (!f->reads && !HasSentWrite(f)) return;
        ssize_t n = RT_SYS(recv)(f->fd, f->scratch, f->scratch_cap, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            Disconnect(f);
            return;
        }
        if (n == 0) {  // every message has a tag byte: 0 is the end of the channel
            Disconnect(f);
            return;
        }
        Dispatch(f, f->scratch, (size_t)n);
    }
}

// hidraw: EIO and ENODEV (and a read of nothing) say the device is gone.
static int HidrawGone(RtFile* f, ssize_t n, int err, DWORD len) {
    if (f->kind != PDXRT_FILE_HIDRAW && f->kind != PDXRT_FILE_HIDRAW_UNNUMBERED) return 0;
    return (n < 0 && (err == EIO || err == ENODEV)) || (n == 0 && len > 0);
}

// A file may return less than asked before its end, as POSIX allows; a
// Windows read stops only there.
static ssize_t ReadRegular(RtFile* f, RtRequest* r) {
    off_t at = (off_t)(r->ov->Offset | ((uint64_t)r->ov->OffsetHigh << 32));
    size_t total = 0;
    while (total < r->len) {
        ssize_t n = RT_SYS(pread)(f->fd, r->buf + total, r->len - total, at + (off_t)total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && total == 0) return n;
        if (n <= 0) break;
        total += (size_t)n;
    }
    return (ssize_t)total;
}

static void ProgressPlain(RtFile* f) {
    while (f->reads) {
        RtRequest* r = f->reads;
        // A device without report ids: hidraw leaves the id byte out.
        int id_byte = f->kind == PDXRT_FILE_HIDRAW_UNNUMBERED && r->len > 0;
        ssize_t n;
        do {
            if (f->is_regular)
                n = ReadRegular(f, r);
            else
                n = RT_SYS(read)(f->fd, r->buf + id_byte, r->len - id_byte);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (HidrawGone(f, n, errno, r->len - id_byte)) {
            Disconnect(f);
            return;
        }
        if (n >= 0 && id_byte) {
            r->buf[0] = 0;
            n++;
        }
        if (n < 0)
            Complete(f, r, RtErrorFromErrno(errno), 0);
        else if (n == 0 && r->len > 0)
            Complete(f, r, ERROR_HANDLE_EOF, 0);
        else
            Complete(f, r, ERROR_SUCCESS, (DWORD)n);
    }
    while (f->writes) {
        RtRequest* w = f->writes;
        ssize_t n = 0;
        if (w->done < w->len) {
            do {
                if (f->is_regular)
                    n = RT_SYS(pwrite)(f->fd, w->buf + w->done, w->len - w->done,
                                       (off_t)((w->ov->Offset | ((uint64_t)w->ov->OffsetHigh << 32)) + w->done));
                else
                    n = RT_SYS(write)(f->fd, w->buf + w->done, w->len - w->done);
            } while (n < 0 && errno == EINTR);
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (HidrawGone(f, n, errno, 0)) {
            Disconnect(f);
            return;
        }
        if (n < 0) {
            Complete(f, w, RtErrorFromErrno(errno), w->done);
            continue;
        }
        w->done += (DWORD)n;
        if (w->done >= w->len) Complete(f, w, ERROR_SUCCESS, w->len);
    }
}

// File lock held.
static void ProgressLocked(RtFile* f) {
    if (f->closed || f->disconnected) return;
    if (f->kind == PDXRT_FILE_CHANNEL)
        ProgressChannel(f);
    else
        ProgressPlain(f);
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
    if (!ov || (!buf && len > 0))
        error = ERROR_INVALID_PARAMETER;
    else if (kind == RT_REQ_WRITE && f->write_length && len != f->write_length)
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
    if (f->closed)
        error = ERROR_INVALID_HANDLE;
    else if (f->disconnected && !(kind == RT_REQ_READ && f->stash_count > 0))
        error = ERROR_DEVICE_NOT_CONNECTED;
    else if (f->kind == PDXRT_FILE_CHANNEL && kind == RT_REQ_READ && len >= f->scratch_cap) {
        // Reports longer than the receive buffer: grow it once for this size.
        unsigned char* scratch = (unsigned char*)RT_SYS(realloc)(f->scratch, (size_t)len + 16);
        if (scratch) {
            f->scratch = scratch;
            f->scratch_cap = (size_t)len + 16;
        } else {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
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
    // A read takes a kept message at once, but leaves the descriptor to the
    // issuer's next alertable wait, which polls it before sleeping: a receive
    // tried here fails whenever the reader keeps up, since it issues its next
    // read right after the last one completed. A write goes out at once; a
    // channel's acknowledgement is likewise left to the wait, as it cannot
    // have come yet. Either way the routine runs only in that wait.
    if (kind == RT_REQ_READ) {
        if (f->stash_count > 0 && f->reads == r) StashPopInto(f, r);
    } else if (f->kind == PDXRT_FILE_CHANNEL) {
        SendWrites(f);
    } else {
        ProgressLocked(f);
    }
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
            LeaveTombstone(f, r);
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

static short PollEvents(RtFile* f, RtRequest* r, int state) {
    if (r->kind == RT_REQ_READ) return POLLIN;
    if (f->kind == PDXRT_FILE_CHANNEL) return state == RT_REQ_SENT ? POLLIN : POLLOUT;
    return POLLOUT;
}

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
        // through our eventfd when another thread completes them; for a
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
                LeaveTombstone(f, r);
                next = r->file_next;  // the tombstone, if any, is skipped below
                if (next && next->tomb) next = next->file_next;
                Complete(f, r, ERROR_OPERATION_ABORTED, 0);
            }
            r = next;
        }
    }
    RtUnlock(&f->base);
    RtObjectRelease(&f->base);
    return TRUE;
}

// The handle is closed: pending requests complete with
// ERROR_OPERATION_ABORTED (their routines still run in their threads), and a
// channel is shut down at once so the device sees the end even while the
// file object waits for those routines.
void RtFileClose(RtFile* f) {
    RtLock(&f->base);
    f->closed = 1;
    FailAll(f, ERROR_OPERATION_ABORTED);
    if (f->kind == PDXRT_FILE_CHANNEL) shutdown(f->fd, SHUT_RDWR);
    RtUnlock(&f->base);
}
