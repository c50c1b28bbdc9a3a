// The two-hop floor: the library's thread structure built from plain
// primitives and none of its code. Per device, a relay thread blocked in
// the channel's read (the one-hop floor's reader) pushes each report into a
// mutex-protected ring of 8 that drops its oldest report when full, then
// wakes the consumer through a condition variable; the consumer takes
// reports the way PdxKitRead does. The difference between the two floors is
// what the design's second wake-up costs; the library's distance to this
// floor is what its code costs.
#ifndef PDXKIT_BENCH_TWO_HOP_FLOOR_H
#define PDXKIT_BENCH_TWO_HOP_FLOOR_H

#include <stdint.h>

struct TwoHopFloor;

// Opens `devices` channels and starts their relays; null on failure.
TwoHopFloor* TwoHopOpen(int devices);
// The rings alone, for relays over another transport (hidraw in the VM):
// each relay thread calls TwoHopRelay (a FloorReceiveFn, `floor` as its
// context) right after its read returned a report.
TwoHopFloor* TwoHopNew(int devices);
void TwoHopRelay(void* floor, int device, const uint8_t* report, uint32_t len);
// Sends one report into a device's channel (as FloorSend).
bool TwoHopSend(TwoHopFloor* floor, int device, const uint8_t* report, uint32_t len);
// As PdxKitRead on pipe 0: whole reports into the buffer, waiting up to
// `timeout_ms` for each, until the rest of the buffer cannot hold another.
uint32_t TwoHopRead(TwoHopFloor* floor, int device, uint8_t* buffer, uint32_t length, uint32_t timeout_ms);
// As PdxKitReadImmediate: the oldest queued report's pin value, or the last
// report's; true when a queued report was taken.
bool TwoHopReadImmediate(TwoHopFloor* floor, int device, uint32_t* value);
// Reports queued in a device's ring.
uint32_t TwoHopQueued(TwoHopFloor* floor, int device);
// Ends the relays it started and closes everything.
void TwoHopClose(TwoHopFloor* floor);

#endif
