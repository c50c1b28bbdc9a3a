// Call costs: PdxKitReadImmediate with an empty and a full queue, alone and
// from 4 threads at once, beside the two-hop floor's ring; the PdxKitWrite
// round trip to the simulated chip beside a plain write-and-read round trip
// over the same kind of channel; PdxKitOpenDevice and PdxKitCloseDevice with
// 1 and 16 devices.
#include <stdio.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench_floor.h"
#include "bench_platform.h"
#include "device_table.h"
#include "library_session.h"
#include "pdxsim.h"
#include "sections.h"
#include "two_hop_floor.h"

namespace {

// `two_hop` < 0: no two-hop figure beside this one.
void AddCost(Results* results, const std::string& name, double ns, const char* target, double limit_ns,
             const std::string& note, const char* unit = "ns", double two_hop = -1, double floor = -1) {
    Row row;
    row.section = "calls";
    row.name = name;
    row.unit = unit;
    row.value = ns;
    row.has_two_hop = two_hop >= 0;
    row.two_hop = two_hop;
    if (floor >= 0) {
        row.floor = floor;
        row.compare = COMPARE_DIFFERENCE;
    }
    if (limit_ns > 0) {
        row.target = target;
        row.met = ns < limit_ns ? 1 : 0;
    }
    row.note = note;
    AddRow(results, row);
}

double EmptyImmediate(PdxKitHandle handle, uint32_t calls) {
    uint32_t value;
    const int64_t start = BenchNowNs();
    for (uint32_t k = 0; k < calls; k++) PdxKitReadImmediate(handle, &value);
    return (double)(BenchNowNs() - start) / calls;
}

// What one reading of the clock costs.
double ClockNs() {
    const int64_t clock_start = BenchNowNs();
    for (int k = 0; k < 1000; k++) BenchNowNs();
    return (double)(BenchNowNs() - clock_start) / 1000.0;
}

// The two-hop floor's immediate read: empty ring, and a ring of 8 (filled
// through its channel, timed as the 8 calls that empty it).
void TwoHopImmediate(uint32_t empty_calls, uint32_t rounds, double* empty_ns, double* full_ns) {
    *empty_ns = *full_ns = 0;
    TwoHopFloor* floor = TwoHopOpen(1);
    if (!floor) return;
    uint32_t value;
    int64_t start = BenchNowNs();
    for (uint32_t k = 0; k < empty_calls; k++) TwoHopReadImmediate(floor, 0, &value);
    *empty_ns = (double)(BenchNowNs() - start) / empty_calls;
    int64_t timed = 0;
    uint32_t calls = 0;
    for (uint32_t round = 0; round < rounds; round++) {
        for (uint32_t k = 0; k < kQueueSlots; k++) {
            const uint8_t report[5] = {0, (uint8_t)k, 0, 0, 0};
            TwoHopSend(floor, 0, report, sizeof report);
        }
        const int64_t give_up = BenchNowNs() + 1000000000;
        while (TwoHopQueued(floor, 0) < kQueueSlots && BenchNowNs() < give_up) std::this_thread::yield();
        start = BenchNowNs();
        for (uint32_t k = 0; k < kQueueSlots; k++) TwoHopReadImmediate(floor, 0, &value);
        timed += BenchNowNs() - start;
        calls += kQueueSlots;
    }
    *full_ns = ((double)timed - ClockNs() * rounds) / calls;
    TwoHopClose(floor);
}

// Each round queues 8 reports (the queue is full), then times the 8 calls
// that take them; the clock's own cost is taken off.
double FullImmediate(const LibrarySession& session, uint32_t rounds, uint32_t* taken_out) {
    const DeviceRecord* record = static_cast<const DeviceRecord*>(session.handles[0]);
    const double clock_ns = ClockNs();
    int64_t timed = 0;
    uint32_t taken = 0, calls = 0;
    for (uint32_t round = 0; round < rounds; round++) {
        for (uint32_t k = 0; k < kQueueSlots; k++) {
            const uint8_t report[5] = {0, (uint8_t)k, 0, 0, 0};
            pdxsim_send_report(session.sim_device[0], 0, report, sizeof report);
        }
        const int64_t give_up = BenchNowNs() + 1000000000;
        while (__atomic_load_n(&record->queue.count, __ATOMIC_ACQUIRE) < kQueueSlots && BenchNowNs() < give_up)
            std::this_thread::yield();
        uint32_t value;
        const int64_t start = BenchNowNs();
        for (uint32_t k = 0; k < kQueueSlots; k++) taken += PdxKitReadImmediate(session.handles[0], &value);
        timed += BenchNowNs() - start;
        calls += kQueueSlots;
    }
    *taken_out = taken;
    return ((double)timed - clock_ns * rounds) / calls;
}

// Per call as each of `threads` callers sees it, all on one device.
double ContendedImmediate(PdxKitHandle handle, int threads, uint32_t calls_each) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    std::vector<double> per_call(threads);
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            per_call[t] = EmptyImmediate(handle, calls_each);
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    go.store(true);
    for (std::thread& w : workers) w.join();
    double sum = 0;
    for (double v : per_call) sum += v;
    return sum / threads;
}

// The write path has one wake-up each way by design (the caller, the chip's
// side), so its two-hop floor is its one-hop floor: a plain write and a
// blocking read of the acknowledgement.
void WriteRoundTrip(Results* results, const LibrarySession& session, uint32_t pipe, uint32_t calls) {
    uint8_t report[65] = {0};
    const uint32_t length = pipe == 0 ? 5 : 65;
    report[1] = pipe == 0 ? 0x5A : PDXSIM_CMD_PINS;
    PdxKitSetWriteTimeout(session.handles[0], 1000);
    std::vector<int64_t> samples, floor;
    samples.reserve(calls);
    floor.reserve(calls);
    uint32_t failed = 0;
    for (uint32_t k = 0; k < calls; k++) {
        const int64_t start = BenchNowNs();
        if (PdxKitWrite(session.handles[0], pipe, report, length) != length) failed++;
        samples.push_back(BenchNowNs() - start);
    }
    const bool floored = FloorWriteRoundTrips(length, calls, &floor);
    char name[96], note[96];
    snprintf(note, sizeof note, "%u calls, %u failed; 2-hop floor = floor (one hop each way)", calls, failed);
    snprintf(name, sizeof name, "PdxKitWrite round trip, pipe %u (%u bytes) p50", pipe, length);
    const double floor50 = floored ? Percentile(&floor, 50) / 1000.0 : -1;
    AddCost(results, name, Percentile(&samples, 50) / 1000.0, "", 0, note, "us", floor50, floor50);
    snprintf(name, sizeof name, "PdxKitWrite round trip, pipe %u (%u bytes) p99", pipe, length);
    const double floor99 = floored ? Percentile(&floor, 99) / 1000.0 : -1;
    AddCost(results, name, Percentile(&samples, 99) / 1000.0, "", 0, "", "us", floor99, floor99);
}

void OpenClose(Results* results, int devices, int rounds) {
    if (!SimulateDevices(devices)) return;
    std::vector<int64_t> opens, closes;
    for (int k = 0; k < rounds; k++) {
        LibrarySession session;
        const int64_t start = BenchNowNs();
        const bool ok = OpenAll(devices, &session);
        const int64_t opened = BenchNowNs();
        if (!ok) break;
        CloseAll(&session);
        opens.push_back(opened - start);
        closes.push_back(BenchNowNs() - opened);
    }
    StopSimulating();
    char name[96], note[64];
    snprintf(note, sizeof note, "median of %zu; max %.2f ms", opens.size(), Percentile(&opens, 100) / 1e6);
    snprintf(name, sizeof name, "PdxKitOpenDevice, %d device%s", devices, devices > 1 ? "s" : "");
    AddCost(results, name, Percentile(&opens, 50) / 1e6, "< 20", devices == 16 ? 20 : 0, note, "ms");
    snprintf(note, sizeof note, "median of %zu; max %.2f ms", closes.size(), Percentile(&closes, 100) / 1e6);
    snprintf(name, sizeof name, "PdxKitCloseDevice, %d device%s", devices, devices > 1 ? "s" : "");
    AddCost(results, name, Percentile(&closes, 50) / 1e6, "< 20", devices == 16 ? 20 : 0, note, "ms");
}

}  // namespace

void RunCallCosts(const BenchOptions& options, Results* results) {
    const uint32_t scale = options.wine ? 10 : 1;
    LibrarySession session;
    if (!LibraryOpen(1, &session)) {
        fprintf(stderr, "calls: cannot open the simulated chip\n");
        return;
    }
    EmptyImmediate(session.handles[0], 10000);  // warm
    const uint32_t rounds = 2000 / scale;
    double ring_empty, ring_full;
    TwoHopImmediate(2000000 / scale, rounds, &ring_empty, &ring_full);
    AddCost(results, "PdxKitReadImmediate, empty queue, 1 thread", EmptyImmediate(session.handles[0], 2000000 / scale),
            "< 100", 100, "2-hop: the floor's ring under its lock", "ns", ring_empty);
    uint32_t taken = 0;
    const double full = FullImmediate(session, rounds, &taken);
    char note[64];
    snprintf(note, sizeof note, "%u of %u calls took a report", taken, rounds * (uint32_t)kQueueSlots);
    AddCost(results, "PdxKitReadImmediate, full queue (8), 1 thread", full, "< 100", 100, note, "ns", ring_full);
    AddCost(results, "PdxKitReadImmediate, empty queue, 4 threads (per call)",
            ContendedImmediate(session.handles[0], 4, 500000 / scale), "", 0, "2 cores shared");
    WriteRoundTrip(results, session, 0, 20000 / scale);
    WriteRoundTrip(results, session, 1, 20000 / scale);
    LibraryClose(&session);

    OpenClose(results, 1, options.full ? 50 : 20);
    OpenClose(results, 16, options.full ? 50 : 20);
}

int ProbeWrites(uint32_t pipe, uint32_t calls) {
    LibrarySession session;
    if (pipe > 1 || !LibraryOpen(1, &session)) return 1;
    uint8_t report[65] = {0};
    const uint32_t length = pipe == 0 ? 5 : 65;
    report[1] = pipe == 0 ? 0x5A : PDXSIM_CMD_PINS;
    PdxKitSetWriteTimeout(session.handles[0], 1000);
    std::vector<int64_t> samples;
    uint32_t failed = 0;
    for (uint32_t k = 0; k < calls; k++) {
        const int64_t start = BenchNowNs();
        if (PdxKitWrite(session.handles[0], pipe, report, length) != length) failed++;
        samples.push_back(BenchNowNs() - start);
    }
    LibraryClose(&session);
    printf("pipe %u: %u writes, %u failed, p50 %.1f us p99 %.1f us\n", pipe, calls, failed,
           Percentile(&samples, 50) / 1000.0, Percentile(&samples, 99) / 1000.0);
    return failed ? 1 : 0;
}
