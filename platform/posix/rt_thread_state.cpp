// Per-thread state: wake-up descriptor, APC queue, outstanding requests and
// owned mutexes. Threads the runtime did not create get theirs on first use;
// a pthread key destructor ends it with the thread (for every thread).
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "rt_internal.h"

static thread_local RtThreadState* t_self;
static pthread_key_t g_key;
static pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
static DWORD g_next_id = 0x100;

void rt_thread_end(RtThreadState* ts);  // rt_threads.cpp

static void thread_state_destructor(void* p)
{
    RtThreadState* ts = (RtThreadState*)p;
    rt_thread_end(ts);
    t_self = NULL;
    rt_thread_state_release(ts);
}

static void make_key(void) { pthread_key_create(&g_key, thread_state_destructor); }

RtThreadState* rt_thread_state_new(void)
{
    RtThreadState* ts = (RtThreadState*)calloc(1, sizeof(*ts));
    if (!ts)
        return NULL;
    ts->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ts->wake_fd < 0) {
        free(ts);
        return NULL;
    }
    ts->pfd_cap = 8;
    ts->pfds = (struct pollfd*)calloc(ts->pfd_cap, sizeof(*ts->pfds));
    ts->pfd_files = (RtFile**)calloc(ts->pfd_cap, sizeof(*ts->pfd_files));
    if (!ts->pfds || !ts->pfd_files) {
        free(ts->pfds);
        free(ts->pfd_files);
        close(ts->wake_fd);
        free(ts);
        return NULL;
    }
    ts->refs = 1;
    pthread_mutex_init(&ts->lock, NULL);
    ts->id = RT_ATOMIC_ADD(&g_next_id, 4);
    return ts;
}

void rt_thread_state_ref(RtThreadState* ts) { RT_ATOMIC_ADD(&ts->refs, 1); }

void rt_thread_state_release(RtThreadState* ts)
{
    if (RT_ATOMIC_ADD(&ts->refs, -1) != 0)
        return;
    // Entries still queued belong to a thread that never ran (or ended).
    RtApc* apc = ts->apc_head;
    while (apc) {
        RtApc* next = apc->next;
        RT_COUNT(queued_apcs, -1);
        if (apc->kind == RT_APC_USER)
            free(apc);
        else
            rt_request_discard(ts, (RtRequest*)apc);
        apc = next;
    }
    while (ts->free_requests) {
        RtRequest* r = ts->free_requests;
        ts->free_requests = r->thread_next;
        free(r);
    }
    free(ts->pfds);
    free(ts->pfd_files);
    close(ts->wake_fd);
    pthread_mutex_destroy(&ts->lock);
    free(ts);
}

void rt_thread_state_adopt(RtThreadState* ts)
{
    pthread_once(&g_key_once, make_key);
    t_self = ts;
    pthread_setspecific(g_key, ts);
}

RtThreadState* rt_self(void)
{
    RtThreadState* ts = t_self;
    if (ts)
        return ts;
    ts = rt_thread_state_new();
    if (!ts)
        abort();  // no descriptor for a wake-up: nothing sane is left to do
    rt_thread_state_adopt(ts);
    return ts;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return rt_self()->id; }

// A thread sleeps in one of two ways: in FUTEX_WAIT on wake_seq (waits that
// watch no descriptor, the common case, one system call each side) or in
// ppoll on wake_fd plus its requests' descriptors (alertable waits). The
// sleeper raises its flag before it looks at its condition; the waker
// changes the condition, bumps wake_seq, then reads the flags (both sides
// sequentially consistent): either the sleeper sees the condition, or the
// waker sees the flag, or FUTEX_WAIT finds wake_seq changed.
void rt_wake(RtThreadState* ts)
{
    __atomic_add_fetch(&ts->wake_seq, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&ts->futex_sleeping, __ATOMIC_SEQ_CST))
        syscall(SYS_futex, &ts->wake_seq, FUTEX_WAKE_PRIVATE, 1, NULL, NULL, 0);
    if (__atomic_load_n(&ts->poll_sleeping, __ATOMIC_SEQ_CST)) {
        uint64_t one = 1;
        ssize_t n;
        do {
            n = write(ts->wake_fd, &one, sizeof(one));
        } while (n < 0 && errno == EINTR);
    }
}

int rt_poll_sleep_begin(RtThreadState* ts)
{
    int previous = __atomic_load_n(&ts->poll_sleeping, __ATOMIC_RELAXED);
    __atomic_store_n(&ts->poll_sleeping, 1, __ATOMIC_SEQ_CST);
    return previous;
}

void rt_poll_sleep_end(RtThreadState* ts, int previous)
{
    __atomic_store_n(&ts->poll_sleeping, previous, __ATOMIC_SEQ_CST);
}

void rt_futex_sleep(RtThreadState* ts, int seq, const struct timespec* timeout)
{
    __atomic_store_n(&ts->futex_sleeping, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &ts->wake_seq, FUTEX_WAIT_PRIVATE, seq, timeout, NULL, 0);
    __atomic_store_n(&ts->futex_sleeping, 0, __ATOMIC_RELAXED);
}

void rt_drain_wake(RtThreadState* ts)
{
    uint64_t v;
    ssize_t n;
    do {
        n = read(ts->wake_fd, &v, sizeof(v));
    } while (n < 0 && errno == EINTR);
}

int rt_queue_apc(RtThreadState* ts, RtApc* apc)
{
    apc->next = NULL;
    pthread_mutex_lock(&ts->lock);
    if (ts->dead) {
        pthread_mutex_unlock(&ts->lock);
        return 0;
    }
    if (ts->apc_tail)
        ts->apc_tail->next = apc;
    else
        RT_ATOMIC_STORE(&ts->apc_head, apc);
    ts->apc_tail = apc;
    RT_COUNT(queued_apcs, 1);
    if (ts != t_self)
        rt_wake(ts);
    pthread_mutex_unlock(&ts->lock);
    return 1;
}

int rt_has_apcs(RtThreadState* ts) { return RT_ATOMIC_LOAD(&ts->apc_head) != NULL; }

int rt_run_apcs(RtThreadState* ts)
{
    int ran = 0;
    for (;;) {
        pthread_mutex_lock(&ts->lock);
        RtApc* apc = ts->apc_head;
        if (apc) {
            RT_ATOMIC_STORE(&ts->apc_head, apc->next);
            if (!apc->next)
                ts->apc_tail = NULL;
        }
        pthread_mutex_unlock(&ts->lock);
        if (!apc)
            return ran;
        RT_COUNT(queued_apcs, -1);
        ran++;
        if (apc->kind == RT_APC_USER) {
            PAPCFUNC fn = apc->fn;
            ULONG_PTR data = apc->data;
            free(apc);
            fn(data);
        } else {
            rt_request_run(ts, (RtRequest*)apc);
        }
    }
}

// Marks the state dead (no more APCs accepted) and drops what is queued.
void rt_thread_state_kill(RtThreadState* ts)
{
    pthread_mutex_lock(&ts->lock);
    ts->dead = 1;
    RtApc* apc = ts->apc_head;
    ts->apc_head = NULL;
    ts->apc_tail = NULL;
    pthread_mutex_unlock(&ts->lock);
    while (apc) {
        RtApc* next = apc->next;
        RT_COUNT(queued_apcs, -1);
        if (apc->kind == RT_APC_USER)
            free(apc);
        else
            rt_request_discard(ts, (RtRequest*)apc);
        apc = next;
    }
}
