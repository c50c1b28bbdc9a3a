// The benchmark sections; each measures its figures beside their floor and
// adds its rows to the results.
#ifndef PDXKIT_BENCH_SECTIONS_H
#define PDXKIT_BENCH_SECTIONS_H

#include "results.h"

struct BenchOptions {
    bool full = false;
    bool wine = false;              // Windows build: smaller counts, informative figures
    double throughput_seconds = 2;  // the sustained run of the throughput figures (--full: 10)
    double search_seconds = 0.5;    // each step of the rate search
    double cpu_seconds = 2;
    double idle_seconds = 3;
    uint32_t latency_reports = 100000;
    // The high-speed limit of an interrupt endpoint: a pace real chips can
    // reach, at which the 8-report queue rarely has to drop.
    double latency_rate = 8000;
};

void RunLatency(const BenchOptions& options, Results* results);
void RunThroughput(const BenchOptions& options, Results* results);
void RunCpuCost(const BenchOptions& options, Results* results);
void RunIdleCost(const BenchOptions& options, Results* results);
void RunCallCosts(const BenchOptions& options, Results* results);
// PdxKitWrite round trips on one simulated chip, for looking at with strace
// or callgrind; prints the percentiles.
int ProbeWrites(uint32_t pipe, uint32_t calls);

#endif
