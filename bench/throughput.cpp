// Throughput without loss: the highest report rate that one device, and 16
// devices at once, sustain with zero reports lost, beside the rates of the
// one-hop and two-hop floors (the two-hop floor consumes the same way as the
// library).
// The rate is searched by doubling and then bisection with short runs, then
// held for the full duration (stepping down until it holds).
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench_floor.h"
#include "bench_platform.h"
#include "library_session.h"
#include "pdxsim.h"
#include "sections.h"
#include "stream.h"
#include "two_hop_floor.h"

namespace {

const double kStartRate = 8000;
const double kMaxRate = 4096000;
const int kBisections = 5;
const double kAchievedShare = 0.97;  // the sender must really have sent at the rate

struct Attempt {
    bool held;
    StreamResult result;
};

Attempt TryRate(StreamTarget target, ConsumeMode mode, int devices, double total_rate, double seconds) {
    StreamPlan plan;
    plan.target = target;
    plan.mode = mode;
    plan.devices = devices;
    plan.rate_per_device = total_rate / devices;
    plan.duration_ns = (int64_t)(seconds * 1e9);
    Attempt a;
    a.result = RunStream(plan);
    a.held = a.result.ok && a.result.lost == 0 && a.result.disorder == 0 &&
             a.result.achieved_rate >= kAchievedShare * total_rate;
    fprintf(stderr, "    %s %2d dev %9.0f/s for %.1fs: sent %llu lost %llu achieved %.0f/s -> %s\n",
            target == TARGET_FLOOR     ? "floor  "
            : target == TARGET_TWO_HOP ? "2-hop  "
                                       : "library",
            devices, total_rate, seconds, (unsigned long long)a.result.sent, (unsigned long long)a.result.lost,
            a.result.achieved_rate, a.held ? "held" : "not held");
    return a;
}

// Highest total rate held for `options.throughput_seconds`; 0 if none.
double Search(const BenchOptions& options, StreamTarget target, ConsumeMode mode, int devices) {
    double good = 0, bad = 0;
    for (double rate = kStartRate; rate <= kMaxRate; rate *= 2) {
        if (TryRate(target, mode, devices, rate, options.search_seconds).held) {
            good = rate;
        } else {
            bad = rate;
            break;
        }
    }
    if (bad == 0) bad = kMaxRate * 2;
    double low = good, high = bad;
    if (low == 0) low = 0;
    for (int k = 0; k < kBisections; k++) {
        const double mid = (low + high) / 2;
        if (mid < 250) break;
        if (TryRate(target, mode, devices, mid, options.search_seconds).held)
            low = mid;
        else
            high = mid;
    }
    // Hold it for the whole duration; step down until it holds (in steps
    // of 10 % down to less than half, then halving, so that a noisy machine
    // still ends without a coarse figure).
    double rate = low;
    for (int tries = 0; tries < 14 && rate >= 250; tries++) {
        if (TryRate(target, mode, devices, rate, options.throughput_seconds).held) return rate;
        rate *= tries < 8 ? 0.9 : 0.5;
    }
    return 0;
}

// `needed`: a rate; `needed_ratio`: a share of the two-hop floor's rate.
void AddRate(Results* results, const char* name, double library, double floor, double two_hop, const char* target,
             double needed, double needed_ratio, const std::string& note) {
    Row row;
    row.section = "throughput";
    row.name = name;
    row.unit = "reports/s";
    row.value = library;
    row.floor = floor;
    row.compare = COMPARE_RATIO;
    row.has_two_hop = true;
    row.two_hop = two_hop;
    if (needed > 0 || needed_ratio > 0) {
        row.target = target;
        row.met = library >= needed && TwoHopRatio(row) >= needed_ratio ? 1 : 0;
    }
    row.note = note;
    AddRow(results, row);
}

void CountFloorReport(void* ctx, int, const uint8_t*, uint32_t) {
    static_cast<std::atomic<uint64_t>*>(ctx)->fetch_add(1);
}

// Bursts of `burst` reports sent back to back to an idle device, 20 ms
// apart; how many of them the application gets. Shows where a backlog in
// the channel (the reader fell behind) goes.
double BurstKept(StreamTarget target, uint32_t burst, int rounds) {
    std::atomic<uint64_t> received{0};
    std::atomic<bool> stop{false};
    LibrarySession session;
    FloorChannels* floor = nullptr;
    TwoHopFloor* two_hop = nullptr;
    std::thread consumer;
    if (target == TARGET_FLOOR) {
        floor = FloorOpen(1, CountFloorReport, &received);
        if (!floor) return 0;
    } else if (target == TARGET_TWO_HOP) {
        two_hop = TwoHopOpen(1);
        if (!two_hop) return 0;
        consumer = std::thread([&] {
            uint8_t report[5];
            uint32_t value;
            while (!stop.load()) {
                if (TwoHopRead(two_hop, 0, report, sizeof report, 20) == sizeof report) received++;
                while (TwoHopReadImmediate(two_hop, 0, &value)) received++;
            }
        });
    } else {
        if (!LibraryOpen(1, &session)) return 0;
        PdxKitSetTimeout(session.handles[0], 20);
        consumer = std::thread([&] {
            uint8_t report[5];
            uint32_t value;
            while (!stop.load()) {
                if (PdxKitRead(session.handles[0], 0, report, sizeof report) == sizeof report) received++;
                while (PdxKitReadImmediate(session.handles[0], &value)) received++;
            }
        });
    }
    for (int r = 0; r < rounds; r++) {
        BenchSleepUntilNs(BenchNowNs() + 20000000);
        for (uint32_t k = 0; k < burst; k++) {
            const uint8_t report[5] = {0, (uint8_t)k, 0, 0, 0};
            if (target == TARGET_FLOOR)
                FloorSend(floor, 0, report, sizeof report);
            else if (target == TARGET_TWO_HOP)
                TwoHopSend(two_hop, 0, report, sizeof report);
            else
                pdxsim_send_report(session.sim_device[0], 0, report, sizeof report);
        }
    }
    BenchSleepUntilNs(BenchNowNs() + 200000000);
    stop.store(true);
    if (target == TARGET_FLOOR) {
        FloorClose(floor);
    } else if (target == TARGET_TWO_HOP) {
        consumer.join();
        TwoHopClose(two_hop);
    } else {
        consumer.join();
        LibraryClose(&session);
    }
    return (double)received.load() / rounds;
}

// A consumer that takes one report per wake-up loses one as soon as it is
// held up for 8 reports' time: at a few thousand reports/s a single stall of
// the machine decides a search. The library and the two-hop floor are
// searched in turns, so that both meet the same stalls, and each figure is
// the median of its searches.
const int kTurns = 3;
void SearchInTurns(const BenchOptions& options, ConsumeMode mode, double* library, double* two_hop) {
    double lib[kTurns], two[kTurns];
    for (int k = 0; k < kTurns; k++) {
        lib[k] = Search(options, TARGET_LIBRARY, mode, 1);
        two[k] = Search(options, TARGET_TWO_HOP, mode, 1);
    }
    std::sort(lib, lib + kTurns);
    std::sort(two, two + kTurns);
    *library = lib[kTurns / 2];
    *two_hop = two[kTurns / 2];
}

}  // namespace

void RunThroughput(const BenchOptions& options, Results* results) {
    char note[96];
    snprintf(note, sizeof note, "zero loss for %.0f s; read 1 + ReadImmediate drain", options.throughput_seconds);
    const double floor1 = Search(options, TARGET_FLOOR, CONSUME_READ_DRAIN, 1);
    const double two1 = Search(options, TARGET_TWO_HOP, CONSUME_READ_DRAIN, 1);
    const double lib1 = Search(options, TARGET_LIBRARY, CONSUME_READ_DRAIN, 1);
    AddRate(results, "1 device, sustained without loss", lib1, floor1, two1, ">= 100000", 100000, 0, note);
    const double floor16 = Search(options, TARGET_FLOOR, CONSUME_READ_DRAIN, 16);
    const double two16 = Search(options, TARGET_TWO_HOP, CONSUME_READ_DRAIN, 16);
    const double lib16 = Search(options, TARGET_LIBRARY, CONSUME_READ_DRAIN, 16);
    AddRate(results, "16 devices (total), sustained without loss", lib16, floor16, two16, ">= 200000", 200000, 0, note);

    const uint32_t burst = 32;
    Row kept;
    kept.section = "throughput";
    kept.name = "reports kept of a burst of 32 sent at once";
    kept.unit = "reports";
    kept.value = BurstKept(TARGET_LIBRARY, burst, 50);
    kept.floor = BurstKept(TARGET_FLOOR, burst, 50);
    kept.compare = COMPARE_RATIO;
    kept.has_two_hop = true;
    kept.two_hop = BurstKept(TARGET_TWO_HOP, burst, 50);
    kept.note = "mean of 50 bursts; the reader moves a backlog into the 8-report queue";
    AddRow(results, kept);

    // The other ways an application can consume, one device; the two-hop
    // floor's consumer reads the same way.
    double one = 0, two_one = 0;
    SearchInTurns(options, CONSUME_READ_ONE, &one, &two_one);
    snprintf(note, sizeof note, "median of %d searches each, library and 2-hop in turns", kTurns);
    AddRate(results, "1 device, consumer: PdxKitRead 1 report per call", one, floor1, two_one, ">= 0.8x 2-hop", 0, 0.8,
            note);
    const double many = Search(options, TARGET_LIBRARY, CONSUME_READ_MANY, 1);
    const double two_many = Search(options, TARGET_TWO_HOP, CONSUME_READ_MANY, 1);
    AddRate(results, "1 device, consumer: PdxKitRead 64 reports, 2 ms timeout", many, floor1, two_many, "", 0, 0, "");
}
