// The transport's floor: the same kind of channel that the simulator gives
// the library (Linux: an AF_UNIX SOCK_SEQPACKET socketpair; Windows: a
// message-mode named pipe), each read by one thread blocked in a plain read.
// Reports travel with the same tag byte as the simulator's, so the bytes on
// the wire are the same.
#ifndef PDXKIT_BENCH_FLOOR_H
#define PDXKIT_BENCH_FLOOR_H

#include <stdint.h>

#include <vector>

// Runs in the channel's reader thread for every report, right after the read
// returned it (tag byte removed).
typedef void (*FloorReceiveFn)(void* ctx, int channel, const uint8_t* report, uint32_t len);

struct FloorChannels;

// Opens `count` channels and starts their readers; null on failure.
FloorChannels* FloorOpen(int count, FloorReceiveFn receive, void* ctx);
// Sends one report into a channel without blocking (Windows: the pipe write
// blocks while the pipe is full); false when the channel's buffer is full.
bool FloorSend(FloorChannels* floor, int channel, const uint8_t* report, uint32_t len);
// Ends the readers and closes everything.
void FloorClose(FloorChannels* floor);

// The write round trip's floor, over one fresh channel: the caller sends a
// write message of `len` bytes and blocks in a plain read until the
// 9-byte acknowledgement comes back from a device thread that is blocked in
// a plain read of the other end. One sample (ns) per call; false on failure.
bool FloorWriteRoundTrips(uint32_t len, uint32_t calls, std::vector<int64_t>* samples);

#endif
