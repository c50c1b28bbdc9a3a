// Plain files (PDXRT_FILE_PLAIN): one report per read() and one per write()
// on the descriptor, or a regular file read and written at the offsets of
// the requests' OVERLAPPED, as Windows does.
#include <errno.h>

#include "rt_file_kinds.h"
#include "rt_syscalls.h"

static off_t OffsetOf(RtRequest* r) { return (off_t)(r->ov->Offset | ((uint64_t)r->ov->OffsetHigh << 32)); }

// A file may return less than asked before its end, as POSIX allows; a
// Windows read stops only there.
static ssize_t ReadRegular(RtFile* f, RtRequest* r) {
    off_t at = OffsetOf(r);
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

static DWORD TransferError(const RtPlainStyle* style, int err) {
    return style->error ? style->error(err) : RtErrorFromErrno(err);
}

void RtPlainProgress(RtFile* f, const RtPlainStyle* style) {
    while (f->reads) {
        RtRequest* r = f->reads;
        int skip = style->restore_leading_zero && r->len > 0;
        ssize_t n;
        do {
            if (f->is_regular)
                n = ReadRegular(f, r);
            else
                n = RT_SYS(read)(f->fd, r->buf + skip, r->len - skip);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (style->gone && style->gone(n, errno, r->len - skip)) {
            RtFileDisconnect(f);
            return;
        }
        if (n >= 0 && skip) {
            r->buf[0] = 0;
            n++;
        }
        if (n < 0)
            RtRequestComplete(f, r, TransferError(style, errno), 0);
        else if (n == 0 && r->len > 0)
            RtRequestComplete(f, r, ERROR_HANDLE_EOF, 0);
        else
            RtRequestComplete(f, r, ERROR_SUCCESS, (DWORD)n);
    }
    while (f->writes) {
        RtRequest* w = f->writes;
        ssize_t n = 0;
        if (w->done < w->len) {
            do {
                if (f->is_regular)
                    n = RT_SYS(pwrite)(f->fd, w->buf + w->done, w->len - w->done, OffsetOf(w) + (off_t)w->done);
                else
                    n = RT_SYS(write)(f->fd, w->buf + w->done, w->len - w->done);
            } while (n < 0 && errno == EINTR);
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (style->gone && style->gone(n, errno, 0)) {
            RtFileDisconnect(f);
            return;
        }
        if (n < 0) {
            RtRequestComplete(f, w, TransferError(style, errno), w->done);
            continue;
        }
        w->done += (DWORD)n;
        if (w->done >= w->len) RtRequestComplete(f, w, ERROR_SUCCESS, w->len);
    }
}

short RtPlainPollEvents(RtFile*, RtRequest* r, int) { return r->kind == RT_REQ_READ ? POLLIN : POLLOUT; }

DWORD RtPlainAdmit(RtFile* f, int, DWORD) { return f->disconnected ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS; }

static const RtPlainStyle kPlain = {nullptr, nullptr, 0};

static DWORD Open(RtFile*) { return ERROR_SUCCESS; }

static void Progress(RtFile* f) { RtPlainProgress(f, &kPlain); }

// A write goes out at once; a read is left to the issuer's next wait.
static void Issued(RtFile* f, RtRequest* r) {
    if (r->kind == RT_REQ_WRITE) Progress(f);
}

const RtFileOps kRtPlainFileOps = {0,       Open,   nullptr, RtPlainAdmit, Issued, Progress, RtPlainPollEvents,
                                   nullptr, nullptr};
