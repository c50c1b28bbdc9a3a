// Waits. A waiting thread registers with the object it waits on and sleeps:
// a non-alertable wait on its futex word, an alertable one in ppoll() on its
// own eventfd plus the descriptors of the requests it has outstanding (which
// it then progresses itself). Order of checks, as in Wine: a signalled
// object wins over queued APCs, APCs over the timeout.
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

// Takes the object for `ts` if it is signalled; object lock held.
static int try_take(RtObject* obj, RtThreadState* ts, DWORD* result) {
    switch (obj->type) {
    case RT_EVENT: return rt_event_try_take((RtEvent*)obj, result);
    case RT_MUTEX: return rt_mutex_try_take((RtMutex*)obj, ts, result);
    case RT_THREAD: return rt_thread_try_take((RtThread*)obj, result);
    default: *result = WAIT_OBJECT_0; return 1;  // files are always signalled for us
    }
}

// Ends a registration; returns 1 (and the result) if the object was handed
// to us meanwhile.
static int unregister(RtObject* obj, RtWaiter* w, DWORD* result) {
    rt_lock(obj);
    int got = w->satisfied;
    if (got && w->result == RT_WAIT_RETRY) {
        // Woken to compete for a freed mutex: take it if still free, else
        // its current owner's release wakes someone else.
        got = try_take(obj, w->ts, result);
        if (!got) rt_mutex_waiter_gone((RtMutex*)obj);
    } else if (got) {
        *result = w->result;
    } else {
        rt_waiter_remove(obj, w);
        if (obj->type == RT_MUTEX) rt_mutex_waiter_gone((RtMutex*)obj);
    }
    rt_unlock(obj);
    return got;
}

static DWORD acquired(RtObject* obj, RtThreadState* ts, DWORD result) {
    if (obj->type == RT_MUTEX) rt_mutex_note_owned((RtMutex*)obj, ts);
    return result;
}

// The wait cannot go on (the system refused the clock or the poll): it
// fails, unless the object was handed over meanwhile.
static DWORD give_up(RtObject* obj, RtWaiter* w, int registered, RtThreadState* ts, DWORD error) {
    DWORD result;
    if (registered && unregister(obj, w, &result)) return acquired(obj, ts, result);
    rt_set_error(error);
    return WAIT_FAILED;
}

static DWORD wait_loop(RtThreadState* ts, RtObject* obj, DWORD ms, int alertable) {
    RtWaiter w;
    w.ts = ts;
    w.satisfied = 0;
    w.result = 0;
    int registered = 0;
    DWORD result;

    if (obj && obj->type == RT_MUTEX && rt_mutex_fast_take((RtMutex*)obj, ts, &result)) return result;
    if (obj) {
        rt_lock(obj);
        if (try_take(obj, ts, &result)) {
            rt_unlock(obj);
            return acquired(obj, ts, result);
        }
        rt_waiter_add(obj, &w);
        registered = 1;
        rt_unlock(obj);
    }

    uint64_t deadline = 0;
    if (ms != INFINITE && !rt_clock_ns(&deadline)) return give_up(obj, &w, registered, ts, rt_error_from_errno(errno));
    deadline += (uint64_t)ms * 1000000u;
    int polled = 0;
    for (;;) {
        int seq = __atomic_load_n(&ts->wake_seq, __ATOMIC_ACQUIRE);
        if (registered) {
            rt_lock(obj);
            int got = w.satisfied;
            if (got && w.result == RT_WAIT_RETRY) {
                got = try_take(obj, ts, &result);
                if (!got) rt_waiter_add(obj, &w);  // the owner's release will see us
            } else if (got) {
                result = w.result;
            }
            rt_unlock(obj);
            if (got) return acquired(obj, ts, result);
        }
        if (alertable && rt_has_apcs(ts)) {
            if (registered && unregister(obj, &w, &result)) return acquired(obj, ts, result);
            rt_run_apcs(ts);
            return WAIT_IO_COMPLETION;
        }
        struct timespec rel;
        struct timespec* timeout = nullptr;
        if (ms != INFINITE) {
            uint64_t now;
            if (!rt_clock_ns(&now)) return give_up(obj, &w, registered, ts, rt_error_from_errno(errno));
            uint64_t left = now < deadline ? deadline - now : 0;
            if (left == 0 && polled) {
                if (registered && unregister(obj, &w, &result)) return acquired(obj, ts, result);
                return WAIT_TIMEOUT;
            }
            rel.tv_sec = (time_t)(left / 1000000000u);
            rel.tv_nsec = (long)(left % 1000000000u);
            timeout = &rel;
        }
        // Without a wake-up descriptor the thread has no requests to watch
        // either: an APC's wake-up comes through the futex word as well.
        if (!alertable || ts->wake_fd < 0) {
            rt_futex_sleep(ts, seq, timeout);
            polled = 1;
            continue;
        }
        ts->pfds[0].fd = ts->wake_fd;
        ts->pfds[0].events = POLLIN;
        ts->pfds[0].revents = 0;
        size_t n = rt_thread_poll_files(ts, 1);
        int rc = RT_SYS(ppoll)(ts->pfds, n, timeout, nullptr);
        polled = 1;
        if (rc < 0 && errno != EINTR) return give_up(obj, &w, registered, ts, rt_error_from_errno(errno));
        if (rc <= 0) continue;
        if (ts->pfds[0].revents) rt_drain_wake(ts);
        for (size_t i = 1; i < n; i++) {
            if (ts->pfds[i].revents) rt_file_progress(ts->pfd_files[i]);
        }
    }
}

DWORD rt_wait(RtObject* obj, DWORD ms, int alertable) {
    RtThreadState* ts = rt_self();
    if (!alertable || ts->wake_fd < 0) return wait_loop(ts, obj, ms, alertable);
    int previous = rt_poll_sleep_begin(ts);
    DWORD r = wait_loop(ts, obj, ms, 1);
    rt_poll_sleep_end(ts, previous);
    return r;
}

static DWORD wait_handle(HANDLE h, DWORD ms, int alertable) {
    RtObject* obj = rt_handle_get(h, 0);
    if (!obj) return WAIT_FAILED;
    DWORD r = rt_wait(obj, ms, alertable);
    rt_object_release(obj);
    return r;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (!rt_call_enter(PDXRT_WaitForSingleObject, nullptr)) return WAIT_FAILED;
    return wait_handle(hHandle, dwMilliseconds, 0);
}

extern "C" DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    if (!rt_call_enter(PDXRT_WaitForSingleObjectEx, nullptr)) return WAIT_FAILED;
    return wait_handle(hHandle, dwMilliseconds, bAlertable != 0);
}

// An injected SleepEx failure returns at once with 0 (SleepEx has no
// failure value: the caller sees the sleep end early).
extern "C" DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    if (!rt_call_enter(PDXRT_SleepEx, nullptr)) return 0;
    if (dwMilliseconds == 0 && !bAlertable) {
        sched_yield();
        return 0;
    }
    DWORD r = rt_wait(nullptr, dwMilliseconds, bAlertable != 0);
    return r == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    rt_wait(nullptr, dwMilliseconds, 0);
}

extern "C" DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    RtThread* t = (RtThread*)rt_handle_get(hThread, RT_THREAD);
    if (!t) return 0;
    if (!pfnAPC) {
        rt_object_release(&t->base);
        rt_set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    RtApc* apc = (RtApc*)RT_SYS(calloc)(1, sizeof(*apc));
    if (!apc) {
        rt_object_release(&t->base);
        rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    apc->kind = RT_APC_USER;
    apc->fn = pfnAPC;
    apc->data = dwData;
    int ok = rt_queue_apc(t->ts, apc);
    rt_object_release(&t->base);
    if (!ok) {
        free(apc);
        rt_set_error(ERROR_GEN_FAILURE);
        return 0;
    }
    return 1;
}
