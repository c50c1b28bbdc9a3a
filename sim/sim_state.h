// Internal state of the simulator: one world per process, guarded by one
// mutex. The HID-stack side (sim_hidstack.cpp), the device channels
// (sim_channel_*.cpp), the chip model (sim_chip.cpp) and the public API
// (sim_world.cpp) all work on this.
#ifndef PDXSIM_STATE_H
#define PDXSIM_STATE_H

#include "pdx_win32.h"
#include "pdxsim.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SimChannelIface;  // per-platform channel state of one interface

struct SimIface {
    int device = 0;
    int iface = 0;
    bool exists = false;   // part of the installed world
    bool present = false;  // plugged in
    uint32_t devinst = 0;
    uint32_t parent_devinst = 0;
    std::string path;

    // Captured writes.
    std::deque<PdxSimWrite> writes;
    uint32_t write_total = 0;

    // Answers and completion faults.
    PdxSimResponder responder = nullptr;
    void* responder_ctx = nullptr;
    std::vector<uint8_t> canned;
    uint32_t fail_writes = 0;
    uint32_t fail_error = 0;
    uint32_t zero_writes = 0;
    uint32_t short_writes = 0;
    bool hold = false;
    // Acknowledgements withheld while holding, oldest first (POSIX channel).
    struct HeldAck {
        uint64_t conn;
        uint32_t error;
        uint32_t bytes;
    };
    std::deque<HeldAck> held;

    SimChannelIface* channel = nullptr;
};

struct SimGenerator {
    std::thread thread;
    bool stop = false;
    bool running = false;
    uint32_t generated = 0;
};

struct SimDevice {
    uint32_t devinst = 0;
    uint32_t pins = 0;
    SimGenerator gen;
};

struct SimState {
    std::mutex lock;
    std::condition_variable changed;  // open handles, writes, generator state
    bool installed = false;
    uint32_t generation = 0;
    std::unique_ptr<PdxSimWorld> world;
    SimDevice devices[PDXSIM_MAX_DEVICES];
    SimIface ifaces[PDXSIM_MAX_DEVICES][PDXSIM_MAX_INTERFACES];
    PdxSimCounters counters{};
    PdxSimRecord record{};
    std::deque<PdxSimOpen> opens;
    uint32_t opens_total = 0;
    int32_t library_refs[PDXSIM_LIB_COUNT] = {};
    // Per-handle input-buffer counts set through HidD_SetNumInputBuffers.
    std::map<uint64_t, uint32_t> input_buffers;
};

SimState& sim_state();
// The interface, or nullptr when out of range or not part of the world.
// Caller holds the lock.
SimIface* sim_iface_locked(int device, int iface);

// Devnode numbering (stable per world): 1 is the root.
enum { SIM_ROOT_DEVINST = 1 };

// Opening a device path (Linux path handler; Windows records connections).
// Decides whether the open is allowed; on success records it and returns the
// index of the open in the opens log (for later updates), else -1 with the
// Win32 error.
int sim_decide_open_locked(const char* path, uint32_t access, uint32_t share, uint32_t flags, int* device, int* iface,
                           uint32_t* error);
uint32_t sim_record_open_locked(int device, int iface, uint32_t access, uint32_t share, uint32_t flags, bool ok);
// Finds an interface by its device path (current generation). Lock held.
SimIface* sim_iface_by_path_locked(const char* path);
void sim_open_closed_locked(uint32_t open_index);
void sim_open_set_buffers_locked(uint32_t open_index, uint32_t buffers);
void sim_open_set_access_locked(uint32_t open_index, uint32_t access);

// A host write arrived on an interface (service thread, lock not held).
// Captures it and tells the channel how to complete it: returns 1 to
// acknowledge now with *error / *bytes, 0 when the acknowledgement was queued
// on the interface's held list under `conn` (conn 0: the channel cannot hold;
// the write is acknowledged anyway).
int sim_host_write(int device, int iface, uint64_t conn, const uint8_t* bytes, uint32_t len, uint32_t* error,
                   uint32_t* bytes_done);
// Then, once the channel has completed (or held) the write, as a chip
// answers after its OUT transfer: runs the responder, canned answer or chip
// model and sends the answer to the interface's readers. Sent before the
// acknowledgement, the answer woke the library's reader thread while the
// writer still waited, and the three threads competed for the processors.
void sim_host_answer(int device, int iface, const uint8_t* bytes, uint32_t len, uint32_t error, uint32_t bytes_done);

// Chip model answer to a write (service thread, lock not held). Returns the
// reply length (0: none).
uint32_t sim_chip_answer(int device, int iface, const uint8_t* write, uint32_t len, uint8_t* reply, uint32_t cap);
void sim_chip_stop_all();

// ---- Channel, one implementation per platform ----------------------------
std::string sim_channel_path(uint32_t generation, int device, int iface);
// The path the detail query hands out now (Windows: open faults select
// variants of the pipe name). Lock held.
std::string sim_channel_detail_path_locked(const SimIface& f, const PdxSimInterfaceFaults& faults);
bool sim_channel_start();  // called by install, lock not held
void sim_channel_stop();   // called by uninstall/install, lock not held
int sim_channel_send(int device, int iface, const uint8_t* bytes, uint32_t len);  // lock not held
int sim_channel_send_error(int device, int iface, uint32_t error);
void sim_channel_unplug(int device, int iface);  // lock not held
void sim_channel_plug(int device, int iface);
uint32_t sim_channel_open_handles_locked(int device, int iface, bool read_only);
uint32_t sim_channel_release(int device, int iface, uint32_t count);
uint32_t sim_channel_held(int device, int iface);
bool sim_channel_supports_completion_faults();
void sim_channel_faults_changed(int device, int iface);  // open faults changed (Windows relisten)
void sim_channel_hold_changed(int device, int iface);
// The interface a HID-stack handle names. `key` identifies the handle for
// per-handle records; open_index is its entry in the opens log or -1; access
// its granted access or PDXSIM_ACCESS_UNKNOWN. Returns false when the handle
// is not one of ours (lock not held).
struct SimHandleInfo {
    int device;
    int iface;
    uint64_t key;
    int64_t open_index;
    uint32_t access;
    bool gone;  // the device went away under this handle
};
bool sim_channel_lookup(HANDLE h, SimHandleInfo* out);

// ---- Library registration, one implementation per platform ---------------
void sim_modules_install();  // after the world changed (missing libs/entries)
// Called by the module load hooks.
void sim_library_loaded(int lib);
void sim_library_unloaded(int lib);
bool sim_library_refused(int lib);
// The descriptor behind a runtime file handle (POSIX only), -1 if none.
int sim_handle_fd(HANDLE h);
// The platform's last-error value (Linux: through the runtime that loaded us).
void sim_set_last_error(DWORD error);

#endif
