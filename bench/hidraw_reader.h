// A thread blocked in a plain read() of one hidraw node (Linux only; the
// real-stack benchmark in the test VM): the one-hop floor over the real
// HID stack, and the relay of the two-hop floor there.
#ifndef PDXKIT_BENCH_HIDRAW_READER_H
#define PDXKIT_BENCH_HIDRAW_READER_H

#include "bench_floor.h"

struct HidrawReader;

// Opens the node and starts its thread, which passes every report to
// `receive` as the library returns it (a report ID byte of 0, then the
// data), right after its read returned; null on failure.
HidrawReader* HidrawReaderStart(const char* path, FloorReceiveFn receive, void* ctx);
// Ends the thread and closes the node.
void HidrawReaderStop(HidrawReader* reader);

#endif
