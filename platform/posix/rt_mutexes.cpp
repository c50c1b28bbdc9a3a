// Mutexes: owned by a thread, recursive; a release frees the mutex and wakes
// one waiter, which competes for it; whoever takes a mutex whose owner ended
// learns it through WAIT_ABANDONED. The owner and flags live in one word (see RtMutex), so an
// acquire of a free mutex and a release without waiters are a single
// compare-and-swap: no lock, no system call.
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

static RtThreadState* OwnerOf(uintptr_t state) { return (RtThreadState*)(state & ~RT_MUTEX_FLAGS); }

static uintptr_t LoadState(RtMutex* m) { return __atomic_load_n(&m->state, __ATOMIC_ACQUIRE); }

// The owner list lets the thread's end abandon what it still holds. A mutex
// is listed from its first acquire to its last release. The list holds no
// reference (that would be two more atomic operations on every uncontended
// acquire and release): a mutex whose last reference goes while it is owned
// is left for its owner's end to destroy (RtMutexKeptByOwner).
static void ListOwned(RtMutex* m, RtThreadState* ts) {
    m->owned_prev = nullptr;
    m->owned_next = ts->owned;
    if (ts->owned) ts->owned->owned_prev = m;
    ts->owned = m;
}

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    if (!RtCallEnter(PDXRT_CreateMutexA, nullptr)) return nullptr;
    if (lpName) {
        RtSetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    RtMutex* m = (RtMutex*)RT_SYS(calloc)(1, sizeof(*m));
    if (!m) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    RtObjectInit(&m->base, RT_MUTEX);
    RT_COUNT(mutexes, 1);
    HANDLE h = RtHandleAlloc(&m->base);
    if (!h) {
        RtObjectRelease(&m->base);
        return nullptr;
    }
    if (bInitialOwner) {
        RtThreadState* ts = RtSelf();
        m->count = 1;
        __atomic_store_n(&m->state, (uintptr_t)ts, __ATOMIC_RELEASE);
        ListOwned(m, ts);
    }
    RtSetError(ERROR_SUCCESS);
    return h;
}

// Nobody else can reach the mutex any more, but its owner's end: the lock
// orders the two.
bool RtMutexKeptByOwner(RtMutex* m) {
    RtLock(&m->base);
    const bool owned = OwnerOf(LoadState(m)) != nullptr;
    if (owned) m->orphaned = 1;
    RtUnlock(&m->base);
    return owned;
}

void RtMutexDestroy(RtMutex* m) {
    RT_COUNT(mutexes, -1);
    free(m);
}

int RtMutexFastTake(RtMutex* m, RtThreadState* ts, DWORD* result) {
    // Only this thread can make itself the owner, so a relaxed look suffices.
    uintptr_t s = __atomic_load_n(&m->state, __ATOMIC_RELAXED);
    if (OwnerOf(s) == ts) {
        m->count++;
        *result = WAIT_OBJECT_0;
        return 1;
    }
    if (s != 0 || !__atomic_compare_exchange_n(&m->state, &s, (uintptr_t)ts, 0, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return 0;
    m->count = 1;
    ListOwned(m, ts);
    *result = WAIT_OBJECT_0;
    return 1;
}

int RtMutexTryTake(RtMutex* m, RtThreadState* ts, DWORD* result) {
    PDX_ASSERT(RtLockHeld(&m->base));
    uintptr_t s = LoadState(m);
    for (;;) {
        if (OwnerOf(s) == ts) {
            m->count++;
            *result = WAIT_OBJECT_0;
            return 1;
        }
        if (OwnerOf(s) == nullptr) {
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

void RtMutexWaiterGone(RtMutex* m) {
    if (!m->base.waiters) __atomic_fetch_and(&m->state, ~RT_MUTEX_WAITERS, __ATOMIC_ACQ_REL);
}

// After a successful wait: the first acquire lists the mutex (a recursive
// one is listed already).
void RtMutexNoteOwned(RtMutex* m, RtThreadState* ts) {
    if (m->count == 1) ListOwned(m, ts);
}

static void Unlist(RtMutex* m, RtThreadState* ts) {
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
static void ReleaseLocked(RtMutex* m, int abandoned) {
    RtWaiter* w = RtWaiterPop(&m->base);
    uintptr_t s = (abandoned ? RT_MUTEX_ABANDONED : 0) | (m->base.waiters ? RT_MUTEX_WAITERS : 0);
    __atomic_store_n(&m->state, s, __ATOMIC_RELEASE);
    if (w) RtWaiterSatisfy(w, RT_WAIT_RETRY);
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    if (!RtCallEnter(PDXRT_ReleaseMutex, nullptr)) return FALSE;
    RtPin pin;
    RtMutex* m = (RtMutex*)RtHandlePin(hMutex, RT_MUTEX, &pin);
    if (!m) return FALSE;
    RtThreadState* ts = RtSelf();
    if (OwnerOf(__atomic_load_n(&m->state, __ATOMIC_RELAXED)) != ts) {
        RtHandleUnpin(&pin);
        RtSetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m->count == 0) {
        Unlist(m, ts);
        uintptr_t mine = (uintptr_t)ts;
        if (!__atomic_compare_exchange_n(&m->state, &mine, 0, 0, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
            RtLock(&m->base);
            ReleaseLocked(m, 0);
            RtUnlock(&m->base);
        }
    }
    RtHandleUnpin(&pin);
    return TRUE;
}

// The thread ends: everything it still owns is abandoned.
void RtMutexAbandonAll(RtThreadState* ts) {
    while (ts->owned) {
        RtMutex* m = ts->owned;
        Unlist(m, ts);
        RtLock(&m->base);
        PDX_ASSERT(OwnerOf(LoadState(m)) == ts);  // listed from first acquire to last release
        m->count = 0;
        ReleaseLocked(m, 1);
        const bool orphaned = m->orphaned;
        RtUnlock(&m->base);
        if (orphaned) RtObjectDestroy(&m->base);
    }
}
