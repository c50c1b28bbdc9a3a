#include "stream.h"

#include <stdio.h>

#include <atomic>
#include <memory>
#include <thread>

#include "bench_allocs.h"
#include "bench_floor.h"
#include "bench_platform.h"
#include "library_session.h"
#include "pdxsim.h"
#include "two_hop_floor.h"

namespace {

const uint32_t kReadTimeoutMs = 20;  // consumers notice the end of a run this fast
const uint32_t kReadManyTimeoutMs = 2;
const int64_t kQuietEndNs = 300000000;  // no report for this long: the rest is lost
const uint32_t kReportLength = 5;
const uint32_t kReadManyReports = 64;

// Touched only by the thread that consumes the device.
struct Tally {
    uint32_t expected = 0;
    uint64_t received = 0;
    uint64_t disorder = 0;
    int64_t finished_ns = 0;
};

struct Run {
    StreamPlan plan;
    uint64_t total = 0;
    std::unique_ptr<std::atomic<int64_t>[]> send_ns;  // per report, latency runs only
    std::unique_ptr<int64_t[]> latency_ns;
    Tally tally[kBenchMaxDevices];
    std::atomic<uint64_t> sent[kBenchMaxDevices];
    std::atomic<uint64_t> received{0};
    uint64_t refused = 0;  // sends the channel refused (buffer full): lost in the transport
    std::atomic<bool> sender_done{false};
    std::atomic<bool> stop{false};
    int64_t window_start_ns = 0;
    int64_t window_start_cpu = 0;
    uint64_t window_start_allocs = 0;
    int64_t send_start_ns = 0;
    int64_t send_end_ns = 0;
    LibrarySession session;
    FloorChannels* floor = nullptr;
    TwoHopFloor* two_hop = nullptr;
};

void OnReport(Run* run, int device, uint32_t seq) {
    Tally& t = run->tally[device];
    if (run->plan.record_latency && seq < run->total && seq >= run->plan.warmup_per_device) {
        const int64_t sent_at = run->send_ns[seq].load(std::memory_order_acquire);
        run->latency_ns[seq] = BenchNowNs() - sent_at;
    }
    if (seq < t.expected) t.disorder++;
    if (run->plan.print_gaps && seq > t.expected)
        fprintf(stderr, "gap dev %d: expected %u got %u (%u lost) at +%.3f ms\n", device, t.expected, seq,
                seq - t.expected, (BenchNowNs() - run->send_start_ns) / 1e6);
    t.expected = seq + 1;
    t.received++;
    run->received.fetch_add(1, std::memory_order_relaxed);
    if (run->sender_done.load(std::memory_order_acquire) &&
        t.received >= run->sent[device].load(std::memory_order_relaxed) && !t.finished_ns) {
        t.finished_ns = BenchNowNs();
    }
}

void OnFloorReport(void* ctx, int channel, const uint8_t* report, uint32_t len) {
    if (len >= kReportLength) OnReport(static_cast<Run*>(ctx), channel, ReportValue(report));
}

// The consumer's two calls, on the library or on the two-hop floor.
uint32_t ReadReports(Run* run, int device, uint8_t* buffer, uint32_t length) {
    if (run->plan.target == TARGET_TWO_HOP)
        return TwoHopRead(run->two_hop, device, buffer, length,
                          run->plan.mode == CONSUME_READ_MANY ? kReadManyTimeoutMs : kReadTimeoutMs);
    return PdxKitRead(run->session.handles[device], 0, buffer, length);
}

bool ReadImmediate(Run* run, int device, uint32_t* value) {
    if (run->plan.target == TARGET_TWO_HOP) return TwoHopReadImmediate(run->two_hop, device, value);
    return PdxKitReadImmediate(run->session.handles[device], value) != 0;
}

void Consume(Run* run, int device) {
    uint8_t buffer[kReadManyReports * kReportLength];
    while (!run->stop.load(std::memory_order_relaxed)) {
        if (run->plan.mode == CONSUME_READ_MANY) {
            const uint32_t n = ReadReports(run, device, buffer, sizeof buffer);
            for (uint32_t at = 0; at + kReportLength <= n; at += kReportLength)
                OnReport(run, device, ReportValue(buffer + at));
            continue;
        }
        if (ReadReports(run, device, buffer, kReportLength) == kReportLength)
            OnReport(run, device, ReportValue(buffer));
        if (run->plan.mode == CONSUME_READ_DRAIN) {
            uint32_t value;
            while (ReadImmediate(run, device, &value)) OnReport(run, device, value);
        }
    }
}

bool SendOne(Run* run, int device, const uint8_t* report) {
    if (run->plan.target == TARGET_FLOOR) return FloorSend(run->floor, device, report, kReportLength);
    if (run->plan.target == TARGET_TWO_HOP) return TwoHopSend(run->two_hop, device, report, kReportLength);
    return pdxsim_send_report(run->session.sim_device[device], 0, report, kReportLength) > 0;
}

void Send(Run* run) {
    AllocExcludeThisThread();
    const int devices = run->plan.devices;
    const double period_ns = 1e9 / (run->plan.rate_per_device * devices);
    const uint64_t warm_total = (uint64_t)run->plan.warmup_per_device * devices;
    const int64_t start = BenchNowNs() + 2000000;
    run->send_start_ns = start;
    for (uint64_t k = 0; k < run->total; k++) {
        if (k == warm_total) {
            run->window_start_ns = BenchNowNs();
            run->window_start_cpu = BenchProcessCpuNs();
            run->window_start_allocs = AllocCount();
        }
        const int64_t deadline = start + (int64_t)((double)k * period_ns);
        if (BenchNowNs() < deadline) BenchSleepUntilNs(deadline);
        const int device = (int)(k % devices);
        const uint32_t seq = (uint32_t)(k / devices);
        const uint8_t report[kReportLength] = {0, (uint8_t)seq, (uint8_t)(seq >> 8), (uint8_t)(seq >> 16),
                                               (uint8_t)(seq >> 24)};
        if (run->plan.record_latency) run->send_ns[seq].store(BenchNowNs(), std::memory_order_release);
        if (!SendOne(run, device, report)) run->refused++;
        run->sent[device].fetch_add(1, std::memory_order_relaxed);
    }
    run->send_end_ns = BenchNowNs();
    run->sender_done.store(true, std::memory_order_release);
}

// Waits until every device has its reports or nothing moves any more; the
// end of the window is the last consumer's last report.
int64_t WaitForEnd(Run* run) {
    uint64_t last_count = run->received.load();
    int64_t last_change = BenchNowNs();
    for (;;) {
        bool all = true;
        for (int d = 0; d < run->plan.devices; d++)
            if (run->tally[d].received < run->sent[d].load()) all = false;
        if (all && run->sender_done.load()) break;
        BenchSleepUntilNs(BenchNowNs() + 2000000);
        const uint64_t now_count = run->received.load();
        if (now_count != last_count) {
            last_count = now_count;
            last_change = BenchNowNs();
        } else if (run->sender_done.load() && BenchNowNs() - last_change > kQuietEndNs) {
            return last_change;
        }
    }
    int64_t end = 0;
    for (int d = 0; d < run->plan.devices; d++) end = run->tally[d].finished_ns > end ? run->tally[d].finished_ns : end;
    return end ? end : BenchNowNs();
}

}  // namespace

StreamResult RunStream(const StreamPlan& plan) {
    StreamResult result;
    std::unique_ptr<Run> run(new Run());
    run->plan = plan;
    for (auto& s : run->sent) s.store(0);
    run->total = plan.count_per_device ? (uint64_t)plan.count_per_device * plan.devices
                                       : (uint64_t)(plan.rate_per_device * plan.devices * plan.duration_ns / 1e9);
    if (run->total == 0 || plan.devices < 1 || plan.devices > kBenchMaxDevices) return result;
    if (plan.record_latency) {
        run->send_ns.reset(new std::atomic<int64_t>[run->total]);
        run->latency_ns.reset(new int64_t[run->total]());
    }

    std::vector<std::thread> consumers;
    if (plan.target == TARGET_FLOOR) {
        run->floor = FloorOpen(plan.devices, OnFloorReport, run.get());
        if (!run->floor) return result;
    } else if (plan.target == TARGET_TWO_HOP) {
        run->two_hop = TwoHopOpen(plan.devices);
        if (!run->two_hop) return result;
        for (int d = 0; d < plan.devices; d++) consumers.emplace_back(Consume, run.get(), d);
    } else {
        if (!LibraryOpen(plan.devices, &run->session)) return result;
        for (int d = 0; d < plan.devices; d++) {
            PdxKitSetTimeout(run->session.handles[d],
                             plan.mode == CONSUME_READ_MANY ? kReadManyTimeoutMs : kReadTimeoutMs);
            consumers.emplace_back(Consume, run.get(), d);
        }
    }

    std::thread sender(Send, run.get());
    sender.join();
    const int64_t end = WaitForEnd(run.get());
    const int64_t end_cpu = BenchProcessCpuNs();
    const uint64_t end_allocs = AllocCount();
    run->stop.store(true);
    for (std::thread& t : consumers) t.join();
    if (plan.target == TARGET_FLOOR)
        FloorClose(run->floor);
    else if (plan.target == TARGET_TWO_HOP)
        TwoHopClose(run->two_hop);
    else
        LibraryClose(&run->session);

    result.ok = true;
    result.sent = run->total;
    result.received = run->received.load();
    result.lost = result.sent > result.received ? result.sent - result.received : 0;
    for (int d = 0; d < plan.devices; d++) result.disorder += run->tally[d].disorder;
    result.refused = run->refused;
    const int64_t sending = run->send_end_ns - run->send_start_ns;
    result.achieved_rate = sending > 0 ? (double)run->total * 1e9 / (double)sending : 0;
    result.window_ns = end - run->window_start_ns;
    result.window_cpu_ns = end_cpu - run->window_start_cpu;
    result.window_allocs = end_allocs - run->window_start_allocs;
    const uint64_t warm_total = (uint64_t)plan.warmup_per_device * plan.devices;
    result.window_reports = result.received > warm_total ? result.received - warm_total : 0;
    if (plan.record_latency) {
        for (uint64_t k = plan.warmup_per_device; k < run->total; k++)
            if (run->latency_ns[k] > 0) result.latencies_ns.push_back(run->latency_ns[k]);
    }
    return result;
}
