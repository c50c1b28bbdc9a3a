// Announced lookups. A thread that looks up a handle announces the object
// in its own state before it checks that the handle still names it;
// CloseHandle empties the handle's slot first and then waits until no
// thread announces the object. So a lookup writes only its own thread's
// memory, never a line that other threads' lookups of the same handle write.
// The list of announcing threads changes under a lock, at a thread's first
// and last use of the runtime; the list is read under it, by closes only.
#include <sched.h>

#include "rt_internal.h"

static pthread_mutex_t g_hazard_lock = PTHREAD_MUTEX_INITIALIZER;
static RtThreadState* g_hazard_threads;

void RtHazardsLink(RtThreadState* ts) {
    pthread_mutex_lock(&g_hazard_lock);
    ts->hazard_prev = nullptr;
    ts->hazard_next = g_hazard_threads;
    if (g_hazard_threads) g_hazard_threads->hazard_prev = ts;
    g_hazard_threads = ts;
    ts->hazard_linked = 1;
    pthread_mutex_unlock(&g_hazard_lock);
}

void RtHazardsUnlink(RtThreadState* ts) {
    if (!ts->hazard_linked) return;
    PDX_ASSERT(ts->hazard_depth == 0);
    pthread_mutex_lock(&g_hazard_lock);
    if (ts->hazard_prev)
        ts->hazard_prev->hazard_next = ts->hazard_next;
    else
        g_hazard_threads = ts->hazard_next;
    if (ts->hazard_next) ts->hazard_next->hazard_prev = ts->hazard_prev;
    ts->hazard_linked = 0;
    pthread_mutex_unlock(&g_hazard_lock);
}

// A thread that is not listed (its end would never unlist it), or one with
// no announcement left, looks up under the list's lock and takes a
// reference: a close that emptied the slot after the look waits for the
// lock before it lets go of the object.
RtObject* RtHazardsRefUnlisted(const uint64_t* word) {
    pthread_mutex_lock(&g_hazard_lock);
    RtObject* obj = (RtObject*)(uintptr_t)__atomic_load_n(word, __ATOMIC_ACQUIRE);
    if (obj) RtObjectRef(obj);
    pthread_mutex_unlock(&g_hazard_lock);
    return obj;
}

static bool Announced(const RtObject* obj) {
    for (RtThreadState* ts = g_hazard_threads; ts; ts = ts->hazard_next) {
        for (int d = 0; d < RT_HAZARDS; d++) {
            if (__atomic_load_n(&ts->hazards[d], __ATOMIC_SEQ_CST) == obj) return true;
        }
    }
    return false;
}

// The slot was emptied (sequentially consistent) before this: a lookup
// that announces the object later sees the slot empty and gives up. One
// that announced it earlier is in a call that does not wait, so this ends.
void RtHazardsWaitFor(const RtObject* obj) {
    for (;;) {
        pthread_mutex_lock(&g_hazard_lock);
        const bool announced = Announced(obj);
        pthread_mutex_unlock(&g_hazard_lock);
        if (!announced) return;
        sched_yield();
    }
}
