// CPU per report: process CPU time (user + system) per delivered report at
// 1,000 and 8,000 reports/s per device, for 1 and 16 devices. The sending
// side runs in this process too, so the floors (the same sender and a plain
// reader per channel; the same sender, relay and ring consumer) are measured
// beside it: the difference to the first is the library's cost, the ratio to
// the second what its code adds to its thread structure.
#include <stdio.h>

#include "bench_allocs.h"
#include "sections.h"
#include "stream.h"

static StreamResult Measure(const BenchOptions& options, StreamTarget target, int devices, double rate) {
    StreamPlan plan;
    plan.target = target;
    plan.mode = CONSUME_READ_DRAIN;
    plan.devices = devices;
    plan.rate_per_device = rate;
    plan.warmup_per_device = (uint32_t)(rate * 0.2);
    plan.count_per_device = plan.warmup_per_device + (uint32_t)(rate * options.cpu_seconds);
    return RunStream(plan);
}

static double PerReportUs(const StreamResult& r) {
    return r.window_reports ? (double)r.window_cpu_ns / 1000.0 / (double)r.window_reports : 0;
}

void RunCpuCost(const BenchOptions& options, Results* results) {
    const int device_counts[] = {1, 16};
    const double rates[] = {1000, 8000};
    for (int devices : device_counts) {
        for (double rate : rates) {
            StreamResult library = Measure(options, TARGET_LIBRARY, devices, rate);
            StreamResult floor = Measure(options, TARGET_FLOOR, devices, rate);
            StreamResult two_hop = Measure(options, TARGET_TWO_HOP, devices, rate);
            if (!library.ok || !floor.ok || !two_hop.ok) continue;
            Row row;
            row.section = "cpu";
            char name[96];
            snprintf(name, sizeof name, "CPU per report, %d device%s x %.0f/s", devices, devices > 1 ? "s" : "", rate);
            row.name = name;
            row.unit = "us";
            row.value = PerReportUs(library);
            row.floor = PerReportUs(floor);
            row.compare = COMPARE_DIFFERENCE;
            row.has_two_hop = true;
            row.two_hop = PerReportUs(two_hop);
            if (rate == 1000) {
                row.target = "<= 1.2x 2-hop";
                row.met = TwoHopRatio(row) <= 1.2 ? 1 : 0;
            } else {
                row.target = "< 5 added";
                row.met = row.value - row.floor < 5 ? 1 : 0;
            }
            char note[96];
            snprintf(note, sizeof note, "lost %llu (floors %llu, %llu)", (unsigned long long)library.lost,
                     (unsigned long long)floor.lost, (unsigned long long)two_hop.lost);
            row.note = note;
            AddRow(results, row);

            if (devices == 16 && rate == 8000 && AllocCountSupported() && library.window_reports) {
                Row allocs;
                allocs.section = "allocations";
                allocs.name = "heap allocations per report (16 devices, drain)";
                allocs.unit = "allocs";
                allocs.value = (double)library.window_allocs / (double)library.window_reports;
                allocs.target = "0";
                allocs.met = library.window_allocs == 0 ? 1 : 0;
                snprintf(note, sizeof note, "%llu allocations over %llu reports, sender excluded",
                         (unsigned long long)library.window_allocs, (unsigned long long)library.window_reports);
                allocs.note = note;
                AddRow(results, allocs);
            }
        }
    }
}
