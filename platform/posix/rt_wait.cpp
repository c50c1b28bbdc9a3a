// Waits. A waiting thread registers with the object it waits on and sleeps:
// a non-alertable wait on its wake-up word, an alertable one in ppoll() on its
// own wake-up descriptor plus the descriptors of the requests it has outstanding (which
// it then progresses itself). Order of checks, as in Wine: a signalled
// object wins over queued APCs, APCs over the timeout.
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

// Takes the object for `ts` if it is signalled; object lock held.
static int TryTake(RtObject* obj, RtThreadState* ts, DWORD* result) {
    switch (obj->type) {
    case RT_EVENT: return RtEventTryTake((RtEvent*)obj, result);
    case RT_MUTEX: return RtMutexTryTake((RtMutex*)obj, ts, result);
    case RT_THREAD: return RtThreadTryTake((RtThread*)obj, result);
    default: *result = WAIT_OBJECT_0; return 1;  // files are always signalled for us
    }
}

// Ends a registration; returns 1 (and the result) if the object was handed
// to us meanwhile.
static int Unregister(RtObject* obj, RtWaiter* w, DWORD* result) {
    RtLock(obj);
    int got = w->satisfied;
    if (got && w->result == RT_WAIT_RETRY) {
        // Woken to compete for a freed mutex: take it if still free, else
        // its current owner's release wakes someone else.
        got = TryTake(obj, w->ts, result);
        if (!got) RtMutexWaiterGone((RtMutex*)obj);
    } else if (got) {
        *result = w->result;
    } else {
        RtWaiterRemove(obj, w);
        if (obj->type == RT_MUTEX) RtMutexWaiterGone((RtMutex*)obj);
    }
    RtUnlock(obj);
    return got;
}

static DWORD Acquired(RtObject* obj, RtThreadState* ts, DWORD result) {
    if (obj->type == RT_MUTEX) RtMutexNoteOwned((RtMutex*)obj, ts);
    return result;
}

// The wait cannot go on (the system refused the clock or the poll): it
// fails, unless the object was handed over meanwhile.
static DWORD GiveUp(RtObject* obj, RtWaiter* w, int registered, RtThreadState* ts, DWORD error) {
    DWORD result;
    if (registered && Unregister(obj, w, &result)) return Acquired(obj, ts, result);
    RtSetError(error);
    return WAIT_FAILED;
}

static DWORD WaitLoop(RtThreadState* ts, RtObject* obj, DWORD ms, int alertable) {
    RtWaiter w;
    w.ts = ts;
    w.satisfied = 0;
    w.result = 0;
    int registered = 0;
    DWORD result;

    if (obj) {
        RtLock(obj);
        if (TryTake(obj, ts, &result)) {
            RtUnlock(obj);
            return Acquired(obj, ts, result);
        }
        RtWaiterAdd(obj, &w);
        registered = 1;
        RtUnlock(obj);
    }

    uint64_t deadline = 0;
    if (ms != INFINITE && !RtClockNs(&deadline)) return GiveUp(obj, &w, registered, ts, RtErrorFromErrno(errno));
    deadline += (uint64_t)ms * 1000000u;
    int polled = 0;
    for (;;) {
        int seq = __atomic_load_n(&ts->wake_seq, __ATOMIC_ACQUIRE);
        if (registered) {
            RtLock(obj);
            int got = w.satisfied;
            if (got && w.result == RT_WAIT_RETRY) {
                got = TryTake(obj, ts, &result);
                if (!got) RtWaiterAdd(obj, &w);  // the owner's release will see us
            } else if (got) {
                result = w.result;
            }
            RtUnlock(obj);
            if (got) return Acquired(obj, ts, result);
        }
        if (alertable && RtHasApcs(ts)) {
            if (registered && Unregister(obj, &w, &result)) return Acquired(obj, ts, result);
            RtRunApcs(ts);
            return WAIT_IO_COMPLETION;
        }
        struct timespec rel;
        struct timespec* timeout = nullptr;
        if (ms != INFINITE) {
            uint64_t now;
            if (!RtClockNs(&now)) return GiveUp(obj, &w, registered, ts, RtErrorFromErrno(errno));
            uint64_t left = now < deadline ? deadline - now : 0;
            if (left == 0 && polled) {
                if (registered && Unregister(obj, &w, &result)) return Acquired(obj, ts, result);
                return WAIT_TIMEOUT;
            }
            rel.tv_sec = (time_t)(left / 1000000000u);
            rel.tv_nsec = (long)(left % 1000000000u);
            timeout = &rel;
        }
        // Without a wake-up descriptor the thread has no requests to watch
        // either: an APC's wake-up comes through the wake-up word as well.
        if (!alertable || ts->wake_fd < 0) {
            RtSeqSleep(ts, seq, timeout);
            polled = 1;
            continue;
        }
        ts->pfds[0].fd = ts->wake_fd;
        ts->pfds[0].events = POLLIN;
        ts->pfds[0].revents = 0;
        size_t n = RtThreadPollFiles(ts, 1);
        int rc = RT_SYS(ppoll)(ts->pfds, n, timeout, nullptr);
        polled = 1;
        if (rc < 0 && errno != EINTR) return GiveUp(obj, &w, registered, ts, RtErrorFromErrno(errno));
        if (rc <= 0) continue;
        if (ts->pfds[0].revents) RtDrainWake(ts);
        for (size_t i = 1; i < n; i++) {
            if (ts->pfds[i].revents) RtFileProgress(ts->pfd_files[i]);
        }
    }
}

DWORD RtWait(RtObject* obj, DWORD ms, int alertable) {
    RtThreadState* ts = RtSelf();
    if (!alertable || ts->wake_fd < 0) return WaitLoop(ts, obj, ms, alertable);
    int previous = RtPollSleepBegin(ts);
    DWORD r = WaitLoop(ts, obj, ms, 1);
    RtPollSleepEnd(ts, previous);
    return r;
}

static DWORD WaitHandle(HANDLE h, DWORD ms, int alertable) {
    RtPin pin;
    RtObject* obj = RtHandlePin(h, 0, &pin);
    if (!obj) return WAIT_FAILED;
    // A free mutex is taken under the pin alone; a wait may last, so it
    // holds a reference instead.
    DWORD r;
    if (obj->type == RT_MUTEX && RtMutexFastTake((RtMutex*)obj, RtSelf(), &r)) {
        RtHandleUnpin(&pin);
        return r;
    }
    RtHandlePinToRef(&pin);
    r = RtWait(obj, ms, alertable);
    RtObjectRelease(obj);
    return r;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (!RtCallEnter(PDXRT_WaitForSingleObject, nullptr)) return WAIT_FAILED;
    return WaitHandle(hHandle, dwMilliseconds, 0);
}

extern "C" DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    if (!RtCallEnter(PDXRT_WaitForSingleObjectEx, nullptr)) return WAIT_FAILED;
    return WaitHandle(hHandle, dwMilliseconds, bAlertable != 0);
}

// An injected SleepEx failure returns at once with 0 (SleepEx has no
// failure value: the caller sees the sleep end early).
extern "C" DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    if (!RtCallEnter(PDXRT_SleepEx, nullptr)) return 0;
    if (dwMilliseconds == 0 && !bAlertable) {
        sched_yield();
        return 0;
    }
    DWORD r = RtWait(nullptr, dwMilliseconds, bAlertable != 0);
    return r == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    RtWait(nullptr, dwMilliseconds, 0);
}

extern "C" DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    RtThread* t = (RtThread*)RtHandleGet(hThread, RT_THREAD);
    if (!t) return 0;
    if (!pfnAPC) {
        RtObjectRelease(&t->base);
        RtSetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    RtApc* apc = (RtApc*)RT_SYS(calloc)(1, sizeof(*apc));
    if (!apc) {
        RtObjectRelease(&t->base);
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    apc->kind = RT_APC_USER;
    apc->fn = pfnAPC;
    apc->data = dwData;
    int ok = RtQueueApc(t->ts, apc);
    RtObjectRelease(&t->base);
    if (!ok) {
        free(apc);
        RtSetError(ERROR_GEN_FAILURE);
        return 0;
    }
    return 1;
}
