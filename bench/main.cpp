// pdxbench: latency, throughput, CPU and call costs of pdxkit on simulated
// chips, each figure measured in the same run beside two floors: the
// transport's (one thread blocked in a plain read of the channel) and the
// library's thread structure from plain primitives (two_hop_floor.h).
//   pdxbench [--full] [--realtime] [--seconds S] [--json PATH] [--only a,b,...]
//            [--real-stack PATH]
//   pdxbench --probe library|floor|two-hop DEVICES RATE SECONDS [one|drain|many] [gaps]
//   pdxbench --probe-write PIPE CALLS
// Sections: latency, throughput, cpu, idle, calls. --full holds throughput
// rates for 10 s and runs longer CPU and idle windows. --realtime runs every
// thread under real-time scheduling, to keep other load on a shared machine
// out of the loss figures. --probe runs one
// stream and prints its counts (and, with "gaps", where reports went
// missing), for looking at it with perf or strace; --probe-write does the
// same for PdxKitWrite. --real-stack puts the JSON of the VM's run
// (pdxbench_real_stack) into this run's JSON under "real_stack".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bench_platform.h"
#include "sections.h"
#include "stream.h"

static int Probe(int argc, char** argv) {
    if (argc < 6) return 2;
    StreamPlan plan;
    plan.target = !strcmp(argv[2], "floor")     ? TARGET_FLOOR
                  : !strcmp(argv[2], "two-hop") ? TARGET_TWO_HOP
                                                : TARGET_LIBRARY;
    plan.devices = atoi(argv[3]);
    plan.rate_per_device = atof(argv[4]);
    plan.duration_ns = (int64_t)(atof(argv[5]) * 1e9);
    if (argc > 6) {
        plan.mode = !strcmp(argv[6], "one")    ? CONSUME_READ_ONE
                    : !strcmp(argv[6], "many") ? CONSUME_READ_MANY
                                               : CONSUME_READ_DRAIN;
    }
    plan.print_gaps = argc > 7 && !strcmp(argv[7], "gaps");
    BenchPrepareTimers();
    StreamResult r = RunStream(plan);
    printf(
        "sent %llu received %llu lost %llu (refused by the channel %llu) disorder %llu achieved %.0f/s cpu %.3f "
        "us/report allocs %llu\n",
        (unsigned long long)r.sent, (unsigned long long)r.received, (unsigned long long)r.lost,
        (unsigned long long)r.refused, (unsigned long long)r.disorder, r.achieved_rate,
        r.window_reports ? (double)r.window_cpu_ns / 1000.0 / (double)r.window_reports : 0.0,
        (unsigned long long)r.window_allocs);
    return r.ok ? 0 : 1;
}

static bool Wanted(const std::string& only, const char* section) {
    if (only.empty()) return true;
    std::string list = "," + only + ",";
    return list.find(std::string(",") + section + ",") != std::string::npos;
}

// The whole file, trailing white space removed; "" when unreadable.
static std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

static int Usage() {
    fprintf(stderr,
            "usage: pdxbench [--full] [--realtime] [--seconds S] [--json PATH] [--only "
            "latency,throughput,cpu,idle,calls] [--real-stack PATH]\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc > 1 && !strcmp(argv[1], "--probe")) return Probe(argc, argv);
    if (argc > 3 && !strcmp(argv[1], "--probe-write"))
        return ProbeWrites((uint32_t)atoi(argv[2]), (uint32_t)atoi(argv[3]));
    BenchOptions options;
    std::string json, only, real_stack;
    double seconds = 0;
    bool realtime = false;
    for (int k = 1; k < argc; k++) {
        if (!strcmp(argv[k], "--full")) {
            options.full = true;
        } else if (!strcmp(argv[k], "--realtime")) {
            realtime = true;
        } else if (!strcmp(argv[k], "--seconds") && k + 1 < argc) {
            seconds = atof(argv[++k]);
        } else if (!strcmp(argv[k], "--json") && k + 1 < argc) {
            json = argv[++k];
        } else if (!strcmp(argv[k], "--only") && k + 1 < argc) {
            only = argv[++k];
        } else if (!strcmp(argv[k], "--real-stack") && k + 1 < argc) {
            real_stack = argv[++k];
        } else {
            return Usage();
        }
    }
    BenchPrepareTimers();
    if (realtime && !BenchSetRealtime()) {
        fprintf(stderr, "pdxbench: real-time scheduling refused\n");
        return 1;
    }
    Results results;
    if (!real_stack.empty() && (results.real_stack = ReadFile(real_stack)).empty()) {
        fprintf(stderr, "pdxbench: cannot read %s\n", real_stack.c_str());
        return 1;
    }
    results.platform = BenchPlatformName();
    options.wine = results.platform != "linux";
    results.informative = options.wine;
    if (options.full) {
        options.throughput_seconds = 10;
        options.cpu_seconds = 10;
        options.idle_seconds = 10;
        options.search_seconds = 1;
    }
    if (options.wine) {
        // Wine's figures are informative: a gentler pace that its millisecond
        // sleeps can keep, and fewer reports.
        options.latency_rate = 2000;
        options.latency_reports = options.full ? 100000 : 20000;
    }
    if (seconds > 0) options.throughput_seconds = seconds;
    results.mode = std::string(options.full ? "full" : "quick") + (realtime ? ", real-time scheduling" : "");

    fprintf(stderr, "pdxbench: %s build, %s run\n", results.platform.c_str(), results.mode.c_str());
    if (Wanted(only, "latency")) RunLatency(options, &results);
    if (Wanted(only, "throughput")) RunThroughput(options, &results);
    if (Wanted(only, "cpu")) RunCpuCost(options, &results);
    if (Wanted(only, "idle")) RunIdleCost(options, &results);
    if (Wanted(only, "calls")) RunCallCosts(options, &results);

    PrintTable(results);
    if (!json.empty() && !WriteJson(results, json)) {
        fprintf(stderr, "pdxbench: cannot write %s\n", json.c_str());
        return 1;
    }
    return 0;
}
