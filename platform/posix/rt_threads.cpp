// Threads. A thread created suspended gets its pthread only when resumed, so
// TerminateThread can dispose of it without it ever running its routine.
// TerminateThread of a running thread is refused (ERROR_NOT_SUPPORTED): a
// POSIX thread cannot be killed safely. ExitThread ends a runtime thread by
// returning from its start (see ExitThread). Every thread's end (runtime-made
// or not) runs through rt_thread_end, from the start routine or from the
// pthread key destructor: its outstanding requests
// are cancelled and dropped without running their routines (their OVERLAPPED
// and buffers are not touched again), queued APCs are dropped, owned mutexes
// are abandoned, and its handle becomes signalled.
#include <errno.h>
#include <setjmp.h>
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

void rt_thread_state_kill(RtThreadState* ts);
void rt_mutex_abandon_all(RtThreadState* ts);

// Thread object lock held.
static void signal_ended(RtThread* t, DWORD code) {
    t->ended = 1;
    t->exit_code = code;
    RtWaiter* w;
    while ((w = rt_waiter_pop(&t->base)) != nullptr) rt_waiter_satisfy(w, WAIT_OBJECT_0);
}

void rt_thread_end(RtThreadState* ts) {
    rt_thread_end_requests(ts);
    rt_thread_state_kill(ts);
    rt_mutex_abandon_all(ts);
    RtThread* t = ts->thread_obj;
    if (t) {
        ts->thread_obj = nullptr;
        rt_lock(&t->base);
        signal_ended(t, ts->exit_code);
        rt_unlock(&t->base);
        RT_COUNT(running_threads, -1);
        rt_object_release(&t->base);
    }
}

static void* trampoline(void* arg) {
    RtThread* t = (RtThread*)arg;
    RtThreadState* ts = t->ts;
    rt_thread_state_ref(ts);  // the thread's own reference, dropped at its end
    ts->thread_obj = t;       // keeps the reference CreateThread gave the start
    rt_thread_state_adopt(ts);
    jmp_buf exit_jump;
    ts->exit_jump = &exit_jump;
    if (setjmp(exit_jump) == 0) {
        // As on Windows, APCs queued before the start run first.
        rt_run_apcs(ts);
        ts->exit_code = t->routine(t->param);
    }
    rt_thread_state_leave();
    return nullptr;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                                      LPDWORD lpThreadId) {
    if (!rt_call_enter(PDXRT_CreateThread, nullptr)) return nullptr;
    if (!lpStartAddress) {
        rt_set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RtThread* t = (RtThread*)RT_SYS(calloc)(1, sizeof(*t));
    if (!t) {
        rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->ts = rt_thread_state_new();
    DWORD error = t->ts ? rt_thread_state_prepare_io(t->ts) : ERROR_NOT_ENOUGH_MEMORY;
    if (error) {
        if (t->ts) rt_thread_state_release(t->ts);
        free(t);
        rt_set_error(error);
        return nullptr;
    }
    rt_object_init(&t->base, RT_THREAD);
    t->routine = lpStartAddress;
    t->param = lpParameter;
    t->stack_size = dwStackSize;
    t->exit_code = STILL_ACTIVE;
    t->suspend_count = 1;  // a thread not created suspended is resumed below
    RT_COUNT(threads, 1);
    RT_COUNT(running_threads, 1);
    HANDLE h = rt_handle_alloc(&t->base);
    if (!h) {
        RT_COUNT(running_threads, -1);
        rt_object_release(&t->base);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = t->ts->id;
    if (!(dwCreationFlags & CREATE_SUSPENDED) && ResumeThread(h) == (DWORD)-1) {
        DWORD err = GetLastError();
        CloseHandle(h);
        rt_set_error(err);
        return nullptr;
    }
    rt_set_error(ERROR_SUCCESS);
    return h;
}

void rt_thread_destroy(RtThread* t) {
    if (!t->started && !t->ended) RT_COUNT(running_threads, -1);  // created suspended, never resumed
    rt_thread_state_release(t->ts);
    RT_COUNT(threads, -1);
    free(t);
}

int rt_thread_try_take(RtThread* t, DWORD* result) {
    if (!t->ended) return 0;
    *result = WAIT_OBJECT_0;
    return 1;
}

// 0, or the error pthread_create gave.
static int start(RtThread* t) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (t->stack_size >= 65536) pthread_attr_setstacksize(&attr, t->stack_size);
    rt_object_ref(&t->base);  // held by the running thread until its end
    pthread_t tid;
    int rc = RT_SYS(pthread_create)(&tid, &attr, trampoline, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) rt_object_release(&t->base);
    return rc;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    if (!rt_call_enter(PDXRT_ResumeThread, nullptr)) return (DWORD)-1;
    RtThread* t = (RtThread*)rt_handle_get(hThread, RT_THREAD);
    if (!t) return (DWORD)-1;
    rt_lock(&t->base);
    DWORD prev = t->suspend_count;
    int launch = 0;
    if (prev > 0) {
        t->suspend_count--;
        if (t->suspend_count == 0 && !t->started && !t->ended) {
            t->started = 1;
            launch = 1;
        }
    }
    rt_unlock(&t->base);
    int rc = launch ? start(t) : 0;
    if (rc != 0) {
        rt_lock(&t->base);
        t->started = 0;
        t->suspend_count = 1;
        rt_unlock(&t->base);
        rt_object_release(&t->base);
        // Out of threads or memory (EAGAIN) reads as Windows says it.
        rt_set_error(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : rt_error_from_errno(rc));
        return (DWORD)-1;
    }
    rt_object_release(&t->base);
    return prev;
}

// A runtime thread leaves through its start routine, which returns: no
// unwinding, which would first have glibc load libgcc_s, and with no
// descriptor or memory free that load aborts the process. As on Windows, the
// frames left behind run no destructors. Other threads end as POSIX allows.
extern "C" VOID WINAPI ExitThread(DWORD dwExitCode) {
    RtThreadState* ts = rt_self();
    ts->exit_code = dwExitCode;
    if (ts->exit_jump) longjmp(*(jmp_buf*)ts->exit_jump, 1);
    pthread_exit(nullptr);
}

extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    RtThread* t = (RtThread*)rt_handle_get(hThread, RT_THREAD);
    if (!t) return FALSE;
    rt_lock(&t->base);
    BOOL ok = TRUE;
    if (!t->started && !t->ended) {
        signal_ended(t, dwExitCode);
        RT_COUNT(running_threads, -1);
    } else if (!t->ended) {
        ok = FALSE;
    }
    rt_unlock(&t->base);
    if (ok && !t->started) rt_thread_state_kill(t->ts);  // drops APCs queued to it
    rt_object_release(&t->base);
    if (!ok) rt_set_error(ERROR_NOT_SUPPORTED);
    return ok;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    RtThread* t = (RtThread*)rt_handle_get(hThread, RT_THREAD);
    if (!t) return FALSE;
    rt_lock(&t->base);
    DWORD code = t->ended ? t->exit_code : STILL_ACTIVE;
    rt_unlock(&t->base);
    rt_object_release(&t->base);
    if (lpExitCode) *lpExitCode = code;
    return TRUE;
}
