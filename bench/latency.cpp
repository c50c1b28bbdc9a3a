// Report latency: from the simulated chip's send to PdxKitRead returning the
// report in an application thread, beside a thread blocked in a plain read
// of the same kind of channel (one-hop floor) and beside a plain relay and
// ring read the same way (two-hop floor), at the same pace; and the latency to
// PdxKitReadImmediate seeing a new pin state when polled in a tight loop.
#include <stdio.h>

#include <atomic>
#include <thread>

#include "bench_allocs.h"
#include "bench_platform.h"
#include "library_session.h"
#include "pdxsim.h"
#include "sections.h"
#include "stream.h"

static void AddPercentiles(Results* results, const char* what, std::vector<int64_t> library, std::vector<int64_t> floor,
                           std::vector<int64_t> two_hop, const char* note) {
    struct Level {
        const char* name;
        double percent;
        const char* target;
        double limit_ratio;  // to the two-hop floor
    } levels[] = {{"p50", 50, "<= 1.2x 2-hop", 1.2},
                  {"p99", 99, "<= 1.5x 2-hop", 1.5},
                  {"p99.9", 99.9, "", 0},
                  {"max", 100, "", 0}};
    for (const Level& level : levels) {
        Row row;
        row.section = "latency";
        row.name = std::string(what) + " " + level.name;
        row.unit = "us";
        row.value = Percentile(&library, level.percent) / 1000.0;
        row.floor = Percentile(&floor, level.percent) / 1000.0;
        row.compare = COMPARE_DIFFERENCE;
        row.has_two_hop = true;
        row.two_hop = Percentile(&two_hop, level.percent) / 1000.0;
        if (level.limit_ratio > 0) {
            row.target = level.target;
            row.met = TwoHopRatio(row) <= level.limit_ratio ? 1 : 0;
        }
        if (level.percent == 50) row.note = note;
        AddRow(results, row);
    }
}

// A thread spins on PdxKitReadImmediate; every report it takes is timed
// against its send.
static void ImmediateLatency(const BenchOptions& options, Results* results) {
    const uint32_t count = options.wine ? 5000 : 20000;
    const double rate = options.wine ? 1000 : 10000;
    LibrarySession session;
    if (!LibraryOpen(1, &session)) {
        fprintf(stderr, "latency: cannot open the simulated chip\n");
        return;
    }
    std::unique_ptr<std::atomic<int64_t>[]> sent(new std::atomic<int64_t>[count]);
    std::vector<int64_t> latencies;
    latencies.reserve(count);
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        uint32_t value;
        while (!stop.load(std::memory_order_relaxed)) {
            if (PdxKitReadImmediate(session.handles[0], &value) && value < count)
                latencies.push_back(BenchNowNs() - sent[value].load(std::memory_order_acquire));
        }
    });
    const int64_t start = BenchNowNs() + 2000000;
    for (uint32_t k = 0; k < count; k++) {
        BenchSleepUntilNs(start + (int64_t)(k * 1e9 / rate));
        const uint8_t report[5] = {0, (uint8_t)k, (uint8_t)(k >> 8), (uint8_t)(k >> 16), (uint8_t)(k >> 24)};
        sent[k].store(BenchNowNs(), std::memory_order_release);
        pdxsim_send_report(session.sim_device[0], 0, report, sizeof report);
    }
    BenchSleepUntilNs(BenchNowNs() + 50000000);
    stop.store(true);
    poller.join();
    LibraryClose(&session);

    char note[96];
    snprintf(note, sizeof note, "%.0f/s, %zu of %u seen", rate, latencies.size(), count);
    const char* names[] = {"p50", "p99", "p99.9", "max"};
    const double percents[] = {50, 99, 99.9, 100};
    for (int k = 0; k < 4; k++) {
        Row row;
        row.section = "latency";
        row.name = std::string("send -> PdxKitReadImmediate (tight poll) ") + names[k];
        row.unit = "us";
        row.value = Percentile(&latencies, percents[k]) / 1000.0;
        if (k == 0) row.note = note;
        AddRow(results, row);
    }
}

void RunLatency(const BenchOptions& options, Results* results) {
    StreamPlan plan;
    plan.devices = 1;
    plan.rate_per_device = options.latency_rate;
    plan.count_per_device = options.latency_reports + options.latency_reports / 50;
    plan.warmup_per_device = options.latency_reports / 50;
    plan.record_latency = true;
    plan.mode = CONSUME_READ_ONE;

    plan.target = TARGET_LIBRARY;
    StreamResult library = RunStream(plan);
    plan.target = TARGET_FLOOR;
    StreamResult floor = RunStream(plan);
    plan.target = TARGET_TWO_HOP;
    StreamResult two_hop = RunStream(plan);
    if (!library.ok || !floor.ok || !two_hop.ok) {
        fprintf(stderr, "latency: the run could not be made\n");
        return;
    }
    char note[128];
    snprintf(note, sizeof note, "%u reports at %.0f/s; lost %llu (floors %llu, %llu)", options.latency_reports,
             options.latency_rate, (unsigned long long)library.lost, (unsigned long long)floor.lost,
             (unsigned long long)two_hop.lost);
    AddPercentiles(results, "send -> PdxKitRead returns", library.latencies_ns, floor.latencies_ns,
                   two_hop.latencies_ns, note);

    Row allocs;
    allocs.section = "allocations";
    allocs.name = "heap allocations per report (PdxKitRead path)";
    allocs.unit = "allocs";
    if (AllocCountSupported() && library.window_reports) {
        allocs.value = (double)library.window_allocs / (double)library.window_reports;
        allocs.target = "0";
        allocs.met = library.window_allocs == 0 ? 1 : 0;
        char text[96];
        snprintf(text, sizeof text, "%llu allocations over %llu reports, sender excluded",
                 (unsigned long long)library.window_allocs, (unsigned long long)library.window_reports);
        allocs.note = text;
        AddRow(results, allocs);
    }

    ImmediateLatency(options, results);
}
