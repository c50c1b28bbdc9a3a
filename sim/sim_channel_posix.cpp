// Device channels on POSIX: every CreateFileA on a device path gets one end
// of a SOCK_SEQPACKET socketpair speaking the runtime's channel protocol; the
// simulator keeps the other end. One service thread per world (epoll) takes
// the host's writes and acknowledges them; reports are sent from the caller's
// thread.
#include "sim_channel_posix.h"
#include "sim_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Conn {
    uint64_t id = 0;
    int sim_fd = -1;
    int host_fd = -1;
    int device = 0;
    int iface = 0;
    uint32_t access = 0;
    uint32_t open_index = 0;
    bool dead = false;                      // our end closed (unplugged or host closed)
    std::deque<std::vector<uint8_t>> outq;  // acknowledgements waiting for room
};

}  // namespace

struct SimChannelIface {
    std::vector<Conn*> conns;
};

namespace {

struct Channel {
    int epoll_fd = -1;
    int wake_fd = -1;
    bool stopping = false;
    std::thread thread;
    uint64_t next_id = 1;
    std::map<uint64_t, Conn*> by_id;
    // Host descriptor -> connection, including connections whose device went
    // away, so that HID queries on such a handle report the device gone.
    std::map<int, Conn*> by_host_fd;
    // Our ends of killed connections: only the service thread closes them,
    // since it may be in recv on one outside the lock; closing elsewhere
    // would let a new socketpair take the number under its feet.
    std::vector<int> to_close;
};

// Never destroyed: its thread may still run when statics are torn down.
Channel& g_channel = *new Channel();
const uint64_t kWakeId = 0;

SimChannelIface* chan_locked(int device, int iface) {
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return nullptr;
    if (!f->channel) f->channel = new SimChannelIface();
    return f->channel;
}

bool host_closed(const Conn* c) {
    if (c->dead) return true;
    struct pollfd p = {c->sim_fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

// Closes our end (the host sees ERROR_DEVICE_NOT_CONNECTED) and takes the
// connection out of its interface. The host-descriptor entry stays until a
// new open reuses the descriptor.
bool on_service_thread() { return std::this_thread::get_id() == g_channel.thread.get_id(); }

void close_queued_locked() {
    for (int fd : g_channel.to_close) close(fd);
    g_channel.to_close.clear();
}

void kill_conn_locked(Conn* c) {
    if (c->dead) return;
    epoll_ctl(g_channel.epoll_fd, EPOLL_CTL_DEL, c->sim_fd, nullptr);
    // The host sees the end at once; the number stays ours until closed.
    shutdown(c->sim_fd, SHUT_RDWR);
    if (on_service_thread() || !g_channel.thread.joinable()) {
        close(c->sim_fd);
    } else {
        g_channel.to_close.push_back(c->sim_fd);
        uint64_t one = 1;
        ssize_t r = write(g_channel.wake_fd, &one, sizeof one);
        (void)r;
    }
    c->sim_fd = -1;
    c->dead = true;
    c->outq.clear();
    g_channel.by_id.erase(c->id);
    if (SimIface* f = sim_iface_locked(c->device, c->iface)) {
        if (f->channel) {
            auto& v = f->channel->conns;
            for (size_t k = 0; k < v.size(); k++)
                if (v[k] == c) {
                    v.erase(v.begin() + (long)k);
                    break;
                }
        }
    }
    sim_open_closed_locked(c->open_index);
}

// Deletes a connection with what the HID queries recorded for its handle.
void delete_conn_locked(Conn* c) {
    sim_state().input_buffers.erase(c->id);
    delete c;
}

void send_control_locked(Conn* c, const uint8_t* msg, size_t len) {
    if (c->dead) return;
    if (c->outq.empty()) {
        ssize_t n = send(c->sim_fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == (ssize_t)len) return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // host gone
    }
    c->outq.emplace_back(msg, msg + len);
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
    ev.data.u64 = c->id;
    epoll_ctl(g_channel.epoll_fd, EPOLL_CTL_MOD, c->sim_fd, &ev);
}

void send_ack_locked(Conn* c, uint32_t error, uint32_t bytes) {
    uint8_t msg[9];
    msg[0] = PDXRT_MSG_WRITE_ACK;
    memcpy(msg + 1, &error, 4);
    memcpy(msg + 5, &bytes, 4);
    send_control_locked(c, msg, sizeof msg);
}

void flush_locked(Conn* c) {
    while (!c->dead && !c->outq.empty()) {
        std::vector<uint8_t>& m = c->outq.front();
        ssize_t n = send(c->sim_fd, m.data(), m.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        c->outq.pop_front();
    }
    if (c->dead) return;
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = c->id;
    epoll_ctl(g_channel.epoll_fd, EPOLL_CTL_MOD, c->sim_fd, &ev);
}

// Reads the host's messages of one connection; false when the host is gone.
bool drain(uint64_t id) {
    SimState& s = sim_state();
    uint8_t buf[4096];
    for (;;) {
        int fd;
        int device, iface;
        {
            std::lock_guard<std::mutex> lk(s.lock);
            auto it = g_channel.by_id.find(id);
            if (it == g_channel.by_id.end()) return true;
            fd = it->second->sim_fd;
            device = it->second->device;
            iface = it->second->iface;
        }
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        if (buf[0] != PDXRT_MSG_WRITE) continue;
        uint32_t error = 0, bytes = 0;
        int ack = sim_host_write(device, iface, id, buf + 1, (uint32_t)(n - 1), &error, &bytes);
        bool gone;
        {
            std::lock_guard<std::mutex> lk(s.lock);
            auto it = g_channel.by_id.find(id);
            gone = it == g_channel.by_id.end();
            if (!gone && ack) send_ack_locked(it->second, error, bytes);
        }
        sim_host_answer(device, iface, buf + 1, (uint32_t)(n - 1), error, bytes);
        if (gone) return true;
    }
}

void service_loop() {
    SimState& s = sim_state();
    struct epoll_event events[64];
    for (;;) {
        int n = epoll_wait(g_channel.epoll_fd, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int k = 0; k < n; k++) {
            uint64_t id = events[k].data.u64;
            if (id == kWakeId) {
                uint64_t v;
                ssize_t r = read(g_channel.wake_fd, &v, sizeof v);
                (void)r;
                std::lock_guard<std::mutex> lk(s.lock);
                close_queued_locked();
                if (g_channel.stopping) return;
                continue;
            }
            bool alive = true;
            if (events[k].events & EPOLLIN) alive = drain(id);
            std::lock_guard<std::mutex> lk(s.lock);
            auto it = g_channel.by_id.find(id);
            if (it == g_channel.by_id.end()) continue;
            Conn* c = it->second;
            if (alive && (events[k].events & EPOLLOUT)) flush_locked(c);
            if (!alive || (events[k].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR))) {
                // Messages still queued were read above; the host closed
                // its handle, so its descriptor no longer names this one.
                kill_conn_locked(c);
                auto h = g_channel.by_host_fd.find(c->host_fd);
                if (h != g_channel.by_host_fd.end() && h->second == c) g_channel.by_host_fd.erase(h);
                delete_conn_locked(c);
                s.changed.notify_all();
            }
        }
    }
}

void kill_iface_locked(int device, int iface) {
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->channel) return;
    std::vector<Conn*> conns = f->channel->conns;
    for (Conn* c : conns) kill_conn_locked(c);
    f->held.clear();
}

}  // namespace

int sim_posix_open(void* ctx, const char* path, DWORD access, DWORD share, DWORD flags, int* kind, DWORD* write_length,
                   DWORD* error) {
    *write_length = 0;  // the channel captures writes as they come, of any length
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    int device = 0, iface = 0;
    uint32_t err = 0;
    int index = sim_decide_open_locked(path, access, share, flags, &device, &iface, &err);
    if (index < 0 || g_channel.epoll_fd < 0) {
        *error = index < 0 ? err : ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return -1;
    }
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    Conn* c = new Conn();
    c->id = g_channel.next_id++;
    c->sim_fd = sv[0];
    c->host_fd = sv[1];
    c->device = device;
    c->iface = iface;
    c->access = access;
    c->open_index = (uint32_t)index;
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = c->id;
    epoll_ctl(g_channel.epoll_fd, EPOLL_CTL_ADD, c->sim_fd, &ev);
    g_channel.by_id[c->id] = c;
    auto old = g_channel.by_host_fd.find(c->host_fd);
    if (old != g_channel.by_host_fd.end()) {
        // The descriptor was closed by the host and reused: forget the old one.
        Conn* o = old->second;
        if (!o->dead) kill_conn_locked(o);
        delete_conn_locked(o);
    }
    g_channel.by_host_fd[c->host_fd] = c;
    chan_locked(device, iface)->conns.push_back(c);
    s.changed.notify_all();
    *kind = PDXRT_FILE_CHANNEL;
    (void)ctx;
    return c->host_fd;
}

std::string sim_channel_path(uint32_t generation, int device, int iface) {
    SimState& s = sim_state();
    const PdxSimDeviceDesc& d = s.world->device[device];
    char buf[160];
    snprintf(buf, sizeof buf, "%svid_%04x&pid_%04x&mi_%02d#%u&%d&%d#{4d1e55b2-f16f-11cf-88cb-001111000030}",
             SIM_POSIX_PATH_PREFIX, d.vendor_id, d.product_id, iface, generation, device, iface);
    return buf;
}

std::string sim_channel_detail_path_locked(const SimIface& f, const PdxSimInterfaceFaults& faults) { return f.path; }

bool sim_channel_start() {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (g_channel.thread.joinable()) return true;
    g_channel.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    g_channel.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_channel.epoll_fd < 0 || g_channel.wake_fd < 0) return false;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    epoll_ctl(g_channel.epoll_fd, EPOLL_CTL_ADD, g_channel.wake_fd, &ev);
    g_channel.stopping = false;
    g_channel.thread = std::thread(service_loop);
    return true;
}

void sim_channel_stop() {
    SimState& s = sim_state();
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!g_channel.thread.joinable()) return;
        g_channel.stopping = true;
        uint64_t one = 1;
        ssize_t r = write(g_channel.wake_fd, &one, sizeof one);
        (void)r;
        t = std::move(g_channel.thread);
    }
    t.join();
    std::lock_guard<std::mutex> lk(s.lock);
    std::vector<Conn*> all;
    for (auto& kv : g_channel.by_id) all.push_back(kv.second);
    for (Conn* c : all) kill_conn_locked(c);
    close_queued_locked();
    for (auto& kv : g_channel.by_host_fd) delete kv.second;
    g_channel.by_host_fd.clear();
    for (int d = 0; d < PDXSIM_MAX_DEVICES; d++)
        for (int i = 0; i < PDXSIM_MAX_INTERFACES; i++) {
            SimIface& f = s.ifaces[d][i];
            if (f.channel) f.channel->conns.clear();
            f.held.clear();
        }
    close(g_channel.epoll_fd);
    close(g_channel.wake_fd);
    g_channel.epoll_fd = g_channel.wake_fd = -1;
    s.input_buffers.clear();
}

static int send_to_readers(int device, int iface, const uint8_t* msg, size_t len) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->present || !f->channel) return 0;
    int reached = 0;
    for (Conn* c : f->channel->conns) {
        if (c->dead || !(c->access & GENERIC_READ)) continue;
        if (send(c->sim_fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)len) reached++;
    }
    return reached;
}

int sim_channel_send(int device, int iface, const uint8_t* bytes, uint32_t len) {
    uint8_t msg[1 + PDXSIM_MAX_REPORT];
    msg[0] = PDXRT_MSG_REPORT;
    if (len > PDXSIM_MAX_REPORT) len = PDXSIM_MAX_REPORT;
    if (len) memcpy(msg + 1, bytes, len);
    return send_to_readers(device, iface, msg, 1 + len);
}

int sim_channel_send_error(int device, int iface, uint32_t error) {
    uint8_t msg[5];
    msg[0] = PDXRT_MSG_READ_ERROR;
    memcpy(msg + 1, &error, 4);
    return send_to_readers(device, iface, msg, sizeof msg);
}

void sim_channel_unplug(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    kill_iface_locked(device, iface);
    s.changed.notify_all();
}

void sim_channel_plug(int device, int iface) {}

uint32_t sim_channel_open_handles_locked(int device, int iface, bool read_only) {
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->channel) return 0;
    uint32_t n = 0;
    for (Conn* c : f->channel->conns) {
        if (host_closed(c)) {
            // Seen here before the service thread gets to it: record it now,
            // so that what a caller reads after this count agrees with it.
            sim_open_closed_locked(c->open_index);
            continue;
        }
        if (!read_only || (c->access & GENERIC_READ)) n++;
    }
    return n;
}

uint32_t sim_channel_release(int device, int iface, uint32_t count) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return 0;
    uint32_t released = 0;
    while (!f->held.empty() && (count == 0 || released < count)) {
        SimIface::HeldAck h = f->held.front();
        f->held.pop_front();
        auto it = g_channel.by_id.find(h.conn);
        if (it == g_channel.by_id.end()) continue;
        send_ack_locked(it->second, h.error, h.bytes);
        released++;
    }
    return released;
}

uint32_t sim_channel_held(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    return f ? (uint32_t)f->held.size() : 0;
}

bool sim_channel_supports_completion_faults() { return true; }
void sim_channel_faults_changed(int device, int iface) {}
void sim_channel_hold_changed(int device, int iface) {}

bool sim_channel_lookup(HANDLE h, SimHandleInfo* out) {
    int fd = sim_handle_fd(h);
    if (fd < 0) return false;
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    auto it = g_channel.by_host_fd.find(fd);
    if (it == g_channel.by_host_fd.end()) return false;
    Conn* c = it->second;
    out->device = c->device;
    out->iface = c->iface;
    out->key = c->id;
    out->open_index = c->open_index;
    out->access = c->access;
    out->gone = c->dead;
    return true;
}
