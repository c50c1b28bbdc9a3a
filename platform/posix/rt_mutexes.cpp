// Mutexes: owned by a thread, recursive; a release frees the mutex and wakes
// one waiter, which competes for it; whoever takes a mutex whose owner ended
// learns it through WAIT_ABANDONED. The owner and flags live in one word (see RtMutex), so an
// acquire of a free mutex and a release without waiters are a single
// compare-and-swap: no lock, no system call.
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

static RtThreadState* owner_of(uintptr_t state) { return (RtThreadState*)(state & ~RT_MUTEX_FLAGS); }

static uintptr_t load_state(RtMutex* m) { return __atomic_load_n(&m->state, __ATOMIC_ACQUIRE); }

// The owner list (with a reference) lets the thread's end abandon what it
// still holds. A mutex is listed from its first acquire to its last release.
static void list_owned(RtMutex* m, RtThreadState* ts) {
    rt_object_ref(&m->base);
    m->owned_prev = nullptr;
    m->owned_next = ts->owned;
    if (ts->owned) ts->owned->owned_prev = m;
    ts->owned = m;
}

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    if (!rt_call_enter(PDXRT_CreateMutexA, nullptr)) return nullptr;
    if (lpName) {
        rt_set_error(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    RtMutex* m = (RtMutex*)RT_SYS(calloc)(1, sizeof(*m));
    if (!m) {
        rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    rt_object_init(&m->base, RT_MUTEX);
    RT_COUNT(mutexes, 1);
    HANDLE h = rt_handle_alloc(&m->base);
    if (!h) {
        rt_object_release(&m->base);
        return nullptr;
    }
    if (bInitialOwner) {
        RtThreadState* ts = rt_self();
        m->count = 1;
        __atomic_store_n(&m->state, (uintptr_t)ts, __ATOMIC_RELEASE);
        list_owned(m, ts);
    }
    rt_set_error(ERROR_SUCCESS);
    return h;
}

void rt_mutex_destroy(RtMutex* m) {
    RT_COUNT(mutexes, -1);
    free(m);
}

int rt_mutex_fast_take(RtMutex* m, RtThreadState* ts, DWORD* result) {
    // Only this thread can make itself the owner, so a relaxed look suffices.
    uintptr_t s = __atomic_load_n(&m->state, __ATOMIC_RELAXED);
    if (owner_of(s) == ts) {
        m->count++;
        *result = WAIT_OBJECT_0;
        return 1;
    }
    if (s != 0 || !__atomic_compare_exchange_n(&m->state, &s, (uintptr_t)ts, 0, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return 0;
    m->count = 1;
    list_owned(m, ts);
    *result = WAIT_OBJECT_0;
    return 1;
}

int rt_mutex_try_take(RtMutex* m, RtThreadState* ts, DWORD* result) {
    uintptr_t s = load_state(m);
    for (;;) {
        if (owner_of(s) == ts) {
            m->count++;
            *result = WAIT_OBJECT_0;
            return 1;
        }
        if (owner_of(s) == nullptr) {
            uintptr_t mine = (uintptr_t)ts | (s & RT_MUTEX_WAITERS);
            if (__atomic_compare_exchange_n(&m->state, &s, mine, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
                m->count = 1;
                *result = (s & RT_MUTEX_ABANDONED) ? WAIT_ABANDONED : WAIT_OBJECT_0;
                return 1;
            }
            continue;
        }
        // Owned by another thread: make its release come to the lock.
        if (s & RT_MUTEX_WAITERS) return 0;
        if (__atomic_compare_exchange_n(&m->state, &s, s | RT_MUTEX_WAITERS, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return 0;
    }
}

void rt_mutex_waiter_gone(RtMutex* m) {
    if (!m->base.waiters) __atomic_fetch_and(&m->state, ~RT_MUTEX_WAITERS, __ATOMIC_ACQ_REL);
}

// After a successful wait: the first acquire lists the mutex (a recursive
// one is listed already).
void rt_mutex_note_owned(RtMutex* m, RtThreadState* ts) {
    if (m->count == 1) list_owned(m, ts);
}

static void unlist(RtMutex* m, RtThreadState* ts) {
    if (m->owned_prev)
        m->owned_prev->owned_next = m->owned_next;
    else
        ts->owned = m->owned_next;
    if (m->owned_next) m->owned_next->owned_prev = m->owned_prev;
    m->owned_next = m->owned_prev = nullptr;
}

// Object lock held, count already 0, caller was the owner: the mutex becomes
// free and the first waiter wakes to compete for it with whoever else comes
// (handing it over would make every contended release wait for a sleeping
// thread to be scheduled). Nobody else changes the word meanwhile: it is not 0.
static void release_locked(RtMutex* m, int abandoned) {
    RtWaiter* w = rt_waiter_pop(&m->base);
    uintptr_t s = (abandoned ? RT_MUTEX_ABANDONED : 0) | (m->base.waiters ? RT_MUTEX_WAITERS : 0);
    __atomic_store_n(&m->state, s, __ATOMIC_RELEASE);
    if (w) rt_waiter_satisfy(w, RT_WAIT_RETRY);
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    if (!rt_call_enter(PDXRT_ReleaseMutex, nullptr)) return FALSE;
    RtMutex* m = (RtMutex*)rt_handle_get(hMutex, RT_MUTEX);
    if (!m) return FALSE;
    RtThreadState* ts = rt_self();
    if (owner_of(__atomic_load_n(&m->state, __ATOMIC_RELAXED)) != ts) {
        rt_object_release(&m->base);
        rt_set_error(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m->count == 0) {
        unlist(m, ts);
        uintptr_t mine = (uintptr_t)ts;
        if (!__atomic_compare_exchange_n(&m->state, &mine, 0, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
            rt_lock(&m->base);
            release_locked(m, 0);
            rt_unlock(&m->base);
        }
        rt_object_release(&m->base);  // the owner list's reference
    }
    rt_object_release(&m->base);
    return TRUE;
}

// The thread ends: everything it still owns is abandoned.
void rt_mutex_abandon_all(RtThreadState* ts) {
    while (ts->owned) {
        RtMutex* m = ts->owned;
        unlist(m, ts);
        rt_lock(&m->base);
        if (owner_of(load_state(m)) == ts) {
            m->count = 0;
            release_locked(m, 1);
        }
        rt_unlock(&m->base);
        rt_object_release(&m->base);
    }
}
