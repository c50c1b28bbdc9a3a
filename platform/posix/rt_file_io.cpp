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
} g_status_map[] = {
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

NTSTATUS rt_status_from_error(DWORD error) {
    for (size_t i = 0; i < sizeof(g_status_map) / sizeof(g_status_map[0]); i++)
        if (g_status_map[i].error == error) return g_status_map[i].status;
    return (NTSTATUS)(RT_STATUS_CUSTOM | (error & 0xFFFFu));
}

DWORD rt_error_from_status(NTSTATUS status) {
    for (size_t i = 0; i < sizeof(g_status_map) / sizeof(g_status_map[0]); i++)
        if (g_status_map[i].status == status) return g_status_map[i].error;
    if (((uint32_t)status & 0xFFFF0000u) == RT_STATUS_CUSTOM) return (uint32_t)status & 0xFFFFu;
    return ERROR_GEN_FAILURE;
}

static NTSTATUS ov_status(OVERLAPPED* ov) {
    return (NTSTATUS)(uint32_t)__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
}

// ---- request records -------------------------------------------------------

static RtRequest* req_alloc(RtThreadState* ts) {
    RtRequest* r = ts->free_requests;
    if (r)
        ts->free_requests = r->thread_next;
    else
        r = (RtRequest*)RT_SYS(malloc)(sizeof(*r));
    if (r) memset(r, 0, sizeof(*r));
    return r;
}

static void req_give_back(RtThreadState* ts, RtRequest* r) {
    r->thread_next = ts->free_requests;
    ts->free_requests = r;
}

static void outstanding_add(RtThreadState* ts, RtRequest* r) {
    r->thread_prev = nullptr;
    r->thread_next = ts->outstanding;
    if (ts->outstanding) ts->outstanding->thread_prev = r;
    ts->outstanding = r;
}

static void outstanding_remove(RtThreadState* ts, RtRequest* r) {
    if (r->thread_prev)
        r->thread_prev->thread_next = r->thread_next;
    else
        ts->outstanding = r->thread_next;
    if (r->thread_next) r->thread_next->thread_prev = r->thread_prev;
    r->thread_next = r->thread_prev = nullptr;
}

static RtRequest** list_head(RtFile* f, RtRequest* r) { return r->kind == RT_REQ_READ ? &f->reads : &f->writes; }
static RtRequest** list_tail(RtFile* f, RtRequest* r) {
    return r->kind == RT_REQ_READ ? &f->reads_tail : &f->writes_tail;
}

static void list_append(RtFile* f, RtRequest* r) {
    RtRequest** head = list_head(f, r);
    RtRequest** tail = list_tail(f, r);
    r->file_next = nullptr;
    r->file_prev = *tail;
    if (*tail)
        (*tail)->file_next = r;
    else
        *head = r;
    *tail = r;
}

static void list_insert_after(RtFile* f, RtRequest* at, RtRequest* r) {
    RtRequest** tail = list_tail(f, at);
    r->file_prev = at;
    r->file_next = at->file_next;
    if (at->file_next)
        at->file_next->file_prev = r;
    else
        *tail = r;
    at->file_next = r;
}

static void list_remove(RtFile* f, RtRequest* r) {
    RtRequest** head = list_head(f, r);
    RtRequest** tail = list_tail(f, r);
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
static void complete(RtFile* f, RtRequest* r, DWORD error, DWORD bytes) {
    list_remove(f, r);
    r->error = error;
    r->bytes = bytes;
    r->ov->InternalHigh = bytes;
    __atomic_store_n(&r->ov->Internal, (ULONG_PTR)(uint32_t)rt_status_from_error(error), __ATOMIC_RELEASE);
    RT_ATOMIC_STORE(&r->state, (int)RT_REQ_DONE);
    RT_COUNT(pending_io, -1);
    r->apc.kind = RT_APC_REQUEST;
    rt_queue_apc(r->ts, &r->apc);  // the issuer is alive: it removes its requests under this lock before it ends
}

// A channel write whose 'W' is out still gets an 'A' from the device: keep
// its place in the FIFO so that the 'A' does not complete a later write.
static void leave_tombstone(RtFile* f, RtRequest* r) {
    if (f->kind != PDXRT_FILE_CHANNEL || r->kind != RT_REQ_WRITE || r->state != RT_REQ_SENT || f->disconnected ||
        f->closed)
        return;
    RtRequest* t = (RtRequest*)RT_SYS(calloc)(1, sizeof(*t));
    if (!t) return;
    t->kind = RT_REQ_WRITE;
    t->state = RT_REQ_SENT;
    t->tomb = 1;
    list_insert_after(f, r, t);
}

static void drop_tombstone(RtFile* f, RtRequest* t) {
    list_remove(f, t);
    free(t);
}

// Completes every request (tombstones just go) with `error`.
static void fail_all(RtFile* f, DWORD error) {
    while (f->reads) complete(f, f->reads, error, 0);
    while (f->writes) {
        if (f->writes->tomb)
            drop_tombstone(f, f->writes);
        else
            complete(f, f->writes, error, 0);
    }
}

static void disconnect(RtFile* f) {
    f->disconnected = 1;
    fail_all(f, ERROR_DEVICE_NOT_CONNECTED);
}

// ---- channel protocol --------------------------------------------------------

static DWORD get_dword(const unsigned char* p) {
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

// Delivers one device message ('R' or 'E') to read `r`.
static void deliver_to_read(RtFile* f, RtRequest* r, const unsigned char* msg, size_t n) {
    if (msg[0] == PDXRT_MSG_REPORT) {
        size_t len = n - 1 < r->len ? n - 1 : r->len;
        if (len) memcpy(r->buf, msg + 1, len);
        complete(f, r, ERROR_SUCCESS, (DWORD)len);
    } else {
        complete(f, r, get_dword(msg + 1), 0);
    }
}

static void stash_push(RtFile* f, const unsigned char* msg, size_t n) {
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

static void stash_pop_into(RtFile* f, RtRequest* r) {
    RtStashMsg* m = &f->stash[f->stash_head];
    f->stash_head = (f->stash_head + 1) % RT_STASH_SLOTS;
    f->stash_count--;
    deliver_to_read(f, r, m->data, m->len);
}

static void dispatch(RtFile* f, const unsigned char* msg, size_t n) {
    switch (msg[0]) {
    case PDXRT_MSG_REPORT:
    case PDXRT_MSG_READ_ERROR:
        if (msg[0] == PDXRT_MSG_READ_ERROR && n < 5) return;  // malformed
        if (f->reads)
            deliver_to_read(f, f->reads, msg, n);
        else
            stash_push(f, msg, n);
        return;
    case PDXRT_MSG_WRITE_ACK: {
        RtRequest* w = f->writes;
        if (n < 9 || !w || w->state != RT_REQ_SENT) return;  // malformed or unexpected
        if (w->tomb) {
            drop_tombstone(f, w);
            return;
        }
        DWORD bytes = get_dword(msg + 5);
        complete(f, w, get_dword(msg + 1), bytes < w->len ? bytes : w->len);
        return;
    }
    default: return;
    }
}

static int send_write(RtFile* f, RtRequest* w) {
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

static int has_sent_write(RtFile* f) { return f->writes && f->writes->state == RT_REQ_SENT; }

// Sends the 'W' messages not sent yet, in FIFO order behind those already
// sent; false when the channel turned out to be gone.
static int send_writes(RtFile* f) {
    RtRequest* w = f->writes;
    while (w && w->state == RT_REQ_SENT) w = w->file_next;
    while (w) {
        int rc = send_write(f, w);
        if (rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -ENOBUFS) break;
        RtRequest* next = w->file_next;
        if (rc < 0) {
            DWORD err = rt_error_from_errno(-rc);
            if (err == ERROR_DEVICE_NOT_CONNECTED) {
                disconnect(f);
                return 0;
            }
            complete(f, w, err, 0);
        } else {
            RT_ATOMIC_STORE(&w->state, (int)RT_REQ_SENT);
        }
        w = next;
    }
    return 1;
}

static void progress_channel(RtFile* f) {
    for (;;) {
        if (!send_writes(f)) return;
        if (!f->reads && !has_sent_write(f)) return;
        ssize_t n = RT_SYS(recv)(f->fd, f->scratch, f->scratch_cap, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            disconnect(f);
            return;
        }
        if (n == 0) {  // every message has a tag byte: 0 is the end of the channel
            disconnect(f);
            return;
        }
        dispatch(f, f->scratch, (size_t)n);
    }
}

// hidraw: EIO and ENODEV (and a read of nothing) say the device is gone.
static int hidraw_gone(RtFile* f, ssize_t n, int err, DWORD len) {
    if (f->kind != PDXRT_FILE_HIDRAW && f->kind != PDXRT_FILE_HIDRAW_UNNUMBERED) return 0;
    return (n < 0 && (err == EIO || err == ENODEV)) || (n == 0 && len > 0);
}

// A file may return less than asked before its end, as POSIX allows; a
// Windows read stops only there.
static ssize_t read_regular(RtFile* f, RtRequest* r) {
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

static void progress_plain(RtFile* f) {
    while (f->reads) {
        RtRequest* r = f->reads;
        // A device without report ids: hidraw leaves the id byte out.
        int id_byte = f->kind == PDXRT_FILE_HIDRAW_UNNUMBERED && r->len > 0;
        ssize_t n;
        do {
            if (f->is_regular)
                n = read_regular(f, r);
            else
                n = RT_SYS(read)(f->fd, r->buf + id_byte, r->len - id_byte);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (hidraw_gone(f, n, errno, r->len - id_byte)) {
            disconnect(f);
            return;
        }
        if (n >= 0 && id_byte) {
            r->buf[0] = 0;
            n++;
        }
        if (n < 0)
            complete(f, r, rt_error_from_errno(errno), 0);
        else if (n == 0 && r->len > 0)
            complete(f, r, ERROR_HANDLE_EOF, 0);
        else
            complete(f, r, ERROR_SUCCESS, (DWORD)n);
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
        if (hidraw_gone(f, n, errno, 0)) {
            disconnect(f);
            return;
        }
        if (n < 0) {
            complete(f, w, rt_error_from_errno(errno), w->done);
            continue;
        }
        w->done += (DWORD)n;
        if (w->done >= w->len) complete(f, w, ERROR_SUCCESS, w->len);
    }
}

// File lock held.
static void progress_locked(RtFile* f) {
    if (f->closed || f->disconnected) return;
    if (f->kind == PDXRT_FILE_CHANNEL)
        progress_channel(f);
    else
        progress_plain(f);
}

void rt_file_progress(RtFile* f) {
    rt_lock(&f->base);
    progress_locked(f);
    rt_unlock(&f->base);
}

// ---- issuing ---------------------------------------------------------------------

static BOOL issue(HANDLE hFile, int kind, void* buf, DWORD len, LPOVERLAPPED ov,
                  LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    RtFile* f = (RtFile*)rt_handle_get(hFile, RT_FILE);
    if (!f) return FALSE;
    DWORD need = kind == RT_REQ_READ ? GENERIC_READ : GENERIC_WRITE;
    DWORD error = ERROR_SUCCESS;
    if (!ov || (!buf && len > 0))
        error = ERROR_INVALID_PARAMETER;
    else if (kind == RT_REQ_WRITE && f->write_length && len != f->write_length)
        error = ERROR_INVALID_PARAMETER;
    else if (!(f->access & need))
        error = ERROR_ACCESS_DENIED;
    RtThreadState* ts = rt_self();
    RtRequest* r = nullptr;
    if (!error) error = rt_thread_state_prepare_io(ts);
    if (!error) {
        r = req_alloc(ts);
        if (!r) error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error) {
        rt_object_release(&f->base);
        rt_set_error(error);
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

    rt_lock(&f->base);
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
        rt_unlock(&f->base);
        req_give_back(ts, r);
        rt_object_release(&f->base);
        rt_set_error(error);
        return FALSE;
    }
    ov->InternalHigh = 0;
    __atomic_store_n(&ov->Internal, (ULONG_PTR)(uint32_t)STATUS_PENDING, __ATOMIC_RELEASE);
    outstanding_add(ts, r);
    list_append(f, r);
    RT_COUNT(pending_io, 1);
    // A read takes a kept message at once, but leaves the descriptor to the
    // issuer's next alertable wait, which polls it before sleeping: a receive
    // tried here fails whenever the reader keeps up, since it issues its next
    // read right after the last one completed. A write goes out at once; a
    // channel's acknowledgement is likewise left to the wait, as it cannot
    // have come yet. Either way the routine runs only in that wait.
    if (kind == RT_REQ_READ) {
        if (f->stash_count > 0 && f->reads == r) stash_pop_into(f, r);
    } else if (f->kind == PDXRT_FILE_CHANNEL) {
        send_writes(f);
    } else {
        progress_locked(f);
    }
    rt_unlock(&f->base);
    return TRUE;
}

extern "C" BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                                  LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    if (!rt_call_enter(PDXRT_ReadFileEx, nullptr)) return FALSE;
    return issue(hFile, RT_REQ_READ, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine);
}

extern "C" BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                   LPOVERLAPPED lpOverlapped, LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    if (!rt_call_enter(PDXRT_WriteFileEx, nullptr)) return FALSE;
    return issue(hFile, RT_REQ_WRITE, (void*)lpBuffer, nNumberOfBytesToWrite, lpOverlapped, lpCompletionRoutine);
}

// ---- completion side -------------------------------------------------------------

// Runs in the issuing thread during an alertable wait. The record goes back
// to the free list before the routine runs, so the routine may issue the
// next request with it.
void rt_request_run(RtThreadState* ts, RtRequest* r) {
    outstanding_remove(ts, r);
    LPOVERLAPPED_COMPLETION_ROUTINE routine = r->routine;
    DWORD error = r->error;
    DWORD bytes = r->bytes;
    OVERLAPPED* ov = r->ov;
    RtFile* f = r->file;
    req_give_back(ts, r);
    rt_object_release(&f->base);
    if (routine) routine(error, bytes, ov);
}

void rt_request_discard(RtThreadState* ts, RtRequest* r) {
    outstanding_remove(ts, r);
    RtFile* f = r->file;
    req_give_back(ts, r);
    rt_object_release(&f->base);
}

// The thread is ending: its pending requests are cancelled and dropped
// without their routines; their OVERLAPPED and buffers are not touched.
void rt_thread_end_requests(RtThreadState* ts) {
    RtRequest* r = ts->outstanding;
    while (r) {
        RtRequest* next = r->thread_next;
        RtFile* f = r->file;
        rt_lock(&f->base);
        int dropped = 0;
        if (r->state != RT_REQ_DONE) {
            leave_tombstone(f, r);
            list_remove(f, r);
            r->state = RT_REQ_DONE;
            RT_COUNT(pending_io, -1);
            dropped = 1;
        }
        rt_unlock(&f->base);
        if (dropped) rt_request_discard(ts, r);
        r = next;
    }
}

static short poll_events(RtFile* f, RtRequest* r, int state) {
    if (r->kind == RT_REQ_READ) return POLLIN;
    if (f->kind == PDXRT_FILE_CHANNEL) return state == RT_REQ_SENT ? POLLIN : POLLOUT;
    return POLLOUT;
}

size_t rt_thread_poll_files(RtThreadState* ts, size_t first) {
    size_t n = first;
    for (RtRequest* r = ts->outstanding; r; r = r->thread_next) {
        int state = RT_ATOMIC_LOAD(&r->state);
        if (state == RT_REQ_DONE) continue;
        short events = poll_events(r->file, r, state);
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

static RtRequest* find_request(RtFile* f, OVERLAPPED* ov) {
    for (RtRequest* r = f->reads; r; r = r->file_next)
        if (r->ov == ov) return r;
    for (RtRequest* r = f->writes; r; r = r->file_next)
        if (!r->tomb && r->ov == ov) return r;
    return nullptr;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                           BOOL bWait) {
    if (!rt_call_enter(PDXRT_GetOverlappedResult, nullptr)) return FALSE;
    RtFile* f = (RtFile*)rt_handle_get(hFile, RT_FILE);
    if (!f) return FALSE;
    if (!lpOverlapped) {
        rt_object_release(&f->base);
        rt_set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    RtThreadState* ts = rt_self();
    int progressed = 0;
    for (;;) {
        NTSTATUS status = ov_status(lpOverlapped);
        if (status != STATUS_PENDING) {
            rt_object_release(&f->base);
            if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
            if (status == STATUS_SUCCESS) return TRUE;
            rt_set_error(rt_error_from_status(status));
            return FALSE;
        }
        // Not yet: move the file along ourselves (it may complete now).
        rt_lock(&f->base);
        if (!progressed || bWait) progress_locked(f);
        progressed = 1;
        RtRequest* r = find_request(f, lpOverlapped);
        short events = 0;
        int mine = 0;
        if (r) {
            events = poll_events(f, r, r->state);
            mine = r->ts == ts;
        }
        rt_unlock(&f->base);
        if (ov_status(lpOverlapped) != STATUS_PENDING) continue;
        if (!r) {
            // Never issued on this handle, or dropped with its thread.
            rt_object_release(&f->base);
            rt_set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!bWait) {
            rt_object_release(&f->base);
            rt_set_error(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Not alertable: routines stay queued. Our own requests wake us
        // through our eventfd when another thread completes them; for a
        // request of another thread nobody does, so look again every 10 ms.
        int previous = rt_poll_sleep_begin(ts);
        if (ov_status(lpOverlapped) != STATUS_PENDING) {
            rt_poll_sleep_end(ts, previous);
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
        rt_poll_sleep_end(ts, previous);
        if (rc > 0 && pfd[1].revents) rt_drain_wake(ts);
    }
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    if (!rt_call_enter(PDXRT_CancelIo, nullptr)) return FALSE;
    RtFile* f = (RtFile*)rt_handle_get(hFile, RT_FILE);
    if (!f) return FALSE;
    RtThreadState* ts = rt_self();
    rt_lock(&f->base);
    for (int pass = 0; pass < 2; pass++) {
        RtRequest* r = pass == 0 ? f->reads : f->writes;
        while (r) {
            RtRequest* next = r->file_next;
            if (!r->tomb && r->ts == ts) {
                leave_tombstone(f, r);
                next = r->file_next;  // the tombstone, if any, is skipped below
                if (next && next->tomb) next = next->file_next;
                complete(f, r, ERROR_OPERATION_ABORTED, 0);
            }
            r = next;
        }
    }
    rt_unlock(&f->base);
    rt_object_release(&f->base);
    return TRUE;
}

// The handle is closed: pending requests complete with
// ERROR_OPERATION_ABORTED (their routines still run in their threads), and a
// channel is shut down at once so the device sees the end even while the
// file object waits for those routines.
void rt_file_close(RtFile* f) {
    rt_lock(&f->base);
    f->closed = 1;
    fail_all(f, ERROR_OPERATION_ABORTED);
    if (f->kind == PDXRT_FILE_CHANNEL) shutdown(f->fd, SHUT_RDWR);
    rt_unlock(&f->base);
}
