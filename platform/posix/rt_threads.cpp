// Threads. A thread created suspended gets its pthread only when resumed, so
// TerminateThread can dispose of it without it ever running its routine.
// TerminateThread of a running thread is refused (ERROR_NOT_SUPPORTED): a
// POSIX thread cannot be killed safely. ExitThread ends a runtime thread by
// returning from its start (see ExitThread). Every thread's end (runtime-made
// or not) runs through RtThreadEnd, from the start routine or from the
// pthread key destructor: its outstanding requests
// are cancelled and dropped without running their routines (their OVERLAPPED
// and buffers are not touched again), queued APCs are dropped, owned mutexes
// are abandoned, and its handle becomes signalled.
#include <errno.h>
#include <setjmp.h>
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

// Thread object lock held.
static void SignalEnded(RtThread* t, DWORD code) {
    t->ended = 1;
    t->exit_code = code;
    RtWaiter* w;
    while ((w = RtWaiterPop(&t->base)) != nullptr) RtWaiterSatisfy(w, WAIT_OBJECT_0);
}

void RtThreadEnd(RtThreadState* ts) {
    RtThreadEndRequests(ts);
    RtThreadStateKill(ts);
    RtMutexAbandonAll(ts);
    RtThread* t = ts->thread_obj;
    if (t) {
        ts->thread_obj = nullptr;
        RtLock(&t->base);
        SignalEnded(t, ts->exit_code);
        RtUnlock(&t->base);
        RT_COUNT(running_threads, -1);
        RtObjectRelease(&t->base);
    }
}

static void* Trampoline(void* arg) {
    RtThread* t = (RtThread*)arg;
    RtThreadState* ts = t->ts;
    RtThreadStateRef(ts);  // the thread's own reference, dropped at its end
    ts->thread_obj = t;    // keeps the reference CreateThread gave the start
    RtThreadStateAdopt(ts);
    jmp_buf exit_jump;
    ts->exit_jump = &exit_jump;
    if (setjmp(exit_jump) == 0) {
        // As on Windows, APCs queued before the start run first.
        RtRunApcs(ts);
        ts->exit_code = t->routine(t->param);
    }
    RtThreadStateLeave();
    return nullptr;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                                      LPDWORD lpThreadId) {
    if (!RtCallEnter(PDXRT_CreateThread, nullptr)) return nullptr;
    if (!lpStartAddress) {
        RtSetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RtThread* t = (RtThread*)RT_SYS(calloc)(1, sizeof(*t));
    if (!t) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->ts = RtThreadStateNew();
    DWORD error = t->ts ? RtThreadStatePrepareIo(t->ts) : ERROR_NOT_ENOUGH_MEMORY;
    if (error) {
        if (t->ts) RtThreadStateRelease(t->ts);
        free(t);
        RtSetError(error);
        return nullptr;
    }
    RtObjectInit(&t->base, RT_THREAD);
    t->routine = lpStartAddress;
    t->param = lpParameter;
    t->stack_size = dwStackSize;
    t->exit_code = STILL_ACTIVE;
    t->suspend_count = 1;  // a thread not created suspended is resumed below
    RT_COUNT(threads, 1);
    RT_COUNT(running_threads, 1);
    HANDLE h = RtHandleAlloc(&t->base);
    if (!h) {
        RT_COUNT(running_threads, -1);
        RtObjectRelease(&t->base);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = t->ts->id;
    if (!(dwCreationFlags & CREATE_SUSPENDED) && ResumeThread(h) == (DWORD)-1) {
        DWORD err = GetLastError();
        CloseHandle(h);
        RtSetError(err);
        return nullptr;
    }
    RtSetError(ERROR_SUCCESS);
    return h;
}

void RtThreadDestroy(RtThread* t) {
    if (!t->started && !t->ended) RT_COUNT(running_threads, -1);  // created suspended, never resumed
    RtThreadStateRelease(t->ts);
    RT_COUNT(threads, -1);
    free(t);
}

int RtThreadTryTake(RtThread* t, DWORD* result) {
    if (!t->ended) return 0;
    *result = WAIT_OBJECT_0;
    return 1;
}

// 0, or the error pthread_create gave.
static int Start(RtThread* t) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (t->stack_size >= 65536) pthread_attr_setstacksize(&attr, t->stack_size);
    RtObjectRef(&t->base);  // held by the running thread until its end
    pthread_t tid;
    int rc = RT_SYS(pthread_create)(&tid, &attr, Trampoline, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) RtObjectRelease(&t->base);
    return rc;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    if (!RtCallEnter(PDXRT_ResumeThread, nullptr)) return (DWORD)-1;
    RtThread* t = (RtThread*)RtHandleGet(hThread, RT_THREAD);
    if (!t) return (DWORD)-1;
    RtLock(&t->base);
    DWORD prev = t->suspend_count;
    int launch = 0;
    if (prev > 0) {
        t->suspend_count--;
        if (t->suspend_count == 0 && !t->started && !t->ended) {
            t->started = 1;
            launch = 1;
        }
    }
    RtUnlock(&t->base);
    int rc = launch ? Start(t) : 0;
    if (rc != 0) {
        RtLock(&t->base);
        t->started = 0;
        t->suspend_count = 1;
        RtUnlock(&t->base);
        RtObjectRelease(&t->base);
        // Out of threads or memory (EAGAIN) reads as Windows says it.
        RtSetError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : RtErrorFromErrno(rc));
        return (DWORD)-1;
    }
    RtObjectRelease(&t->base);
    return prev;
}

// A runtime thread leaves through its start routine, which returns: no
// unwinding, which would first have glibc load libgcc_s, and with no
// descriptor or memory free that load aborts the process. As on Windows, the
// frames left behind run no destructors. Other threads end as POSIX allows.
extern "C" VOID WINAPI ExitThread(DWORD dwExitCode) {
    RtThreadState* ts = RtSelf();
    ts->exit_code = dwExitCode;
    if (ts->exit_jump) longjmp(*(jmp_buf*)ts->exit_jump, 1);
    pthread_exit(nullptr);
}

extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    RtThread* t = (RtThread*)RtHandleGet(hThread, RT_THREAD);
    if (!t) return FALSE;
    RtLock(&t->base);
    BOOL ok = TRUE;
    if (!t->started && !t->ended) {
        SignalEnded(t, dwExitCode);
        RT_COUNT(running_threads, -1);
    } else if (!t->ended) {
        ok = FALSE;
    }
    RtUnlock(&t->base);
    if (ok && !t->started) RtThreadStateKill(t->ts);  // drops APCs queued to it
    RtObjectRelease(&t->base);
    if (!ok) RtSetError(ERROR_NOT_SUPPORTED);
    return ok;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    RtThread* t = (RtThread*)RtHandleGet(hThread, RT_THREAD);
    if (!t) return FALSE;
    RtLock(&t->base);
    DWORD code = t->ended ? t->exit_code : STILL_ACTIVE;
    RtUnlock(&t->base);
    RtObjectRelease(&t->base);
    if (lpExitCode) *lpExitCode = code;
    return TRUE;
}
