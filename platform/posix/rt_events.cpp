// Events: manual-reset (wakes every waiter, stays signalled) and auto-reset
// (hands the signal to exactly one waiter, or keeps it for the next wait).
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCSTR lpName) {
    if (!RtCallEnter(PDXRT_CreateEventA, nullptr)) return nullptr;
    if (lpName) {
        // Named objects are outside the subset.
        RtSetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    RtEvent* e = (RtEvent*)RT_SYS(calloc)(1, sizeof(*e));
    if (!e) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    RtObjectInit(&e->base, RT_EVENT);
    e->manual = bManualReset != 0;
    e->signalled = bInitialState != 0;
    RT_COUNT(events, 1);
    HANDLE h = RtHandleAlloc(&e->base);
    if (!h)
        RtObjectRelease(&e->base);
    else
        RtSetError(ERROR_SUCCESS);
    return h;
}

void RtEventDestroy(RtEvent* e) {
    RT_COUNT(events, -1);
    free(e);
}

int RtEventTryTake(RtEvent* e, DWORD* result) {
    PDX_ASSERT(RtLockHeld(&e->base));
    if (!e->signalled) return 0;
    if (!e->manual) e->signalled = 0;
    *result = WAIT_OBJECT_0;
    return 1;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (!RtCallEnter(PDXRT_SetEvent, nullptr)) return FALSE;
    RtPin pin;
    RtEvent* e = (RtEvent*)RtHandlePin(hEvent, RT_EVENT, &pin);
    if (!e) return FALSE;
    // Waiters are woken after the lock is let go (up to a few; any beyond
    // are woken under it).
    RtThreadState* wake[8];
    int woken = 0;
    RtLock(&e->base);
    if (e->manual) e->signalled = 1;
    RtWaiter* w;
    while ((e->manual || woken == 0) && (w = RtWaiterPop(&e->base)) != nullptr) {
        if (woken < (int)(sizeof(wake) / sizeof(wake[0])))
            wake[woken++] = RtWaiterSatisfyUnwoken(w, WAIT_OBJECT_0);
        else
            RtWaiterSatisfy(w, WAIT_OBJECT_0);
    }
    if (!e->manual && woken == 0) e->signalled = 1;
    RtUnlock(&e->base);
    for (int k = 0; k < woken; k++) RtWakeSatisfied(wake[k]);
    RtHandleUnpin(&pin);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (!RtCallEnter(PDXRT_ResetEvent, nullptr)) return FALSE;
    RtPin pin;
    RtEvent* e = (RtEvent*)RtHandlePin(hEvent, RT_EVENT, &pin);
    if (!e) return FALSE;
    RtLock(&e->base);
    e->signalled = 0;
    RtUnlock(&e->base);
    RtHandleUnpin(&pin);
    return TRUE;
}
