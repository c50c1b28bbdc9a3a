// pdxbench_real_stack: the real-stack section of `make bench`, run inside
// the test VM (tests/vm/run-vm.sh ... bench) on the real kernel's USB and
// HID stack. One chip (the test firmware on dummy_hcd) feeds, in turn, the
// one-hop floor (a thread blocked in a plain read of its /dev/hidrawN), the
// two-hop floor over the same node, and the library; each consumer takes
// one report per call.
//   pdxbench_real_stack <build dir> <json path>
// Latency: the firmware stamps each report with the monotonic clock just
// before its write on /dev/hidgN; the consumer subtracts it when its read
// returns. Rate, loss and CPU: the firmware writes a burst back to back, so
// the stack sets the pace (f_hid takes one report per interrupt transfer).
// Under emulation (TCG) the figures are informative only.
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "child_process.h"
#include "hidraw_reader.h"
#include "pdxkit.h"
#include "results.h"
#include "stream.h"
#include "two_hop_floor.h"

namespace {

const char kSection[] = "real-stack";
const int kRounds = 3;
const uint32_t kLatencyReports = 1200;  // over all rounds
const uint32_t kLatencyRate = 250;
const uint32_t kBurstReports = 3000;
const uint32_t kFirstSequence = 0x10000;
const int64_t kQuietEndNs = 1000000000;        // no report for this long after the burst: the rest were lost
const int64_t kPhaseLimitNs = 300000000000LL;  // a phase that takes longer has failed

enum Target { TARGET_ONE_HOP, TARGET_TWO_HOP, TARGET_PDXKIT, kTargets };
const char* const kTargetNames[kTargets] = {"one-hop floor", "two-hop floor", "pdxkit"};

// What one consumer saw; filled where its read returned (for the one-hop
// floor in the reader thread, so under the lock).
struct Tally {
    std::mutex lock;
    bool stamped = false;
    uint64_t received = 0;
    int64_t first_ns = 0, last_ns = 0;
    std::vector<int64_t> latencies_ns;
};

void Record(void* ctx, int, const uint8_t* report, uint32_t len) {
    const int64_t now = BenchNowNs();
    Tally* tally = static_cast<Tally*>(ctx);
    if (len < 5) return;
    std::lock_guard<std::mutex> hold(tally->lock);
    if (tally->stamped) {
        // Both clocks in microseconds, modulo 2^32.
        const uint32_t age_us = (uint32_t)(now / 1000) - ReportValue(report);
        tally->latencies_ns.push_back((int64_t)age_us * 1000);
    }
    if (!tally->received) tally->first_ns = now;
    tally->last_ns = now;
    tally->received++;
}

// One target's figures, summed over the rounds.
struct Measure {
    uint64_t received = 0;
    uint64_t intervals = 0;  // between reports taken in the same round
    int64_t active_ns = 0;   // first to last report taken, each round
    int64_t cpu_ns = 0;      // the whole process (readers, relays, consumer), each round
    std::vector<int64_t> latencies_ns;
};

// The chip and the hidraw node of its pipe 0.
struct Bench {
    Child* chip = nullptr;
    std::string node;
};

PdxKitHandle OpenLibrary() {
    if (!PdxKitOpenDevice() || PdxKitGetNumDevs() != 1) return nullptr;
    PdxKitHandle handle = PdxKitGetDeviceHandle(1);
    PdxKitSetTimeout(handle, 100);
    return handle;
}

// Sends `command` to the chip and consumes what comes through `target`
// until the chip has sent `count` reports and they all came (or none came
// for a while); adds the figures to `m`. False when nothing came.
bool Run(Bench& bench, Target target, const std::string& command, uint32_t count, bool stamped, Measure* m) {
    Tally tally;
    tally.stamped = stamped;
    HidrawReader* reader = nullptr;
    TwoHopFloor* two_hop = nullptr;
    PdxKitHandle handle = nullptr;
    if (target == TARGET_ONE_HOP) {
        reader = HidrawReaderStart(bench.node.c_str(), Record, &tally);
    } else if (target == TARGET_TWO_HOP) {
        two_hop = TwoHopNew(1);
        reader = HidrawReaderStart(bench.node.c_str(), TwoHopRelay, two_hop);
    } else {
        handle = OpenLibrary();
    }
    if (!reader && !handle) {
        fprintf(stderr, "pdxbench_real_stack: cannot open the %s\n", kTargetNames[target]);
        if (two_hop) TwoHopClose(two_hop);
        return false;
    }
    const int64_t start_ns = BenchNowNs();
    const int64_t start_cpu = BenchProcessCpuNs();
    bool sent = false;
    int64_t next_check = start_ns;
    const bool asked = bench.chip->Send(command);
    while (asked) {
        uint8_t report[5];
        if (target == TARGET_TWO_HOP && TwoHopRead(two_hop, 0, report, sizeof report, 100) == sizeof report)
            Record(&tally, 0, report, sizeof report);
        else if (target == TARGET_PDXKIT && PdxKitRead(handle, 0, report, sizeof report) == sizeof report)
            Record(&tally, 0, report, sizeof report);
        else if (target == TARGET_ONE_HOP)
            BenchSleepUntilNs(BenchNowNs() + 20000000);  // the reader thread is the consumer
        const int64_t now = BenchNowNs();
        if (now < next_check) continue;
        next_check = now + 20000000;
        if (!sent) sent = !bench.chip->Expect("sent", std::chrono::seconds(0)).empty();
        std::lock_guard<std::mutex> hold(tally.lock);
        if (sent && (tally.received >= count || now - std::max(tally.last_ns, start_ns) > kQuietEndNs)) break;
        if (now - start_ns > kPhaseLimitNs) {
            fprintf(stderr, "pdxbench_real_stack: %s: %llu of %u reports after %lld s%s\n", kTargetNames[target],
                    (unsigned long long)tally.received, count, (long long)(kPhaseLimitNs / 1000000000),
                    sent ? "" : ", the chip did not finish");
            break;
        }
    }
    const int64_t cpu_ns = BenchProcessCpuNs() - start_cpu;
    if (reader) HidrawReaderStop(reader);
    if (two_hop) TwoHopClose(two_hop);
    if (handle) PdxKitCloseDevice(handle);
    m->received += tally.received;
    if (tally.received > 1) m->intervals += tally.received - 1;
    m->active_ns += tally.last_ns - tally.first_ns;
    m->cpu_ns += cpu_ns;
    m->latencies_ns.insert(m->latencies_ns.end(), tally.latencies_ns.begin(), tally.latencies_ns.end());
    fprintf(stderr, "  %-14s %-22s %5llu of %u reports, %4.0f/s\n", kTargetNames[target], command.c_str(),
            (unsigned long long)tally.received, count,
            tally.last_ns > tally.first_ns
                ? (double)(tally.received - 1) * 1e9 / (double)(tally.last_ns - tally.first_ns)
                : 0.0);
    return sent && tally.received > 0;
}

// A row of the library's figure beside both floors.
void AddFigure(Results* results, const std::string& name, const std::string& unit, Compare compare,
               const double (&values)[kTargets], const std::string& note = "") {
    Row row;
    row.section = kSection;
    row.name = name;
    row.unit = unit;
    row.value = values[TARGET_PDXKIT];
    row.floor = values[TARGET_ONE_HOP];
    row.compare = compare;
    row.has_two_hop = true;
    row.two_hop = values[TARGET_TWO_HOP];
    row.note = note;
    AddRow(results, row);
}

std::string Accel() {
    std::string accel = "unknown";
    FILE* f = fopen("/proc/cmdline", "r");
    if (!f) return accel;
    char line[1024] = {0};
    if (fgets(line, sizeof line, f)) {
        const char* at = strstr(line, "pdxaccel=");
        if (at) accel = std::string(at + 9, strcspn(at + 9, " \n"));
    }
    fclose(f);
    return accel;
}

// The hidraw node of the chip's interface 0 (its port reports).
std::string Pipe0Node() {
    for (int n = 0; n < 64; n++) {
        const std::string dir = "/sys/class/hidraw/hidraw" + std::to_string(n);
        FILE* f = fopen((dir + "/device/uevent").c_str(), "r");
        if (!f) continue;
        char line[256];
        bool ours = false, pipe0 = false;
        while (fgets(line, sizeof line, f)) {
            std::string l(line, strcspn(line, "\n"));
            if (l.rfind("HID_ID=", 0) == 0) ours = l.find("00002A10") != std::string::npos;
            if (l.rfind("HID_PHYS=", 0) == 0) pipe0 = l.size() >= 6 && l.compare(l.size() - 6, 6, "input0") == 0;
        }
        fclose(f);
        if (ours && pipe0) return "/dev/hidraw" + std::to_string(n);
    }
    return "";
}

bool RunAll(Bench& bench, Results* results) {
    Measure latency[kTargets], burst[kTargets];
    const uint32_t stamped_count = kLatencyReports / kRounds, burst_count = kBurstReports / kRounds;
    const std::string stamped = "stamped " + std::to_string(stamped_count) + " " + std::to_string(kLatencyRate);
    const std::string flood = "burst " + std::to_string(kFirstSequence) + " " + std::to_string(burst_count);
    // The targets take turns, round after round, so that a change in the
    // machine's load (the emulator shares it) falls on all of them.
    for (int round = 0; round < kRounds; round++) {
        for (int t = 0; t < kTargets; t++)
            if (!Run(bench, (Target)t, stamped, stamped_count, true, &latency[t])) return false;
        for (int t = 0; t < kTargets; t++)
            if (!Run(bench, (Target)t, flood, burst_count, false, &burst[t])) return false;
    }
    double p50[kTargets], p99[kTargets], rate[kTargets], kept[kTargets], cpu[kTargets];
    for (int t = 0; t < kTargets; t++) {
        const Measure& b = burst[t];
        p50[t] = Percentile(&latency[t].latencies_ns, 50) / 1000.0;
        p99[t] = Percentile(&latency[t].latencies_ns, 99) / 1000.0;
        rate[t] = b.active_ns > 0 ? (double)b.intervals * 1e9 / (double)b.active_ns : 0;
        kept[t] = 100.0 * (double)b.received / (burst_count * kRounds);
        cpu[t] = b.received ? (double)b.cpu_ns / 1000.0 / (double)b.received : 0;
    }
    const std::string paced = "(" + std::to_string(kLatencyRate) + "/s)";
    AddFigure(results, "latency p50, write on /dev/hidg to read return " + paced, "us", COMPARE_DIFFERENCE, p50);
    AddFigure(results, "latency p99", "us", COMPARE_DIFFERENCE, p99);
    AddFigure(results, "reports/s at the stack's pace, 1 report per read", "1/s", COMPARE_RATIO, rate);
    AddFigure(results, "reports kept of bursts of " + std::to_string(burst_count), "%", COMPARE_RATIO, kept);
    AddFigure(results, "CPU per report at the stack's pace", "us", COMPARE_DIFFERENCE, cpu);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pdxbench_real_stack <build dir> <json path>\n");
        return 2;
    }
    BenchPrepareTimers();
    Results results;
    utsname name;
    uname(&name);
    results.platform = std::string("linux VM (kernel ") + name.release + ", dummy_hcd)";
    results.mode = "real stack";
    results.informative = true;
    results.accel = Accel();
    fprintf(stderr, "pdxbench_real_stack: under %s\n", results.accel.c_str());

    Bench bench;
    bench.chip = new Child({std::string(argv[1]) + "/bin/pdxchip", "--udc", "dummy_udc.0", "--name", "a", "--product",
                            "0x2A10", "--revision", "0x0102", "--serial", "A1B2C3D4"});
    bool ok = bench.chip->Expect("ready") == "ready";
    if (!ok) fprintf(stderr, "pdxbench_real_stack: the chip did not start:\n%s", bench.chip->Seen().c_str());
    if (ok && !WaitForHidraw(2)) {
        fprintf(stderr, "pdxbench_real_stack: %d hidraw nodes, 2 expected\n", CountHidraw());
        ok = false;
    }
    if (ok && (bench.node = Pipe0Node()).empty()) {
        fprintf(stderr, "pdxbench_real_stack: no hidraw node for the chip's interface 0\n");
        ok = false;
    }
    if (ok) ok = RunAll(bench, &results);
    delete bench.chip;
    if (!ok) return 1;
    PrintTable(results);
    if (!WriteJson(results, argv[2])) {
        fprintf(stderr, "pdxbench_real_stack: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
