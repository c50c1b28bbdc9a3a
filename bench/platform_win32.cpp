// Windows (run under Wine): QueryPerformanceCounter, a 1 ms timer period,
// GetProcessTimes. Sleeps have millisecond granularity, so pacing catches up
// in small bursts; context switches are not available.
#include "bench_platform.h"

#include <windows.h>

const char* BenchPlatformName() { return "windows (wine)"; }

void BenchPrepareTimers() {
    typedef UINT(WINAPI * TimeBeginPeriodFn)(UINT);
    HMODULE winmm = LoadLibraryA("winmm.dll");
    if (!winmm) return;
    TimeBeginPeriodFn begin =
        reinterpret_cast<TimeBeginPeriodFn>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
    if (begin) begin(1);
}

bool BenchSetRealtime() { return SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS) != 0; }

int64_t BenchNowNs() {
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const int64_t f = frequency.QuadPart;
    return (now.QuadPart / f) * 1000000000 + (now.QuadPart % f) * 1000000000 / f;
}

void BenchSleepUntilNs(int64_t deadline_ns) {
    for (;;) {
        const int64_t left = deadline_ns - BenchNowNs();
        if (left <= 0) return;
        // Never spin: below the timer's grain the sleep ends late and the
        // absolute deadlines make the following reports catch up.
        Sleep(left >= 1000000 ? (DWORD)(left / 1000000) : 1);
    }
}

static int64_t FileTimeNs(const FILETIME& t) {
    return (int64_t)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime) * 100;
}

int64_t BenchProcessCpuNs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return FileTimeNs(kernel) + FileTimeNs(user);
}

int64_t BenchContextSwitches() { return -1; }

struct BenchSync {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE cond;
};

BenchSync* BenchSyncNew() {
    BenchSync* sync = new BenchSync;
    InitializeCriticalSection(&sync->lock);
    InitializeConditionVariable(&sync->cond);
    return sync;
}

void BenchSyncFree(BenchSync* sync) {
    DeleteCriticalSection(&sync->lock);
    delete sync;
}

void BenchSyncLock(BenchSync* sync) { EnterCriticalSection(&sync->lock); }
void BenchSyncUnlock(BenchSync* sync) { LeaveCriticalSection(&sync->lock); }
void BenchSyncSignal(BenchSync* sync) { WakeConditionVariable(&sync->cond); }
void BenchSyncWait(BenchSync* sync, uint32_t ms) { SleepConditionVariableCS(&sync->cond, &sync->lock, ms); }
