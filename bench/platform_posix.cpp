// Linux: CLOCK_MONOTONIC, absolute-deadline sleeps with 1 ns timer slack
// (the default 50 us slack would swallow the pacing period), getrusage.
#include "bench_platform.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

const char* BenchPlatformName() { return "linux"; }

void BenchPrepareTimers() { prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); }

bool BenchSetRealtime() {
    struct sched_param param;
    param.sched_priority = 10;
    return sched_setscheduler(0, SCHED_FIFO, &param) == 0;
}

int64_t BenchNowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void BenchSleepUntilNs(int64_t deadline_ns) {
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline_ns / 1000000000);
    ts.tv_nsec = (long)(deadline_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

int64_t BenchProcessCpuNs() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ((int64_t)ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000000 +
           ((int64_t)ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1000;
}

int64_t BenchContextSwitches() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (int64_t)ru.ru_nvcsw + ru.ru_nivcsw;
}

struct BenchSync {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

BenchSync* BenchSyncNew() {
    BenchSync* sync = new BenchSync;
    pthread_mutex_init(&sync->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&sync->cond, &attr);
    pthread_condattr_destroy(&attr);
    return sync;
}

void BenchSyncFree(BenchSync* sync) {
    pthread_cond_destroy(&sync->cond);
    pthread_mutex_destroy(&sync->mutex);
    delete sync;
}

void BenchSyncLock(BenchSync* sync) { pthread_mutex_lock(&sync->mutex); }
void BenchSyncUnlock(BenchSync* sync) { pthread_mutex_unlock(&sync->mutex); }
void BenchSyncSignal(BenchSync* sync) { pthread_cond_signal(&sync->cond); }

void BenchSyncWait(BenchSync* sync, uint32_t ms) {
    const int64_t deadline = BenchNowNs() + (int64_t)ms * 1000000;
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline / 1000000000);
    ts.tv_nsec = (long)(deadline % 1000000000);
    pthread_cond_timedwait(&sync->cond, &sync->mutex, &ts);
}
