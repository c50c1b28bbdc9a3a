// The figures of one benchmark run: printed as one table and written as
// JSON with the same rows. A figure may stand beside the one-hop floor (the
// transport read by one thread) and the two-hop floor (the library's thread
// structure from plain primitives); targets apply to the ratio to the
// two-hop floor where there is one.
#ifndef PDXKIT_BENCH_RESULTS_H
#define PDXKIT_BENCH_RESULTS_H

#include <stdint.h>

#include <string>
#include <vector>

enum Compare {
    COMPARE_NONE,        // no floor beside the figure
    COMPARE_DIFFERENCE,  // value - floor (latency, CPU)
    COMPARE_RATIO        // value / floor (rates)
};

struct Row {
    std::string section;
    std::string name;
    std::string unit;
    double value = 0;
    double floor = 0;
    Compare compare = COMPARE_NONE;  // how the value compares with the one-hop floor
    bool has_two_hop = false;
    double two_hop = 0;  // the two-hop floor; compared as value / two_hop
    std::string target;  // e.g. "< 10" (applies to the compared figure when there is one)
    int met = -1;        // -1: no target, 0: missed, 1: met
    std::string note;
};

struct Results {
    std::string platform;
    std::string mode;          // "quick" or "full"
    bool informative = false;  // figures not held to the targets (Wine, the VM)
    std::string accel;         // the VM's CPU: "tcg" (emulated) or "kvm"; empty outside a VM
    std::string real_stack;    // the VM's results as JSON, written under "real_stack"; may be empty
    std::vector<Row> rows;
};

void AddRow(Results* results, const Row& row);
void PrintTable(const Results& results);
bool WriteJson(const Results& results, const std::string& path);

// Percentile (0..100) of samples, sorting them; 0 when empty.
double Percentile(std::vector<int64_t>* samples, double percent);
// value / two_hop, 0 when the floor is 0.
double TwoHopRatio(const Row& row);

#endif
