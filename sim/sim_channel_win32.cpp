// Device channels on Windows: every interface is a message-mode named pipe,
// \\.\pipe\pdxsim-<pid>-<world>-<device>-<interface>, whose server ends this
// DLL owns. A few instances always listen; each connected instance is one
// open handle of the host. One thread services them through a completion
// port: it takes the host's writes (the inbound buffer is 0 bytes, so a host
// write completes only when this side has read it) and notices closes.
// Reports are written from the caller's thread.
//
// Open faults are pipe-name variants handed out by the detail query:
// "<path>-in" instances are inbound only (the host's GENERIC_READ opens are
// refused with ERROR_ACCESS_DENIED, GENERIC_WRITE and access 0 work), and
// "<path>-off" has no server at all (ERROR_FILE_NOT_FOUND).
#include "sim_state.h"

#include <cstdio>
#include <cstring>

namespace {

enum OpKind { OP_CONNECT, OP_READ, OP_WRITE, OP_CONTROL };
enum PipeVariant { VARIANT_DUPLEX = 0, VARIANT_INBOUND = 1, VARIANT_COUNT = 2 };

const DWORD kOutBuffer = 128 * 65;  // host's input buffering: 128 pipe-1 reports
const int kListeners = 4;           // instances kept listening per pipe name
const DWORD kReadBuffer = 4096;

struct Inst;

struct Op {
    OVERLAPPED ov;
    OpKind kind;
    Inst* inst;
    bool blocked;  // a write that did not complete at once
    DWORD len;
    uint8_t buf[kReadBuffer];
};

struct Inst {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    uint32_t generation = 0;  // of the world whose name it serves
    int device = 0;
    int iface = 0;
    int variant = VARIANT_DUPLEX;
    bool connected = false;
    bool closed = false;
    bool reading = false;
    int pending_ops = 0;
    int blocked_writes = 0;
    uint32_t open_index = 0;
};

enum ControlCode { CTRL_STOP = 1, CTRL_REFRESH = 2 };

struct Channel {
    HANDLE port = nullptr;
    std::thread thread;
    std::vector<Inst*> insts;  // every instance not yet freed
};

// Never destroyed: its thread may still run when statics are torn down.
Channel& g_channel = *new Channel();

std::string variant_path(const SimIface& f, int variant) {
    return variant == VARIANT_INBOUND ? f.path + "-in" : f.path;
}

Op* new_op(OpKind kind, Inst* inst) {
    Op* op = (Op*)calloc(1, sizeof(Op));
    op->kind = kind;
    op->inst = inst;
    if (inst) inst->pending_ops++;
    return op;
}

// Frees closed instances whose operations have all completed. Instances are
// only freed here, so a pointer stays valid until the next sweep.
void sweep_locked() {
    auto& v = g_channel.insts;
    for (size_t k = 0; k < v.size();) {
        if (v[k]->closed && v[k]->pending_ops == 0) {
            delete v[k];
            v.erase(v.begin() + (long)k);
        } else {
            k++;
        }
    }
}

void close_inst_locked(Inst* inst) {
    if (inst->closed) return;
    inst->closed = true;
    if (inst->connected) {
        DisconnectNamedPipe(inst->pipe);
        sim_open_closed_locked(inst->open_index);
    }
    CloseHandle(inst->pipe);  // pending operations complete with errors
    inst->pipe = INVALID_HANDLE_VALUE;
    inst->connected = false;
    sim_state().changed.notify_all();
}

void start_read_locked(Inst* inst) {
    SimIface* f = sim_iface_locked(inst->device, inst->iface);
    if (inst->closed || !inst->connected || inst->reading || !f || f->hold) return;
    Op* op = new_op(OP_READ, inst);
    inst->reading = true;
    if (!ReadFile(inst->pipe, op->buf, kReadBuffer, nullptr, &op->ov)) {
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING && e != ERROR_MORE_DATA) {
            // No packet will come for a request refused at once.
            inst->reading = false;
            inst->pending_ops--;
            free(op);
            close_inst_locked(inst);
        }
    }
}

void on_connected_locked(Inst* inst) {
    inst->connected = true;
    // The host's access is not visible from the server end.
    inst->open_index = sim_record_open_locked(inst->device, inst->iface, PDXSIM_ACCESS_UNKNOWN, PDXSIM_ACCESS_UNKNOWN,
                                              PDXSIM_ACCESS_UNKNOWN, true);
    start_read_locked(inst);
}

void listen_locked(int device, int iface, int variant) {
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->present) return;
    DWORD mode = (variant == VARIANT_INBOUND ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX) | FILE_FLAG_OVERLAPPED;
    HANDLE pipe =
        CreateNamedPipeA(variant_path(*f, variant).c_str(), mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                         PIPE_UNLIMITED_INSTANCES, kOutBuffer, 0, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return;
    Inst* inst = new Inst();
    inst->pipe = pipe;
    inst->generation = sim_state().generation;
    inst->device = device;
    inst->iface = iface;
    inst->variant = variant;
    g_channel.insts.push_back(inst);
    CreateIoCompletionPort(pipe, g_channel.port, 0, 0);
    Op* op = new_op(OP_CONNECT, inst);
    if (ConnectNamedPipe(pipe, &op->ov)) return;  // packet follows
    DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING) return;
    inst->pending_ops--;
    free(op);
    if (e == ERROR_PIPE_CONNECTED)
        on_connected_locked(inst);
    else
        close_inst_locked(inst);
}

// An instance of the installed world's names (device and interface numbers
// repeat from world to world).
bool current_locked(const Inst* inst) { return inst->generation == sim_state().generation; }

// Keeps kListeners instances listening on every name that should answer.
// The service thread may come round between the closing of a world's
// instances and the next world's install, and make listeners for the old
// names: they are closed here, and never count for the new names.
void refresh_listeners_locked() {
    SimState& s = sim_state();
    if (!s.installed) return;
    std::vector<Inst*> all = g_channel.insts;
    for (Inst* inst : all)
        if (!current_locked(inst) && !inst->connected) close_inst_locked(inst);
    for (int d = 0; d < s.world->device_count; d++)
        for (int i = 0; i < s.world->device[d].interface_count; i++) {
            SimIface& f = s.ifaces[d][i];
            if (!f.present) continue;
            const PdxSimInterfaceFaults& faults = s.world->device[d].iface[i].faults;
            for (int v = 0; v < VARIANT_COUNT; v++) {
                if (v == VARIANT_INBOUND && !faults.open_rw_refused) continue;
                int listening = 0;
                for (Inst* inst : g_channel.insts)
                    if (current_locked(inst) && inst->device == d && inst->iface == i && inst->variant == v &&
                        !inst->closed && !inst->connected)
                        listening++;
                while (listening++ < kListeners) listen_locked(d, i, v);
            }
        }
}

void post_control(ControlCode code) {
    if (g_channel.port) PostQueuedCompletionStatus(g_channel.port, 0, (ULONG_PTR)code, nullptr);
}

void service_loop() {
    SimState& s = sim_state();
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* ov = nullptr;
        BOOL ok = GetQueuedCompletionStatus(g_channel.port, &bytes, &key, &ov, INFINITE);
        DWORD error = ok ? 0 : GetLastError();
        if (!ov) {
            if (!ok) return;  // the port is gone
            if (key == CTRL_STOP) return;
            std::lock_guard<std::mutex> lk(s.lock);
            refresh_listeners_locked();
            std::vector<Inst*> all = g_channel.insts;
            for (Inst* inst : all) start_read_locked(inst);
            sweep_locked();
            continue;
        }
        Op* op = (Op*)ov;
        Inst* inst = op->inst;
        if (op->kind == OP_READ && (ok || error == ERROR_MORE_DATA) && bytes > 0) {
            // A host write: capture and answer it outside the lock. The host's
            // write completed when this read took it.
            uint32_t e = 0, done = 0;
            int device, iface;
            {
                std::lock_guard<std::mutex> lk(s.lock);
                device = inst->device;
                iface = inst->iface;
            }
            sim_host_write(device, iface, 0, op->buf, bytes, &e, &done);
            sim_host_answer(device, iface, op->buf, bytes, e, done);
        }
        std::lock_guard<std::mutex> lk(s.lock);
        inst->pending_ops--;
        switch (op->kind) {
        case OP_CONNECT:
            if (inst->connected) {
                // Already taken up by adopt_new_clients_locked.
            } else if (ok && !inst->closed) {
                on_connected_locked(inst);
            } else {
                close_inst_locked(inst);
            }
            refresh_listeners_locked();
            break;
        case OP_READ:
            inst->reading = false;
            if (ok || error == ERROR_MORE_DATA)
                start_read_locked(inst);
            else if (error != ERROR_OPERATION_ABORTED)
                close_inst_locked(inst);  // the host closed its handle
            break;
        case OP_WRITE:
            if (op->blocked) inst->blocked_writes--;
            if (!ok && error != ERROR_OPERATION_ABORTED) close_inst_locked(inst);
            break;
        default: break;
        }
        free(op);
        sweep_locked();
    }
}

// The connected instances of an interface.
template <class Fn>
void each_connected_locked(int device, int iface, Fn fn) {
    std::vector<Inst*> all = g_channel.insts;
    for (Inst* inst : all)
        if (current_locked(inst) && inst->device == device && inst->iface == iface && inst->connected && !inst->closed)
            fn(inst);
}

// A host's CreateFileA returns as soon as an instance is connected, before
// the service thread has seen the connection. Reports sent right after an
// open must reach that handle too, so senders take up such instances first.
void adopt_new_clients_locked(int device, int iface) {
    bool adopted = false;
    std::vector<Inst*> all = g_channel.insts;
    for (Inst* inst : all) {
        if (!current_locked(inst) || inst->device != device || inst->iface != iface || inst->connected || inst->closed)
            continue;
        if (!PeekNamedPipe(inst->pipe, nullptr, 0, nullptr, nullptr, nullptr)) continue;  // still listening
        on_connected_locked(inst);
        adopted = true;
    }
    if (adopted) refresh_listeners_locked();
}

bool host_still_there_locked(Inst* inst) {
    DWORD avail = 0;
    if (PeekNamedPipe(inst->pipe, nullptr, 0, nullptr, &avail, nullptr)) return true;
    DWORD e = GetLastError();
    return e != ERROR_BROKEN_PIPE && e != ERROR_PIPE_NOT_CONNECTED && e != ERROR_NO_DATA;
}

}  // namespace

std::string sim_channel_path(uint32_t generation, int device, int iface) {
    char buf[128];
    snprintf(buf, sizeof buf, "\\\\.\\pipe\\pdxsim-%lu-%u-%d-%d", (unsigned long)GetCurrentProcessId(),
             (unsigned)generation, device, iface);
    return buf;
}

std::string sim_channel_detail_path_locked(const SimIface& f, const PdxSimInterfaceFaults& faults) {
    // The host opens the path right after asking for it. Instances it took
    // in an earlier open are made good here, not only when the service
    // thread comes round: a host that closes and reopens at once would
    // otherwise find every instance busy while that thread is still waiting
    // for a processor.
    refresh_listeners_locked();
    if (faults.open_refused) return f.path + "-off";
    if (faults.open_rw_refused) return f.path + "-in";
    return f.path;
}

bool sim_channel_start() {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (!g_channel.port) {
        g_channel.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        if (!g_channel.port) return false;
        g_channel.thread = std::thread(service_loop);
    }
    refresh_listeners_locked();
    return true;
}

void sim_channel_stop() {
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!g_channel.port) return;
        std::vector<Inst*> all = g_channel.insts;
        for (Inst* inst : all) close_inst_locked(inst);
        sweep_locked();
        s.input_buffers.clear();
    }
    // The service thread stays: it drains the closed instances' packets and
    // serves the next world. (A thread per world would have to wait here for
    // every cancelled operation of the old one.)
}

int sim_channel_send(int device, int iface, const uint8_t* bytes, uint32_t len) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->present) return 0;
    adopt_new_clients_locked(device, iface);
    int reached = 0;
    each_connected_locked(device, iface, [&](Inst* inst) {
        if (inst->variant == VARIANT_INBOUND) return;  // nobody can read it
        if (inst->blocked_writes > 0) return;          // the host's buffer is full: drop
        Op* op = new_op(OP_WRITE, inst);
        op->len = len > kReadBuffer ? kReadBuffer : len;
        memcpy(op->buf, bytes, op->len);
        if (WriteFile(inst->pipe, op->buf, op->len, nullptr, &op->ov)) {
            reached++;
            return;
        }
        DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING) {
            op->blocked = true;
            inst->blocked_writes++;
            reached++;
            return;
        }
        inst->pending_ops--;
        free(op);
    });
    return reached;
}

int sim_channel_send_error(int device, int iface, uint32_t error) { return 0; }

void sim_channel_unplug(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    std::vector<Inst*> all = g_channel.insts;
    for (Inst* inst : all)
        if (inst->device == device && inst->iface == iface) close_inst_locked(inst);
    sweep_locked();
}

void sim_channel_plug(int device, int iface) {
    // Synchronously, so that the interface can be opened when plug returns.
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    refresh_listeners_locked();
}

uint32_t sim_channel_open_handles_locked(int device, int iface, bool read_only) {
    adopt_new_clients_locked(device, iface);
    uint32_t n = 0;
    each_connected_locked(device, iface, [&](Inst* inst) {
        if (host_still_there_locked(inst)) n++;
    });
    return n;
}

uint32_t sim_channel_release(int device, int iface, uint32_t count) {
    uint32_t held = sim_channel_held(device, iface);
    post_control(CTRL_REFRESH);  // restarts the reads of instances no longer held
    return held;
}

uint32_t sim_channel_held(int device, int iface) {
    // Host writes waiting in the pipe: instances with a message not yet read.
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    uint32_t n = 0;
    each_connected_locked(device, iface, [&](Inst* inst) {
        DWORD avail = 0;
        if (PeekNamedPipe(inst->pipe, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) n++;
    });
    return n;
}

bool sim_channel_supports_completion_faults() { return false; }

void sim_channel_faults_changed(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    refresh_listeners_locked();
}

void sim_channel_hold_changed(int device, int iface) {
    // Holding: take back the outstanding reads, so host writes stay pending.
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !f->hold) return;
    each_connected_locked(device, iface, [&](Inst* inst) {
        if (inst->reading) CancelIoEx(inst->pipe, nullptr);
    });
}

namespace {

typedef LONG(NTAPI* NtQueryObjectFn)(HANDLE, int, PVOID, ULONG, PULONG);

struct ObjectBasicInformation {
    ULONG Attributes;
    ACCESS_MASK GrantedAccess;
    ULONG HandleCount;
    ULONG PointerCount;
    ULONG Reserved[10];
};

uint32_t generic_access_of(HANDLE h) {
    static NtQueryObjectFn query =
        (NtQueryObjectFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject");
    if (!query) return PDXSIM_ACCESS_UNKNOWN;
    ObjectBasicInformation info;
    ULONG len = 0;
    if (query(h, 0, &info, sizeof info, &len) != 0) return PDXSIM_ACCESS_UNKNOWN;
    uint32_t access = 0;
    if (info.GrantedAccess & FILE_READ_DATA) access |= GENERIC_READ;
    if (info.GrantedAccess & FILE_WRITE_DATA) access |= GENERIC_WRITE;
    return access;
}

}  // namespace

bool sim_channel_lookup(HANDLE h, SimHandleInfo* out) {
    if (!h || h == INVALID_HANDLE_VALUE) return false;
    DWORD saved = GetLastError();
    union {
        FILE_NAME_INFO info;
        uint8_t raw[sizeof(FILE_NAME_INFO) + 512];
    } buf;
    BOOL ok = GetFileInformationByHandleEx(h, FileNameInfo, &buf, sizeof buf);
    SetLastError(saved);
    if (!ok) return false;
    char name[256];
    DWORD units = buf.info.FileNameLength / 2;
    if (units >= sizeof name) return false;
    for (DWORD k = 0; k < units; k++) name[k] = (char)buf.info.FileName[k];
    name[units] = 0;
    unsigned long pid = 0;
    unsigned gen = 0;
    int device = -1, iface = -1;
    if (sscanf(name, "\\pdxsim-%lu-%u-%d-%d", &pid, &gen, &device, &iface) != 4) return false;
    if (pid != GetCurrentProcessId()) return false;
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!s.installed || gen != s.generation) return false;
    }
    out->device = device;
    out->iface = iface;
    out->key = (uint64_t)(uintptr_t)h;
    out->open_index = -1;
    out->access = generic_access_of(h);
    out->gone = false;
    return true;
}

int sim_handle_fd(HANDLE h) { return -1; }

void sim_set_last_error(DWORD error) { SetLastError(error); }
