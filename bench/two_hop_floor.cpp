#include "two_hop_floor.h"

#include <string.h>

#include "bench_floor.h"
#include "bench_platform.h"
#include "library_session.h"
#include "stream.h"

namespace {

const uint32_t kSlots = 8;
const uint32_t kReportSize = 5;

struct Ring {
    BenchSync* sync = nullptr;
    uint8_t slots[kSlots][kReportSize];
    uint32_t read = 0;
    uint32_t count = 0;
    uint8_t last[kReportSize] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
};

}  // namespace

struct TwoHopFloor {
    FloorChannels* channels = nullptr;
    int devices = 0;
    Ring rings[kBenchMaxDevices];
};

void TwoHopRelay(void* ctx, int channel, const uint8_t* report, uint32_t len) {
    Ring& ring = static_cast<TwoHopFloor*>(ctx)->rings[channel];
    uint8_t copy[kReportSize] = {0};
    memcpy(copy, report, len < kReportSize ? len : kReportSize);
    BenchSyncLock(ring.sync);
    memcpy(ring.slots[(ring.read + ring.count) % kSlots], copy, kReportSize);
    if (ring.count < kSlots)
        ring.count++;
    else
        ring.read = (ring.read + 1) % kSlots;  // full: the oldest went
    memcpy(ring.last, copy, kReportSize);
    BenchSyncUnlock(ring.sync);
    BenchSyncSignal(ring.sync);
}

// Lock held.
static bool PopLocked(Ring& ring, uint8_t* out) {
    if (ring.count == 0) return false;
    memcpy(out, ring.slots[ring.read], kReportSize);
    ring.read = (ring.read + 1) % kSlots;
    ring.count--;
    return true;
}

static bool TakeOne(Ring& ring, uint8_t* out, uint32_t timeout_ms) {
    const int64_t deadline = BenchNowNs() + (int64_t)timeout_ms * 1000000;
    BenchSyncLock(ring.sync);
    bool taken;
    while (!(taken = PopLocked(ring, out))) {
        const int64_t left = deadline - BenchNowNs();
        if (left <= 0) break;
        BenchSyncWait(ring.sync, (uint32_t)((left + 999999) / 1000000));
    }
    BenchSyncUnlock(ring.sync);
    return taken;
}

TwoHopFloor* TwoHopNew(int devices) {
    if (devices < 1 || devices > kBenchMaxDevices) return nullptr;
    TwoHopFloor* floor = new TwoHopFloor();
    floor->devices = devices;
    for (int d = 0; d < devices; d++) floor->rings[d].sync = BenchSyncNew();
    return floor;
}

TwoHopFloor* TwoHopOpen(int devices) {
    TwoHopFloor* floor = TwoHopNew(devices);
    if (!floor) return nullptr;
    floor->channels = FloorOpen(devices, TwoHopRelay, floor);
    if (!floor->channels) {
        TwoHopClose(floor);
        return nullptr;
    }
    return floor;
}

bool TwoHopSend(TwoHopFloor* floor, int device, const uint8_t* report, uint32_t len) {
    return FloorSend(floor->channels, device, report, len);
}

uint32_t TwoHopRead(TwoHopFloor* floor, int device, uint8_t* buffer, uint32_t length, uint32_t timeout_ms) {
    Ring& ring = floor->rings[device];
    uint32_t result = 0;
    uint8_t report[kReportSize];
    while (length - result >= kReportSize && TakeOne(ring, report, timeout_ms)) {
        memcpy(buffer + result, report, kReportSize);
        result += kReportSize;
    }
    return result;
}

bool TwoHopReadImmediate(TwoHopFloor* floor, int device, uint32_t* value) {
    Ring& ring = floor->rings[device];
    uint8_t report[kReportSize];
    BenchSyncLock(ring.sync);
    const bool taken = PopLocked(ring, report);
    if (!taken) memcpy(report, ring.last, kReportSize);
    BenchSyncUnlock(ring.sync);
    *value = ReportValue(report);
    return taken;
}

// Read without the lock, as the library's count is by the same benchmark:
// taking the lock here would warm the ring and the lock for the timed calls.
uint32_t TwoHopQueued(TwoHopFloor* floor, int device) {
    return __atomic_load_n(&floor->rings[device].count, __ATOMIC_ACQUIRE);
}

void TwoHopClose(TwoHopFloor* floor) {
    if (floor->channels) FloorClose(floor->channels);
    for (int d = 0; d < floor->devices; d++)
        if (floor->rings[d].sync) BenchSyncFree(floor->rings[d].sync);
    delete floor;
}
