// Events: manual-reset (wakes every waiter, stays signalled) and auto-reset
// (hands the signal to exactly one waiter, or keeps it for the next wait).
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCSTR lpName) {
    if (!rt_call_enter(PDXRT_CreateEventA, nullptr)) return nullptr;
    if (lpName) {
        // Named objects are outside the subset.
        rt_set_error(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    RtEvent* e = (RtEvent*)RT_SYS(calloc)(1, sizeof(*e));
    if (!e) {
        rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    rt_object_init(&e->base, RT_EVENT);
    e->manual = bManualReset != 0;
    e->signalled = bInitialState != 0;
    RT_COUNT(events, 1);
    HANDLE h = rt_handle_alloc(&e->base);
    if (!h)
        rt_object_release(&e->base);
    else
        rt_set_error(ERROR_SUCCESS);
    return h;
}

void rt_event_destroy(RtEvent* e) {
    RT_COUNT(events, -1);
    free(e);
}

int rt_event_try_take(RtEvent* e, DWORD* result) {
    if (!e->signalled) return 0;
    if (!e->manual) e->signalled = 0;
    *result = WAIT_OBJECT_0;
    return 1;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (!rt_call_enter(PDXRT_SetEvent, nullptr)) return FALSE;
    RtEvent* e = (RtEvent*)rt_handle_get(hEvent, RT_EVENT);
    if (!e) return FALSE;
    // Waiters are woken after the lock is let go (up to a few; any beyond
    // are woken under it).
    RtThreadState* wake[8];
    int woken = 0;
    rt_lock(&e->base);
    if (e->manual) e->signalled = 1;
    RtWaiter* w;
    while ((e->manual || woken == 0) && (w = rt_waiter_pop(&e->base)) != nullptr) {
        if (woken < (int)(sizeof(wake) / sizeof(wake[0])))
            wake[woken++] = rt_waiter_satisfy_unwoken(w, WAIT_OBJECT_0);
        else
            rt_waiter_satisfy(w, WAIT_OBJECT_0);
    }
    if (!e->manual && woken == 0) e->signalled = 1;
    rt_unlock(&e->base);
    for (int k = 0; k < woken; k++) rt_wake_satisfied(wake[k]);
    rt_object_release(&e->base);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (!rt_call_enter(PDXRT_ResetEvent, nullptr)) return FALSE;
    RtEvent* e = (RtEvent*)rt_handle_get(hEvent, RT_EVENT);
    if (!e) return FALSE;
    rt_lock(&e->base);
    e->signalled = 0;
    rt_unlock(&e->base);
    rt_object_release(&e->base);
    return TRUE;
}
