// The world: descriptions and their defaults, installing, counters and
// records, captured writes, answers and faults of the device side.
#include "sim_state.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

#define SIM_ENTRY_NAME(library, result, name, parameters, arguments) #name,
#define SIM_ENTRY_LIBRARY(library, result, name, parameters, arguments) #library ".dll",
#define SIM_LIBRARY_NAME(library, entry_points) #library ".dll",

const char* const kEntryNames[PDXSIM_ENTRY_COUNT] = {PDX_HID_ENTRY_POINTS(SIM_ENTRY_NAME)};
// The file name of each entry point's library.
const char* const kEntryLibraryNames[PDXSIM_ENTRY_COUNT] = {PDX_HID_ENTRY_POINTS(SIM_ENTRY_LIBRARY)};
// In PdxSimLibrary order, which is the list's.
const char* const kLibraryNames[] = {PDX_HID_LIBRARIES(SIM_LIBRARY_NAME)};
static_assert(sizeof(kLibraryNames) / sizeof(kLibraryNames[0]) == PDXSIM_LIB_COUNT, "one PdxSimLibrary per library");

const uint32_t kWriteLogLimit = 4096;
const uint32_t kOpenLogLimit = 1024;

// Devnode numbers: each device owns a block of 16; the USB device node is
// the block's first, the interface nodes' parents (USB interface nodes) come
// next, the HID collection nodes (the interfaces' own nodes) after them.
uint32_t usb_node(int device) { return 0x100u + 16u * (uint32_t)device; }
uint32_t usb_iface_node(int device, int iface) { return usb_node(device) + 1u + (uint32_t)iface; }
uint32_t hid_node(int device, int iface) { return usb_node(device) + 8u + (uint32_t)iface; }

bool valid_index(const PdxSimWorld* w, int device, int iface) {
    return w && device >= 0 && device < w->device_count && iface >= 0 && iface < w->device[device].interface_count;
}

std::chrono::steady_clock::time_point deadline_after(uint32_t timeout_ms) {
    if (timeout_ms == 0xFFFFFFFFu) return std::chrono::steady_clock::time_point::max();
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

template <class Pred>
bool wait_until(std::unique_lock<std::mutex>& lk, uint32_t timeout_ms, Pred pred) {
    SimState& s = sim_state();
    if (timeout_ms == 0xFFFFFFFFu) {
        s.changed.wait(lk, pred);
        return true;
    }
    return s.changed.wait_until(lk, deadline_after(timeout_ms), pred);
}

}  // namespace

SimState& sim_state() {
    static SimState* state = new SimState();  // never destroyed: threads may outlive statics
    return *state;
}

SimIface* sim_iface_locked(int device, int iface) {
    SimState& s = sim_state();
    if (!s.installed || !valid_index(s.world.get(), device, iface)) return nullptr;
    return &s.ifaces[device][iface];
}

extern "C" {

const char* pdxsim_entry_name(PdxSimEntry entry) {
    return (entry >= 0 && entry < PDXSIM_ENTRY_COUNT) ? kEntryNames[entry] : "";
}

PdxSimLibrary pdxsim_entry_library(PdxSimEntry entry) {
    // Numbers outside the list count as its nearest end, as ever.
    int e = entry < 0 ? 0 : entry >= PDXSIM_ENTRY_COUNT ? PDXSIM_ENTRY_COUNT - 1 : (int)entry;
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; lib++)
        if (std::strcmp(kEntryLibraryNames[e], kLibraryNames[lib]) == 0) return (PdxSimLibrary)lib;
    return PDXSIM_LIB_SETUPAPI;
}

const char* pdxsim_library_name(PdxSimLibrary lib) {
    return (lib >= 0 && lib < PDXSIM_LIB_COUNT) ? kLibraryNames[lib] : "";
}

void pdxsim_set_serial(PdxSimDeviceDesc* dev, const char* ascii) {
    if (!ascii) {
        dev->serial_kind = PDXSIM_SERIAL_NONE;
        dev->serial_len = 0;
        return;
    }
    dev->serial_kind = PDXSIM_SERIAL_STRING;
    int n = 0;
    for (; ascii[n] && n < PDXSIM_MAX_STRING; n++) dev->serial[n] = (uint8_t)ascii[n];
    dev->serial_len = n;
}

void pdxsim_device_default(PdxSimDeviceDesc* dev, int n) {
    memset(dev, 0, sizeof *dev);
    dev->vendor_id = PDXSIM_VENDOR_ID;
    dev->product_id = PDXSIM_PRODUCT_B;
    dev->version = PDXSIM_DEFAULT_VERSION;
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", (unsigned)(n + 1));
    pdxsim_set_serial(dev, serial);
    dev->string0[0] = PDXSIM_LANGID_EN_US;
    dev->string0_len = 1;
    dev->interface_count = 2;
    PdxSimInterfaceDesc& p0 = dev->iface[0];
    p0.input_len = PDXSIM_PIPE0_INPUT_LEN;
    p0.output_len = PDXSIM_PIPE0_OUTPUT_LEN;
    p0.usage_page = 0xFF00;
    p0.usage = 1;
    PdxSimInterfaceDesc& p1 = dev->iface[1];
    p1.input_len = PDXSIM_PIPE1_INPUT_LEN;
    p1.output_len = PDXSIM_PIPE1_OUTPUT_LEN;
    p1.usage_page = 0xFF00;
    p1.usage = 2;
    for (int i = 2; i < PDXSIM_MAX_INTERFACES; i++) dev->iface[i] = p1;
    dev->chip_model = 1;
}

void pdxsim_world_default(PdxSimWorld* world, int devices) {
    memset(world, 0, sizeof *world);
    if (devices < 0) devices = 0;
    if (devices > PDXSIM_MAX_DEVICES) devices = PDXSIM_MAX_DEVICES;
    world->device_count = devices;
    for (int d = 0; d < devices; d++) pdxsim_device_default(&world->device[d], d);
    world->faults.enum_fail_index = -1;
}

void pdxsim_world_set_order(PdxSimWorld* world, PdxSimOrder order) {
    int n = 0;
    int max_if = 0;
    for (int d = 0; d < world->device_count; d++)
        if (world->device[d].interface_count > max_if) max_if = world->device[d].interface_count;
    switch (order) {
    case PDXSIM_ORDER_INTERLEAVED:
        for (int i = 0; i < max_if; i++)
            for (int d = 0; d < world->device_count; d++)
                if (i < world->device[d].interface_count) world->order[n++] = {d, i};
        break;
    case PDXSIM_ORDER_REVERSED_INTERFACES:
        for (int d = 0; d < world->device_count; d++)
            for (int i = world->device[d].interface_count - 1; i >= 0; i--) world->order[n++] = {d, i};
        break;
    case PDXSIM_ORDER_REVERSED:
        for (int d = world->device_count - 1; d >= 0; d--)
            for (int i = world->device[d].interface_count - 1; i >= 0; i--) world->order[n++] = {d, i};
        break;
    case PDXSIM_ORDER_DEVICE_BY_DEVICE:
    default:
        for (int d = 0; d < world->device_count; d++)
            for (int i = 0; i < world->device[d].interface_count; i++) world->order[n++] = {d, i};
        break;
    }
    world->order_count = n;
}

int pdxsim_install(const PdxSimWorld* world) {
    if (!world || world->device_count < 0 || world->device_count > PDXSIM_MAX_DEVICES) return 0;
    for (int d = 0; d < world->device_count; d++) {
        int n = world->device[d].interface_count;
        if (n < 0 || n > PDXSIM_MAX_INTERFACES) return 0;
    }
    pdxsim_uninstall();
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        s.world.reset(new PdxSimWorld(*world));
        PdxSimWorld& w = *s.world;
        if (w.order_count <= 0) pdxsim_world_set_order(&w, PDXSIM_ORDER_DEVICE_BY_DEVICE);
        s.generation++;
        for (int d = 0; d < PDXSIM_MAX_DEVICES; d++) {
            s.devices[d].devinst = usb_node(d);
            s.devices[d].pins = 0;
            s.devices[d].gen.generated = 0;
            for (int i = 0; i < PDXSIM_MAX_INTERFACES; i++) {
                SimIface& f = s.ifaces[d][i];
                SimChannelIface* keep = f.channel;
                f = SimIface();
                f.channel = keep;
                f.device = d;
                f.iface = i;
                f.exists = valid_index(&w, d, i);
                f.present = f.exists;
                f.devinst = hid_node(d, i);
                f.parent_devinst = usb_iface_node(d, i);
                f.path = sim_channel_path(s.generation, d, i);
            }
        }
        memset(&s.counters, 0, sizeof s.counters);
        memset(&s.record, 0, sizeof s.record);
        std::deque<PdxSimOpen>().swap(s.opens);  // clear() would keep its map
        s.opens_total = 0;
        s.installed = true;
    }
    sim_modules_install();
    return sim_channel_start() ? 1 : 0;
}

void pdxsim_uninstall(void) {
    SimState& s = sim_state();
    sim_chip_stop_all();
    sim_channel_stop();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        s.installed = false;
        for (int d = 0; d < PDXSIM_MAX_DEVICES; d++)
            for (int i = 0; i < PDXSIM_MAX_INTERFACES; i++) {
                s.ifaces[d][i].exists = false;
                s.ifaces[d][i].present = false;
            }
    }
    s.changed.notify_all();
}

int pdxsim_get_world(PdxSimWorld* out) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (!s.installed || !out) return 0;
    *out = *s.world;
    return 1;
}

void pdxsim_set_interface_faults(int device, int iface, const PdxSimInterfaceFaults* faults) {
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!sim_iface_locked(device, iface) || !faults) return;
        s.world->device[device].iface[iface].faults = *faults;
    }
    sim_channel_faults_changed(device, iface);
}

void pdxsim_set_world_faults(const PdxSimWorldFaults* faults) {
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!s.installed || !faults) return;
        s.world->faults = *faults;
    }
    sim_modules_install();
}

uint32_t pdxsim_interface_devinst(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    return f ? f->devinst : 0;
}

uint32_t pdxsim_interface_parent_devinst(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    return f ? f->parent_devinst : 0;
}

uint32_t pdxsim_device_devinst(int device) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (!s.installed || device < 0 || device >= s.world->device_count) return 0;
    return s.devices[device].devinst;
}

const char* pdxsim_device_path(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    return f ? f->path.c_str() : "";
}

void pdxsim_get_counters(PdxSimCounters* out) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (out) *out = s.counters;
}

void pdxsim_reset_counters(void) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    int32_t sets = s.counters.live_sets;
    int32_t preparsed = s.counters.live_preparsed;
    memset(&s.counters, 0, sizeof s.counters);
    s.counters.live_sets = sets;
    s.counters.live_preparsed = preparsed;
    memset(&s.record, 0, sizeof s.record);
}

void pdxsim_get_record(PdxSimRecord* out) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (out) *out = s.record;
}

uint32_t pdxsim_get_opens(uint32_t first, PdxSimOpen* out, uint32_t max) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    uint32_t base = s.opens_total - (uint32_t)s.opens.size();
    for (uint32_t k = 0; k < max; k++) {
        uint32_t idx = first + k;
        if (idx < base || idx >= s.opens_total) break;
        out[k] = s.opens[idx - base];
    }
    return s.opens_total;
}

uint32_t pdxsim_open_handles(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    return sim_channel_open_handles_locked(device, iface, false);
}

uint32_t pdxsim_open_read_handles(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    return sim_channel_open_handles_locked(device, iface, true);
}

int pdxsim_wait_open_handles(int device, int iface, uint32_t count, int read_only, uint32_t timeout_ms) {
    // The channel notifies on every open and on every close it notices.
    SimState& s = sim_state();
    std::unique_lock<std::mutex> lk(s.lock);
    return wait_until(lk, timeout_ms,
                      [&] { return sim_channel_open_handles_locked(device, iface, read_only != 0) == count; });
}

// ---- Device side --------------------------------------------------------------

int pdxsim_send_report(int device, int iface, const void* bytes, uint32_t len) {
    if (len > PDXSIM_MAX_REPORT) len = PDXSIM_MAX_REPORT;
    return sim_channel_send(device, iface, (const uint8_t*)bytes, len);
}

int pdxsim_send_read_error(int device, int iface, uint32_t error) {
    return sim_channel_send_error(device, iface, error);
}

uint32_t pdxsim_write_count(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    return f ? f->write_total : 0;
}

int pdxsim_wait_writes(int device, int iface, uint32_t count, uint32_t timeout_ms) {
    SimState& s = sim_state();
    std::unique_lock<std::mutex> lk(s.lock);
    return wait_until(lk, timeout_ms,
                      [&] {
                          SimIface* f = sim_iface_locked(device, iface);
                          return !f || f->write_total >= count;
                      }) &&
           sim_iface_locked(device, iface) != nullptr;
}

int pdxsim_get_write(int device, int iface, uint32_t index, PdxSimWrite* out) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f || !out) return 0;
    uint32_t base = f->write_total - (uint32_t)f->writes.size();
    if (index < base || index >= f->write_total) return 0;
    *out = f->writes[index - base];
    return 1;
}

void pdxsim_clear_writes(int device, int iface) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return;
    f->writes.clear();
    f->write_total = 0;
}

void pdxsim_set_responder(int device, int iface, PdxSimResponder fn, void* ctx) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return;
    f->responder = fn;
    f->responder_ctx = ctx;
}

void pdxsim_set_canned_reply(int device, int iface, const void* bytes, uint32_t len) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return;
    if (len > PDXSIM_MAX_REPORT) len = PDXSIM_MAX_REPORT;
    f->canned.assign((const uint8_t*)bytes, (const uint8_t*)bytes + (bytes ? len : 0));
}

int pdxsim_fail_writes(int device, int iface, uint32_t count, uint32_t error) {
    if (!sim_channel_supports_completion_faults()) return 0;
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return 0;
    f->fail_writes = count;
    f->fail_error = error;
    return 1;
}

int pdxsim_zero_writes(int device, int iface, uint32_t count) {
    if (!sim_channel_supports_completion_faults()) return 0;
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return 0;
    f->zero_writes = count;
    return 1;
}

int pdxsim_short_writes(int device, int iface, uint32_t count) {
    if (!sim_channel_supports_completion_faults()) return 0;
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    SimIface* f = sim_iface_locked(device, iface);
    if (!f) return 0;
    f->short_writes = count;
    return 1;
}

int pdxsim_hold_writes(int device, int iface, int hold) {
    SimState& s = sim_state();
    {
        std::lock_guard<std::mutex> lk(s.lock);
        SimIface* f = sim_iface_locked(device, iface);
        if (!f) return 0;
        f->hold = hold != 0;
    }
    sim_channel_hold_changed(device, iface);
    if (!hold) sim_channel_release(device, iface, 0);
    return 1;
}

uint32_t pdxsim_release_writes(int device, int iface, uint32_t count) {
    return sim_channel_release(device, iface, count);
}

uint32_t pdxsim_held_writes(int device, int iface) { return sim_channel_held(device, iface); }

}  // extern "C"

// Marks one interface (iface >= 0) or every interface of a device present
// or gone, then lets the channels follow.
static void set_present(int device, int iface, bool present) {
    SimState& s = sim_state();
    int first = iface, last = iface;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        if (!s.installed || device < 0 || device >= s.world->device_count) return;
        if (iface < 0) {
            first = 0;
            last = s.world->device[device].interface_count - 1;
        }
        for (int i = first; i <= last; i++)
            if (SimIface* f = sim_iface_locked(device, i)) f->present = present;
    }
    for (int i = first; i <= last; i++) {
        if (present)
            sim_channel_plug(device, i);
        else
            sim_channel_unplug(device, i);
    }
    s.changed.notify_all();
}

extern "C" {

void pdxsim_unplug(int device, int iface) { set_present(device, iface, false); }

void pdxsim_plug(int device, int iface) { set_present(device, iface, true); }

}  // extern "C"

// ---- Opens ----------------------------------------------------------------------

SimIface* sim_iface_by_path_locked(const char* path) {
    SimState& s = sim_state();
    if (!s.installed || !path) return nullptr;
    for (int d = 0; d < s.world->device_count; d++)
        for (int i = 0; i < s.world->device[d].interface_count; i++)
            if (s.ifaces[d][i].path == path) return &s.ifaces[d][i];
    return nullptr;
}

uint32_t sim_record_open_locked(int device, int iface, uint32_t access, uint32_t share, uint32_t flags, bool ok) {
    SimState& s = sim_state();
    PdxSimOpen rec{};
    rec.device = device;
    rec.iface = iface;
    rec.access = access;
    rec.share = share;
    rec.flags = flags;
    rec.succeeded = ok ? 1 : 0;
    rec.still_open = ok ? 1 : 0;
    s.opens.push_back(rec);
    if (s.opens.size() > kOpenLogLimit) s.opens.pop_front();
    if (ok)
        s.counters.opens++;
    else
        s.counters.refused_opens++;
    s.changed.notify_all();
    return s.opens_total++;
}

int sim_decide_open_locked(const char* path, uint32_t access, uint32_t share, uint32_t flags, int* device, int* iface,
                           uint32_t* error) {
    SimState& s = sim_state();
    SimIface* f = sim_iface_by_path_locked(path);
    if (!f || !f->present) {
        *error = ERROR_FILE_NOT_FOUND;
        s.counters.refused_opens++;
        return -1;
    }
    const PdxSimInterfaceFaults& faults = s.world->device[f->device].iface[f->iface].faults;
    bool refused = faults.open_refused || (faults.open_rw_refused && (access & (GENERIC_READ | GENERIC_WRITE)));
    uint32_t index = sim_record_open_locked(f->device, f->iface, access, share, flags, !refused);
    if (refused) {
        *error = ERROR_ACCESS_DENIED;
        return -1;
    }
    *device = f->device;
    *iface = f->iface;
    return (int)index;
}

static PdxSimOpen* open_entry_locked(uint32_t open_index) {
    SimState& s = sim_state();
    uint32_t base = s.opens_total - (uint32_t)s.opens.size();
    if (open_index < base || open_index >= s.opens_total) return nullptr;
    return &s.opens[open_index - base];
}

void sim_open_closed_locked(uint32_t open_index) {
    if (PdxSimOpen* o = open_entry_locked(open_index)) o->still_open = 0;
    sim_state().changed.notify_all();
}

void sim_open_set_buffers_locked(uint32_t open_index, uint32_t buffers) {
    if (PdxSimOpen* o = open_entry_locked(open_index)) o->input_buffers = buffers;
}

void sim_open_set_access_locked(uint32_t open_index, uint32_t access) {
    if (PdxSimOpen* o = open_entry_locked(open_index)) o->access = access;
}

// ---- Host writes ----------------------------------------------------------------

int sim_host_write(int device, int iface, uint64_t conn, const uint8_t* bytes, uint32_t len, uint32_t* error,
                   uint32_t* bytes_done) {
    SimState& s = sim_state();
    int ack = 1;
    *error = 0;
    *bytes_done = len;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        SimIface* f = sim_iface_locked(device, iface);
        if (!f) return 1;
        PdxSimWrite w{};
        w.len = len > PDXSIM_MAX_REPORT ? PDXSIM_MAX_REPORT : len;
        memcpy(w.bytes, bytes, w.len);
        w.index = f->write_total++;
        f->writes.push_back(w);
        if (f->writes.size() > kWriteLogLimit) f->writes.pop_front();
        if (f->fail_writes) {
            f->fail_writes--;
            *error = f->fail_error;
            *bytes_done = 0;
        } else if (f->zero_writes) {
            f->zero_writes--;
            *bytes_done = 0;
        } else if (f->short_writes) {
            f->short_writes--;
            *bytes_done = len > 1 ? len - 1 : len;
        }
        if (f->hold && conn) {
            ack = 0;
            f->held.push_back({conn, *error, *bytes_done});
        }
    }
    s.changed.notify_all();
    return ack;
}

void sim_host_answer(int device, int iface, const uint8_t* bytes, uint32_t len, uint32_t error, uint32_t bytes_done) {
    // A failed write is not seen by the device: no answer to it.
    if (error != 0 || bytes_done == 0) return;
    SimState& s = sim_state();
    PdxSimResponder responder = nullptr;
    void* ctx = nullptr;
    std::vector<uint8_t> canned;
    bool chip = false;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        SimIface* f = sim_iface_locked(device, iface);
        if (!f) return;
        responder = f->responder;
        ctx = f->responder_ctx;
        canned = f->canned;
        chip = s.world->device[device].chip_model != 0;
    }
    uint8_t reply[PDXSIM_MAX_REPORT];
    uint32_t n = 0;
    if (responder) n = responder(ctx, device, iface, bytes, len, reply, sizeof reply);
    if (n == 0 && !canned.empty()) {
        n = (uint32_t)canned.size();
        memcpy(reply, canned.data(), n);
    }
    if (n == 0 && chip) n = sim_chip_answer(device, iface, bytes, len, reply, sizeof reply);
    if (n > sizeof reply) n = sizeof reply;
    if (n) sim_channel_send(device, iface, reply, n);
}

// ---- Library loads ------------------------------------------------------------

void sim_library_loaded(int lib) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    s.counters.loads[lib]++;
}

void sim_library_unloaded(int lib) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    s.counters.frees[lib]++;
}

bool sim_library_refused(int lib) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    bool refused = s.installed && s.world->faults.missing_library[lib];
    if (refused) s.counters.refused_loads[lib]++;
    return refused;
}
