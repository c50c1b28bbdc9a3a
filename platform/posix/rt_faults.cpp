// Fault injection, call counts and live-object counters. Fault state is
// process-wide; a relaxed flag keeps the check off the fast path when no
// fault is armed.
#include <string.h>

#include "rt_internal.h"

RtCounters rt_counters;

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
static DWORD g_call_counts[PDXRT_CALL_COUNT];

int rt_module_name(const char* in, char* out, size_t cap);

static int is_module_call(PdxRtCall call) { return call == PDXRT_LoadLibraryA || call == PDXRT_GetModuleHandleA; }

int rt_call_enter(PdxRtCall call, const char* name)
{
    __atomic_add_fetch(&g_call_counts[call], 1, __ATOMIC_RELAXED);
    if (!__atomic_load_n(&g_any_armed, __ATOMIC_ACQUIRE))
        return 1;
    int fail = 0;
    DWORD error = 0;
    pthread_mutex_lock(&g_fault_lock);
    RtFault* f = &g_faults[call];
    if (f->armed) {
        int matches = f->name[0] == 0;
        if (!matches && name) {
            matches = is_module_call(call) ? strcmp(f->name, name) == 0 : strcmp(f->name, name) == 0;
        }
        if (matches) {
            if (f->skip > 0) {
                f->skip--;
            } else {
                fail = 1;
                error = f->error;
                if (f->count > 0 && --f->count == 0)
                    f->armed = 0;
            }
        }
    }
    pthread_mutex_unlock(&g_fault_lock);
    if (fail)
        rt_set_error(error);
    return !fail;
}

static void arm(PdxRtCall call, DWORD skip, DWORD count, DWORD error, const char* name)
{
    if ((unsigned)call >= PDXRT_CALL_COUNT)
        return;
    pthread_mutex_lock(&g_fault_lock);
    RtFault* f = &g_faults[call];
    f->armed = 1;
    f->skip = skip;
    f->count = count;
    f->error = error;
    f->name[0] = 0;
    if (name) {
        if (is_module_call(call) && rt_module_name(name, f->name, sizeof(f->name))) {
            // kept normalised
        } else {
            strncpy(f->name, name, sizeof(f->name) - 1);
            f->name[sizeof(f->name) - 1] = 0;
        }
    }
    __atomic_store_n(&g_any_armed, 1, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_fault_lock);
}

extern "C" void pdxrt_fail_call(PdxRtCall call, DWORD skip, DWORD count, DWORD error)
{
    arm(call, skip, count, error, NULL);
}

extern "C" void pdxrt_fail_named_call(PdxRtCall call, const char* name, DWORD error)
{
    arm(call, 0, 0, error, name ? name : "");
}

extern "C" void pdxrt_clear_faults(void)
{
    pthread_mutex_lock(&g_fault_lock);
    memset(g_faults, 0, sizeof(g_faults));
    __atomic_store_n(&g_any_armed, 0, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_fault_lock);
}

extern "C" DWORD pdxrt_call_count(PdxRtCall call)
{
    if ((unsigned)call >= PDXRT_CALL_COUNT)
        return 0;
    return __atomic_load_n(&g_call_counts[call], __ATOMIC_RELAXED);
}

extern "C" void pdxrt_reset_call_counts(void)
{
    for (int i = 0; i < PDXRT_CALL_COUNT; i++)
        __atomic_store_n(&g_call_counts[i], 0, __ATOMIC_RELAXED);
}

static DWORD load(int* p) { return (DWORD)__atomic_load_n(p, __ATOMIC_RELAXED); }

extern "C" void pdxrt_get_counters(PdxRtCounters* out)
{
    if (!out)
        return;
    out->handles = load(&rt_counters.handles);
    out->events = load(&rt_counters.events);
    out->mutexes = load(&rt_counters.mutexes);
    out->threads = load(&rt_counters.threads);
    out->running_threads = load(&rt_counters.running_threads);
    out->files = load(&rt_counters.files);
    out->heaps = load(&rt_counters.heaps);
    out->heap_blocks = load(&rt_counters.heap_blocks);
    out->pending_io = load(&rt_counters.pending_io);
    out->queued_apcs = load(&rt_counters.queued_apcs);
}
