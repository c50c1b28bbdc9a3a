// One paced stream of pipe-0 reports, from a sending thread that stands for
// the chips to consumers that check the sequence numbers in the data bytes:
// either through the library (simulated chips, application threads in
// PdxKitRead), through the one-hop floor (the same channels read directly)
// or through the two-hop floor (a plain relay and ring, two_hop_floor.h).
#ifndef PDXKIT_BENCH_STREAM_H
#define PDXKIT_BENCH_STREAM_H

#include <stdint.h>

#include <vector>

enum StreamTarget { TARGET_LIBRARY, TARGET_FLOOR, TARGET_TWO_HOP };

// How the application consumes pipe-0 reports.
enum ConsumeMode {
    CONSUME_READ_ONE,    // PdxKitRead of one report (5 bytes) per call
    CONSUME_READ_DRAIN,  // PdxKitRead of one report, then PdxKitReadImmediate until false
    CONSUME_READ_MANY    // PdxKitRead of 64 reports (320 bytes), 2 ms read timeout
};

struct StreamPlan {
    StreamTarget target = TARGET_LIBRARY;
    ConsumeMode mode = CONSUME_READ_DRAIN;
    int devices = 1;
    double rate_per_device = 1000;  // reports per second
    uint32_t count_per_device = 0;  // reports per device; 0: run for duration_ns
    int64_t duration_ns = 1000000000;
    uint32_t warmup_per_device = 0;  // reports before the measured window
    bool record_latency = false;     // one latency per report after the warm-up
    bool print_gaps = false;         // every gap in a device's sequence on stderr, as it is seen
};

struct StreamResult {
    bool ok = false;           // the run could be made at all
    uint64_t sent = 0;         // reports the sender made
    uint64_t received = 0;     // reports the consumers got
    uint64_t lost = 0;         // sent - received
    uint64_t refused = 0;      // of those lost: the channel's buffer was full at the send
    uint64_t disorder = 0;     // reports that came back out of sequence
    double achieved_rate = 0;  // sent per second of sending, all devices
    int64_t window_ns = 0;     // from the end of the warm-up to the last report taken
    int64_t window_cpu_ns = 0;
    uint64_t window_reports = 0;
    uint64_t window_allocs = 0;  // allocations by every thread but the sender's
    std::vector<int64_t> latencies_ns;
};

StreamResult RunStream(const StreamPlan& plan);

// Pin value of a 5-byte report: data bytes little-endian.
inline uint32_t ReportValue(const uint8_t* report) {
    return (uint32_t)report[1] | (uint32_t)report[2] << 8 | (uint32_t)report[3] << 16 | (uint32_t)report[4] << 24;
}

#endif
