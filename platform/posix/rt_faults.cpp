// Fault injection, call counts and live-object counters. Fault state is
// process-wide; a relaxed flag keeps the check off the fast path when no
// fault is armed.
#include <stdlib.h>
#include <string.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

RtCounters g_rt_counters;

struct RtFault {
    int armed;
    DWORD skip;
    DWORD count;  // 0: unlimited
    DWORD error;
    char name[128];  // empty: any call
};

static pthread_mutex_t g_fault_lock = PTHREAD_MUTEX_INITIALIZER;
static RtFault g_faults[PDXRT_CALL_COUNT];
static int g_any_armed;

// Call counts are kept per thread, so counting writes no cache line that
// other threads write. A reader sums the live threads' counts and the counts
// of ended threads (folded in at their end) under g_count_lock; a reset
// records the sums as the new zero, so no thread's counters are written by
// another.
struct RtCallCounts {
    RtCallCounts* next;
    RtCallCounts* prev;
    DWORD n[PDXRT_CALL_COUNT];
};

static pthread_mutex_t g_count_lock = PTHREAD_MUTEX_INITIALIZER;
static RtCallCounts* g_count_threads;
static DWORD g_ended_counts[PDXRT_CALL_COUNT];  // ended threads, and calls made while a thread ends
static DWORD g_zero_counts[PDXRT_CALL_COUNT];   // sums at the last reset
static pthread_key_t g_count_key;
static pthread_once_t g_count_once = PTHREAD_ONCE_INIT;
static thread_local RtCallCounts* t_counts;
static thread_local int t_counts_ended;

static void CountsEnd(void* p) {
    RtCallCounts* c = (RtCallCounts*)p;
    pthread_mutex_lock(&g_count_lock);
    for (int i = 0; i < PDXRT_CALL_COUNT; i++) g_ended_counts[i] += __atomic_load_n(&c->n[i], __ATOMIC_RELAXED);
    if (c->prev)
        c->prev->next = c->next;
    else
        g_count_threads = c->next;
    if (c->next) c->next->prev = c->prev;
    pthread_mutex_unlock(&g_count_lock);
    t_counts = nullptr;
    t_counts_ended = 1;
    free(c);
}

static void MakeCountKey(void) { pthread_key_create(&g_count_key, CountsEnd); }

static RtCallCounts* CountsStart(void) {
    if (t_counts_ended) return nullptr;
    RtCallCounts* c = (RtCallCounts*)RT_SYS(calloc)(1, sizeof(*c));
    if (!c) return nullptr;
    pthread_once(&g_count_once, MakeCountKey);
    pthread_mutex_lock(&g_count_lock);
    c->next = g_count_threads;
    if (c->next) c->next->prev = c;
    g_count_threads = c;
    pthread_mutex_unlock(&g_count_lock);
    pthread_setspecific(g_count_key, c);
    t_counts = c;
    return c;
}

static void CountCall(PdxRtCall call) {
    RtCallCounts* c = t_counts;
    if (!c && !(c = CountsStart())) {
        // Out of memory, or the thread's counters are already folded in.
        pthread_mutex_lock(&g_count_lock);
        g_ended_counts[call]++;
        pthread_mutex_unlock(&g_count_lock);
        return;
    }
    // Only this thread writes its counters: no locked instruction needed.
    __atomic_store_n(&c->n[call], __atomic_load_n(&c->n[call], __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
}

// g_count_lock held.
static DWORD CountSum(int call) {
    DWORD n = g_ended_counts[call];
    for (RtCallCounts* c = g_count_threads; c; c = c->next) n += __atomic_load_n(&c->n[call], __ATOMIC_RELAXED);
    return n;
}

static int IsModuleCall(PdxRtCall call) { return call == PDXRT_LoadLibraryA || call == PDXRT_GetModuleHandleA; }

int RtCallEnter(PdxRtCall call, const char* name) {
    CountCall(call);
    if (!__atomic_load_n(&g_any_armed, __ATOMIC_ACQUIRE)) return 1;
    int fail = 0;
    DWORD error = 0;
    pthread_mutex_lock(&g_fault_lock);
    RtFault* f = &g_faults[call];
    if (f->armed) {
        // Names of module calls were normalised when armed, as `name` is.
        int matches = f->name[0] == 0 || (name && strcmp(f->name, name) == 0);
        if (matches) {
            if (f->skip > 0) {
                f->skip--;
            } else {
                fail = 1;
                error = f->error;
                if (f->count > 0 && --f->count == 0) f->armed = 0;
            }
        }
    }
    pthread_mutex_unlock(&g_fault_lock);
    if (fail) RtSetError(error);
    return !fail;
}

static void Arm(PdxRtCall call, DWORD skip, DWORD count, DWORD error, const char* name) {
    if ((unsigned)call >= PDXRT_CALL_COUNT) return;
    pthread_mutex_lock(&g_fault_lock);
    RtFault* f = &g_faults[call];
    f->armed = 1;
    f->skip = skip;
    f->count = count;
    f->error = error;
    f->name[0] = 0;
    if (name) {
        if (IsModuleCall(call) && RtModuleName(name, f->name, sizeof(f->name))) {
            // kept normalised
        } else {
            strncpy(f->name, name, sizeof(f->name) - 1);
            f->name[sizeof(f->name) - 1] = 0;
        }
    }
    __atomic_store_n(&g_any_armed, 1, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_fault_lock);
}

extern "C" void pdxrt_fail_call(PdxRtCall call, DWORD skip, DWORD count, DWORD error) {
    Arm(call, skip, count, error, nullptr);
}

extern "C" void pdxrt_fail_named_call(PdxRtCall call, const char* name, DWORD error) {
    Arm(call, 0, 0, error, name ? name : "");
}

extern "C" void pdxrt_clear_faults(void) {
    pthread_mutex_lock(&g_fault_lock);
    memset(g_faults, 0, sizeof(g_faults));
    __atomic_store_n(&g_any_armed, 0, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_fault_lock);
}

extern "C" DWORD pdxrt_call_count(PdxRtCall call) {
    if ((unsigned)call >= PDXRT_CALL_COUNT) return 0;
    pthread_mutex_lock(&g_count_lock);
    DWORD n = CountSum(call) - g_zero_counts[call];
    pthread_mutex_unlock(&g_count_lock);
    return n;
}

extern "C" void pdxrt_reset_call_counts(void) {
    pthread_mutex_lock(&g_count_lock);
    for (int i = 0; i < PDXRT_CALL_COUNT; i++) g_zero_counts[i] = CountSum(i);
    pthread_mutex_unlock(&g_count_lock);
}

static DWORD Load(int* p) { return (DWORD)__atomic_load_n(p, __ATOMIC_RELAXED); }

extern "C" void pdxrt_get_counters(PdxRtCounters* out) {
    if (!out) return;
    out->handles = Load(&g_rt_counters.handles);
    out->events = Load(&g_rt_counters.events);
    out->mutexes = Load(&g_rt_counters.mutexes);
    out->threads = Load(&g_rt_counters.threads);
    out->running_threads = Load(&g_rt_counters.running_threads);
    out->files = Load(&g_rt_counters.files);
    out->heaps = Load(&g_rt_counters.heaps);
    out->heap_blocks = Load(&g_rt_counters.heap_blocks);
    out->pending_io = Load(&g_rt_counters.pending_io);
    out->queued_apcs = Load(&g_rt_counters.queued_apcs);
}
