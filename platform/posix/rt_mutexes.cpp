// Mutexes: owned by a thread, recursive, handed directly to the next waiter
// on release; a mutex whose owner ended goes to the next waiter with
// WAIT_ABANDONED. The uncontended acquire and release take only the object's
// futex-based lock, so they make no system call.
#include <stdlib.h>

#include "rt_internal.h"

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    if (!rt_call_enter(PDXRT_CreateMutexA, NULL))
        return NULL;
    if (lpName) {
        rt_set_error(ERROR_NOT_SUPPORTED);
        return NULL;
    }
    RtMutex* m = (RtMutex*)calloc(1, sizeof(*m));
    if (!m) {
        rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    rt_object_init(&m->base, RT_MUTEX);
    RT_COUNT(mutexes, 1);
    HANDLE h = rt_handle_alloc(&m->base);
    if (!h) {
        rt_object_release(&m->base);
        return NULL;
    }
    if (bInitialOwner) {
        RtThreadState* ts = rt_self();
        m->owner = ts;
        m->count = 1;
        rt_mutex_note_owned(m, ts);
    }
    rt_set_error(ERROR_SUCCESS);
    return h;
}

void rt_mutex_destroy(RtMutex* m)
{
    RT_COUNT(mutexes, -1);
    free(m);
}

int rt_mutex_try_take(RtMutex* m, RtThreadState* ts, DWORD* result)
{
    if (m->owner == ts) {
        m->count++;
        *result = WAIT_OBJECT_0;
        return 1;
    }
    if (m->owner)
        return 0;
    m->owner = ts;
    m->count = 1;
    *result = m->abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    m->abandoned = 0;
    return 1;
}

// The owner list (with a reference) lets the thread's end abandon what it
// still holds. Called by the acquiring thread after every successful wait;
// a recursive acquire is already listed.
void rt_mutex_note_owned(RtMutex* m, RtThreadState* ts)
{
    for (RtMutex* it = ts->owned; it; it = it->owned_next)
        if (it == m)
            return;
    rt_object_ref(&m->base);
    m->owned_prev = NULL;
    m->owned_next = ts->owned;
    if (ts->owned)
        ts->owned->owned_prev = m;
    ts->owned = m;
}

static void unlist(RtMutex* m, RtThreadState* ts)
{
    if (m->owned_prev)
        m->owned_prev->owned_next = m->owned_next;
    else
        ts->owned = m->owned_next;
    if (m->owned_next)
        m->owned_next->owned_prev = m->owned_prev;
    m->owned_next = m->owned_prev = NULL;
}

// Object lock held, count already 0: the next waiter becomes the owner.
static void hand_over(RtMutex* m, DWORD result)
{
    RtWaiter* w = rt_waiter_pop(&m->base);
    if (w) {
        m->owner = w->ts;
        m->count = 1;
        m->abandoned = 0;
        rt_waiter_satisfy(w, result);
    } else {
        m->owner = NULL;
        m->abandoned = result == WAIT_ABANDONED;
    }
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    if (!rt_call_enter(PDXRT_ReleaseMutex, NULL))
        return FALSE;
    RtMutex* m = (RtMutex*)rt_handle_get(hMutex, RT_MUTEX);
    if (!m)
        return FALSE;
    RtThreadState* ts = rt_self();
    int unlisted = 0;
    rt_lock(&m->base);
    if (m->owner != ts) {
        rt_unlock(&m->base);
        rt_object_release(&m->base);
        rt_set_error(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m->count == 0) {
        unlist(m, ts);
        unlisted = 1;
        hand_over(m, WAIT_OBJECT_0);
    }
    rt_unlock(&m->base);
    if (unlisted)
        rt_object_release(&m->base);
    rt_object_release(&m->base);
    return TRUE;
}

// The thread ends: everything it still owns is abandoned.
void rt_mutex_abandon_all(RtThreadState* ts)
{
    while (ts->owned) {
        RtMutex* m = ts->owned;
        unlist(m, ts);
        rt_lock(&m->base);
        if (m->owner == ts) {
            m->count = 0;
            hand_over(m, WAIT_ABANDONED);
        }
        rt_unlock(&m->base);
        rt_object_release(&m->base);
    }
}
