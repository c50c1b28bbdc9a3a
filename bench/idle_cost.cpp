// Idle cost: wake-ups and CPU per second with 16 open devices and no
// reports, beside 16 plain readers blocked on the same kind of channel, and
// beside the two-hop floor's 16 relays (consumers idle: none).
#include <stdio.h>

#include "bench_floor.h"
#include "bench_platform.h"
#include "library_session.h"
#include "sections.h"
#include "two_hop_floor.h"

namespace {

struct Idle {
    double wakeups_per_s;
    double cpu_ms_per_s;
};

Idle MeasureIdle(double seconds) {
    const int64_t settle_end = BenchNowNs() + 500000000;
    BenchSleepUntilNs(settle_end);
    const int64_t switches = BenchContextSwitches();
    const int64_t cpu = BenchProcessCpuNs();
    const int64_t start = BenchNowNs();
    BenchSleepUntilNs(start + (int64_t)(seconds * 1e9));
    const double elapsed = (double)(BenchNowNs() - start) / 1e9;
    Idle idle;
    idle.wakeups_per_s = switches < 0 ? -1 : (double)(BenchContextSwitches() - switches) / elapsed;
    idle.cpu_ms_per_s = (double)(BenchProcessCpuNs() - cpu) / 1e6 / elapsed;
    return idle;
}

void NoReport(void*, int, const uint8_t*, uint32_t) {}

}  // namespace

void RunIdleCost(const BenchOptions& options, Results* results) {
    LibrarySession session;
    if (!LibraryOpen(16, &session)) {
        fprintf(stderr, "idle: cannot open 16 simulated chips\n");
        return;
    }
    const Idle library = MeasureIdle(options.idle_seconds);
    LibraryClose(&session);

    FloorChannels* channels = FloorOpen(16, NoReport, nullptr);
    if (!channels) return;
    const Idle floor = MeasureIdle(options.idle_seconds);
    FloorClose(channels);

    TwoHopFloor* relays = TwoHopOpen(16);
    if (!relays) return;
    const Idle two_hop = MeasureIdle(options.idle_seconds);
    TwoHopClose(relays);

    if (library.wakeups_per_s >= 0) {
        Row row;
        row.section = "idle";
        row.name = "context switches per second, 16 open devices";
        row.unit = "per s";
        row.value = library.wakeups_per_s;
        row.floor = floor.wakeups_per_s;
        row.compare = COMPARE_DIFFERENCE;
        row.has_two_hop = true;
        row.two_hop = two_hop.wakeups_per_s;
        row.target = "~64 (4/dev)";
        row.met = row.value - row.floor <= 16 * 4 * 1.25 ? 1 : 0;
        row.note = "whole process, measuring thread included";
        AddRow(results, row);
    }
    Row cpu;
    cpu.section = "idle";
    cpu.name = "CPU per second, 16 open devices";
    cpu.unit = "ms/s";
    cpu.value = library.cpu_ms_per_s;
    cpu.floor = floor.cpu_ms_per_s;
    cpu.compare = COMPARE_DIFFERENCE;
    cpu.has_two_hop = true;
    cpu.two_hop = two_hop.cpu_ms_per_s;
    AddRow(results, cpu);
}
