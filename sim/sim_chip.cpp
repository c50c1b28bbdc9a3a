// The chip model: 32 I/O pins behind pipe 0, special functions behind
// pipe 1, and input generators paced by absolute deadlines.
#include "sim_state.h"

#include <chrono>
#include <cstring>

namespace {

const uint32_t kPipeThreshold = 8;  // output length at which an interface is pipe 1

// Generators have their own wake-up so that stopping one is immediate and
// the world's condition variable stays for waiters.
struct GenControl {
    std::mutex lock;
    std::condition_variable wake;
};
GenControl g_gen[PDXSIM_MAX_DEVICES];

int pipe_iface_locked(int device, int pipe) {
    SimState& s = sim_state();
    if (!s.installed || device < 0 || device >= s.world->device_count) return -1;
    const PdxSimDeviceDesc& d = s.world->device[device];
    for (int i = 0; i < d.interface_count; i++) {
        bool is_pipe1 = d.iface[i].output_len >= kPipeThreshold;
        if ((pipe == 1) == is_pipe1) return i;
    }
    return -1;
}

void put_le32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// Sets the pin state and sends the pin report; `always` sends it even when
// the state did not change. Returns the handles reached.
int set_pins(int device, uint32_t value, bool always) {
    SimState& s = sim_state();
    int iface;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        iface = pipe_iface_locked(device, 0);
        if (iface < 0) return 0;
        bool changed = s.devices[device].pins != value;
        s.devices[device].pins = value;
        if (!changed && !always) return 0;
    }
    uint8_t report[5] = {0};
    put_le32(report + 1, value);
    return sim_channel_send(device, iface, report, sizeof report);
}

enum GenKind { GEN_COUNTER, GEN_RANDOM, GEN_SCRIPT };

struct GenPlan {
    GenKind kind;
    uint32_t period_ns;
    uint32_t start;
    uint32_t count;
    uint32_t seed;
    std::vector<PdxSimScriptStep> steps;
};

bool should_stop(int device) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    return s.devices[device].gen.stop;
}

// Sleeps until the absolute deadline or a stop request; false when stopped.
bool sleep_until(int device, std::chrono::steady_clock::time_point deadline) {
    GenControl& c = g_gen[device];
    std::unique_lock<std::mutex> lk(c.lock);
    while (std::chrono::steady_clock::now() < deadline) {
        if (should_stop(device)) return false;
        c.wake.wait_until(lk, deadline);
    }
    return !should_stop(device);
}

void run_generator(int device, GenPlan plan) {
    SimState& s = sim_state();
    auto next = std::chrono::steady_clock::now();
    uint32_t rng = plan.seed ? plan.seed : 0x9E3779B9u;
    uint32_t n = 0;
    for (;;) {
        uint32_t value;
        if (plan.kind == GEN_SCRIPT) {
            if (n >= plan.steps.size()) break;
            next += std::chrono::microseconds(plan.steps[n].delay_us);
            value = plan.steps[n].value;
        } else {
            if (plan.count && n >= plan.count) break;
            if (n) next += std::chrono::nanoseconds(plan.period_ns);
            if (plan.kind == GEN_COUNTER) {
                value = plan.start + n;
            } else {
                rng ^= rng << 13;
                rng ^= rng >> 17;
                rng ^= rng << 5;
                std::lock_guard<std::mutex> lk(s.lock);
                value = s.devices[device].pins ^ (1u << (rng & 31));
            }
        }
        if (!sleep_until(device, next)) break;
        set_pins(device, value, plan.kind == GEN_COUNTER);
        n++;
        std::lock_guard<std::mutex> lk(s.lock);
        s.devices[device].gen.generated++;
    }
    {
        std::lock_guard<std::mutex> lk(s.lock);
        s.devices[device].gen.running = false;
    }
    s.changed.notify_all();
}

void stop_generator(int device) {
    SimState& s = sim_state();
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        SimGenerator& g = s.devices[device].gen;
        g.stop = true;
        t = std::move(g.thread);
    }
    {
        std::lock_guard<std::mutex> lk(g_gen[device].lock);
        g_gen[device].wake.notify_all();
    }
    if (t.joinable()) t.join();
    std::lock_guard<std::mutex> lk(s.lock);
    s.devices[device].gen.running = false;
}

int start_generator(int device, GenPlan plan) {
    SimState& s = sim_state();
    if (device < 0 || device >= PDXSIM_MAX_DEVICES) return 0;
    stop_generator(device);
    std::lock_guard<std::mutex> lk(s.lock);
    if (pipe_iface_locked(device, 0) < 0) return 0;
    SimGenerator& g = s.devices[device].gen;
    g.stop = false;
    g.running = true;
    g.generated = 0;
    g.thread = std::thread(run_generator, device, std::move(plan));
    return 1;
}

uint32_t period_of(uint32_t rate_hz) { return rate_hz ? 1000000000u / rate_hz : 1000000u; }

}  // namespace

uint32_t sim_chip_answer(int device, int iface, const uint8_t* write, uint32_t len, uint8_t* reply, uint32_t cap) {
    SimState& s = sim_state();
    int pipe0, pipe1;
    PdxSimDeviceDesc dev;
    uint32_t pins;
    {
        std::lock_guard<std::mutex> lk(s.lock);
        pipe0 = pipe_iface_locked(device, 0);
        pipe1 = pipe_iface_locked(device, 1);
        if (pipe0 < 0 && pipe1 < 0) return 0;
        dev = s.world->device[device];
        pins = s.devices[device].pins;
    }
    if (iface == pipe0) {
        // Output latches: report id, then the pin value little-endian.
        uint32_t value = 0;
        for (uint32_t k = 1; k < len && k <= 4; k++) value |= (uint32_t)write[k] << (8 * (k - 1));
        {
            std::lock_guard<std::mutex> lk(s.lock);
            s.devices[device].pins = value;
        }
        if (cap < 5) return 0;
        reply[0] = 0;
        put_le32(reply + 1, value);
        return 5;
    }
    if (iface != pipe1 || len < 2) return 0;
    uint32_t n = dev.iface[iface].input_len;
    if (n > cap) n = cap;
    if (n < 8) return 0;
    memset(reply, 0, n);
    reply[0] = 0;
    switch (write[1]) {
    case PDXSIM_CMD_ECHO: memcpy(reply, write, len < n ? len : n); break;
    case PDXSIM_CMD_IDENTIFY: {
        reply[1] = PDXSIM_CMD_IDENTIFY;
        uint16_t ids[3] = {dev.vendor_id, dev.product_id, dev.version};
        for (int k = 0; k < 3; k++) {
            reply[2 + 2 * k] = (uint8_t)ids[k];
            reply[3 + 2 * k] = (uint8_t)(ids[k] >> 8);
        }
        const char tag[] = "PDXSIM";
        uint32_t pos = 8;
        for (int k = 0; tag[k] && pos < n; k++) reply[pos++] = (uint8_t)tag[k];
        if (dev.serial_kind == PDXSIM_SERIAL_STRING)
            for (int k = 0; k < dev.serial_len && pos < n; k++) reply[pos++] = (uint8_t)dev.serial[k];
        break;
    }
    case PDXSIM_CMD_PINS:
        reply[1] = PDXSIM_CMD_PINS;
        put_le32(reply + 2, pins);
        break;
    default:
        reply[1] = PDXSIM_CMD_UNKNOWN_REPLY;
        reply[2] = write[1];
        break;
    }
    return n;
}

void sim_chip_stop_all() {
    for (int d = 0; d < PDXSIM_MAX_DEVICES; d++) stop_generator(d);
}

extern "C" {

uint32_t pdxsim_chip_pins(int device) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (!s.installed || device < 0 || device >= s.world->device_count) return 0;
    return s.devices[device].pins;
}

int pdxsim_chip_set_pins(int device, uint32_t value) { return set_pins(device, value, false); }

int pdxsim_chip_start_counter(int device, uint32_t rate_hz, uint32_t start, uint32_t count) {
    GenPlan p{GEN_COUNTER, period_of(rate_hz), start, count, 0, {}};
    return start_generator(device, std::move(p));
}

int pdxsim_chip_start_random(int device, uint32_t rate_hz, uint32_t seed, uint32_t count) {
    GenPlan p{GEN_RANDOM, period_of(rate_hz), 0, count, seed, {}};
    return start_generator(device, std::move(p));
}

int pdxsim_chip_run_script(int device, const PdxSimScriptStep* steps, uint32_t step_count) {
    GenPlan p{GEN_SCRIPT, 0, 0, 0, 0, std::vector<PdxSimScriptStep>(steps, steps + step_count)};
    return start_generator(device, std::move(p));
}

void pdxsim_chip_stop(int device) {
    if (device >= 0 && device < PDXSIM_MAX_DEVICES) stop_generator(device);
}

uint32_t pdxsim_chip_generated(int device) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (device < 0 || device >= PDXSIM_MAX_DEVICES) return 0;
    return s.devices[device].gen.generated;
}

int pdxsim_chip_running(int device) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    if (device < 0 || device >= PDXSIM_MAX_DEVICES) return 0;
    return s.devices[device].gen.running ? 1 : 0;
}

int pdxsim_chip_wait_done(int device, uint32_t timeout_ms) {
    SimState& s = sim_state();
    if (device < 0 || device >= PDXSIM_MAX_DEVICES) return 0;
    std::unique_lock<std::mutex> lk(s.lock);
    auto done = [&] { return !s.devices[device].gen.running; };
    if (timeout_ms == 0xFFFFFFFFu) {
        s.changed.wait(lk, done);
        return 1;
    }
    return s.changed.wait_for(lk, std::chrono::milliseconds(timeout_ms), done) ? 1 : 0;
}

}  // extern "C"
