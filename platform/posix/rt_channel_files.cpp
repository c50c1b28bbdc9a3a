// Channel files (PDXRT_FILE_CHANNEL): the tagged SOCK_SEQPACKET protocol of
// pdx_runtime.h, spoken over the descriptor a device end hands out.
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

#include "rt_file_kinds.h"
#include "rt_syscalls.h"

#define RT_SCRATCH_SIZE (4096 + 16)
#define RT_STASH_SLOTS 64

struct RtStashMsg {
    unsigned char* data;
    size_t len;
    size_t cap;
};

struct RtChannel {
    unsigned char* scratch;  // receive buffer
    size_t scratch_cap;
    RtStashMsg* stash;  // device messages that came while no read was pending
    unsigned stash_head;
    unsigned stash_count;
};

static RtChannel* ChannelOf(RtFile* f) { return (RtChannel*)f->kind_state; }

static DWORD GetDword(const unsigned char* p) {
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

// Delivers one device message ('R' or 'E') to read `r`.
static void DeliverToRead(RtFile* f, RtRequest* r, const unsigned char* msg, size_t n) {
    if (msg[0] == PDXRT_MSG_REPORT) {
        size_t len = n - 1 < r->len ? n - 1 : r->len;
        if (len) memcpy(r->buf, msg + 1, len);
        RtRequestComplete(f, r, ERROR_SUCCESS, (DWORD)len);
    } else {
        RtRequestComplete(f, r, GetDword(msg + 1), 0);
    }
}

static void StashPush(RtChannel* c, const unsigned char* msg, size_t n) {
    if (!c->stash) {
        c->stash = (RtStashMsg*)RT_SYS(calloc)(RT_STASH_SLOTS, sizeof(RtStashMsg));
        if (!c->stash) return;
    }
    if (c->stash_count == RT_STASH_SLOTS) {  // full: the oldest goes, as in a HID buffer
        c->stash_head = (c->stash_head + 1) % RT_STASH_SLOTS;
        c->stash_count--;
    }
    RtStashMsg* m = &c->stash[(c->stash_head + c->stash_count) % RT_STASH_SLOTS];
    if (m->cap < n) {
        unsigned char* data = (unsigned char*)RT_SYS(realloc)(m->data, n);
        if (!data) return;
        m->data = data;
        m->cap = n;
    }
    memcpy(m->data, msg, n);
    m->len = n;
    c->stash_count++;
}

static void StashPopInto(RtFile* f, RtRequest* r) {
    RtChannel* c = ChannelOf(f);
    RtStashMsg* m = &c->stash[c->stash_head];
    c->stash_head = (c->stash_head + 1) % RT_STASH_SLOTS;
    c->stash_count--;
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
            StashPush(ChannelOf(f), msg, n);
        return;
    case PDXRT_MSG_WRITE_ACK: {
        RtRequest* w = f->writes;
        if (n < 9 || !w || w->state != RT_REQ_SENT) return;  // malformed or unexpected
        if (w->tomb) {
            RtTombstoneDrop(f, w);
            return;
        }
        DWORD bytes = GetDword(msg + 5);
        RtRequestComplete(f, w, GetDword(msg + 1), bytes < w->len ? bytes : w->len);
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
                RtFileDisconnect(f);
                return 0;
            }
            RtRequestComplete(f, w, err, 0);
        } else {
            RT_ATOMIC_STORE(&w->state, (int)RT_REQ_SENT);
        }
        w = next;
    }
    return 1;
}

static void Progress(RtFile* f) {
    RtChannel* c = ChannelOf(f);
    for (;;) {
        if (!SendWrites(f)) return;
        if (!f->reads && !HasSentWrite(f)) return;
        ssize_t n = RT_SYS(recv)(f->fd, c->scratch, c->scratch_cap, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            RtFileDisconnect(f);
            return;
        }
        if (n == 0) {  // every message has a tag byte: 0 is the end of the channel
            RtFileDisconnect(f);
            return;
        }
        Dispatch(f, c->scratch, (size_t)n);
    }
}

static DWORD Open(RtFile* f) {
    RtChannel* c = ChannelOf(f);
    c->scratch = (unsigned char*)RT_SYS(malloc)(RT_SCRATCH_SIZE);
    if (!c->scratch) return ERROR_NOT_ENOUGH_MEMORY;
    c->scratch_cap = RT_SCRATCH_SIZE;
    return ERROR_SUCCESS;
}

static void Destroy(RtFile* f) {
    RtChannel* c = ChannelOf(f);
    if (c->stash) {
        for (unsigned i = 0; i < RT_STASH_SLOTS; i++) free(c->stash[i].data);
        free(c->stash);
    }
    free(c->scratch);
}

// Kept messages still feed reads after the device end has gone.
static DWORD Admit(RtFile* f, int req_kind, DWORD len) {
    RtChannel* c = ChannelOf(f);
    if (f->disconnected && !(req_kind == RT_REQ_READ && c->stash_count > 0)) return ERROR_DEVICE_NOT_CONNECTED;
    if (req_kind == RT_REQ_READ && len >= c->scratch_cap) {
        // Reports longer than the receive buffer: grow it once for this size.
        unsigned char* scratch = (unsigned char*)RT_SYS(realloc)(c->scratch, (size_t)len + 16);
        if (!scratch) return ERROR_NOT_ENOUGH_MEMORY;
        c->scratch = scratch;
        c->scratch_cap = (size_t)len + 16;
    }
    return ERROR_SUCCESS;
}

// A read takes a kept message at once, but leaves the descriptor to the
// issuer's next alertable wait, which polls it before sleeping: a receive
// tried here fails whenever the reader keeps up, since it issues its next
// read right after the last one completed. A write goes out at once; its
// acknowledgement is likewise left to the wait, as it cannot have come yet.
static void Issued(RtFile* f, RtRequest* r) {
    if (r->kind == RT_REQ_READ) {
        if (ChannelOf(f)->stash_count > 0 && f->reads == r) StashPopInto(f, r);
    } else {
        SendWrites(f);
    }
}

static short PollEvents(RtFile* f, RtRequest* r, int state) {
    if (r->kind == RT_REQ_READ) return POLLIN;
    return state == RT_REQ_SENT ? POLLIN : POLLOUT;
}

// A write whose 'W' is out still gets an 'A' from the device: keep its
// place in the FIFO so that the 'A' does not complete a later write.
static void Abandon(RtFile* f, RtRequest* r) {
    if (r->kind != RT_REQ_WRITE || r->state != RT_REQ_SENT || f->disconnected || f->closed) return;
    RtRequest* t = RtTombstoneAfter(f, r);
    if (t) t->state = RT_REQ_SENT;
}

// Shut down at once so the device sees the end even while the file object
// waits for the routines of its requests.
static void Closed(RtFile* f) { shutdown(f->fd, SHUT_RDWR); }

const RtFileOps kRtChannelFileOps = {sizeof(RtChannel), Open,       Destroy, Admit, Issued,
                                     Progress,          PollEvents, Abandon, Closed};
