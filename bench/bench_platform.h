// What the benchmark needs from the operating system: clocks, pacing sleeps,
// process CPU time and context switches. One implementation per platform
// (platform_posix.cpp, platform_win32.cpp), picked by the build.
#ifndef PDXKIT_BENCH_PLATFORM_H
#define PDXKIT_BENCH_PLATFORM_H

#include <stdint.h>

// "linux" or "windows (wine)".
const char* BenchPlatformName();
// Prepares the process for fine-grained sleeps (timer slack, timer period).
void BenchPrepareTimers();
// Real-time scheduling for this thread and every thread it creates later
// (Linux: SCHED_FIFO, needs CAP_SYS_NICE; Windows: high priority class), so
// that other load on a shared machine does not preempt the report path.
bool BenchSetRealtime();
// Monotonic time in nanoseconds.
int64_t BenchNowNs();
// Sleeps until the monotonic time `deadline_ns` (returns at once if past).
void BenchSleepUntilNs(int64_t deadline_ns);
// User + system CPU time of the whole process, nanoseconds.
int64_t BenchProcessCpuNs();
// Voluntary + involuntary context switches of the whole process so far;
// -1 when the platform cannot tell.
int64_t BenchContextSwitches();

// A lock and a condition variable of the system's own (Linux: pthread mutex
// and condition variable over futexes; Windows: critical section and
// condition variable), for the two-hop floor.
struct BenchSync;
BenchSync* BenchSyncNew();
void BenchSyncFree(BenchSync* sync);
void BenchSyncLock(BenchSync* sync);
void BenchSyncUnlock(BenchSync* sync);
// Wakes one waiter; with or without the lock held.
void BenchSyncSignal(BenchSync* sync);
// Lock held: releases it while waiting up to `ms` for a signal (or a
// spurious wake-up), then holds it again.
void BenchSyncWait(BenchSync* sync, uint32_t ms);

#endif
