// Per-thread state: wake-up descriptor, APC queue, outstanding requests and
// owned mutexes. Threads the runtime did not create get theirs on first use;
// a pthread key destructor ends it with the thread (for every thread).
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "rt_internal.h"
#include "rt_syscalls.h"
#include "rt_wake.h"

static thread_local RtThreadState* t_self;
// The state of a thread for which no memory was left: in the thread's own
// static storage, which needs no allocation (t_self lives beside it).
static thread_local RtThreadState t_spare;
// Set once the thread's state has ended: a state made after that (by a
// later destructor of the thread's end) may never be ended, so it is not
// listed among the announcing threads.
static thread_local int t_ended;
static pthread_key_t g_key;
static int g_key_made;
static pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
static DWORD g_next_id = 0x100;

static void ThreadStateDestructor(void* p) {
    RtThreadState* ts = (RtThreadState*)p;
    RtThreadEnd(ts);
    RtHazardsUnlink(ts);
    t_ended = 1;
    t_self = nullptr;
    RtThreadStateRelease(ts);
}

static void MakeKey(void) { g_key_made = pthread_key_create(&g_key, ThreadStateDestructor) == 0; }

static void InitState(RtThreadState* ts) {
    memset(ts, 0, sizeof(*ts));
    ts->wake_fd = -1;
    ts->refs = 1;
    pthread_mutex_init(&ts->lock, nullptr);
    ts->id = RT_ATOMIC_ADD(&g_next_id, 4);
}

RtThreadState* RtThreadStateNew(void) {
    RtThreadState* ts = (RtThreadState*)RT_SYS(calloc)(1, sizeof(*ts));
    if (ts) InitState(ts);
    return ts;
}

DWORD RtThreadStatePrepareIo(RtThreadState* ts) {
    if (ts->unhooked) return ERROR_NOT_ENOUGH_MEMORY;  // nothing would end its requests
    if (!ts->pfds) {
        struct pollfd* pfds = (struct pollfd*)RT_SYS(calloc)(8, sizeof(*pfds));
        RtFile** files = pfds ? (RtFile**)RT_SYS(calloc)(8, sizeof(*files)) : nullptr;
        if (!files) {
            free(pfds);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        ts->pfds = pfds;
        ts->pfd_files = files;
        ts->pfd_cap = 8;
    }
    if (ts->wake_fd < 0) {
        // Set once, before the thread first sleeps in ppoll; a waker that
        // finds it missing has nobody in ppoll to wake.
        int fd = RtWakeFdOpen();
        if (fd < 0) return RtErrorFromErrno(errno);
        __atomic_store_n(&ts->wake_fd, fd, __ATOMIC_RELEASE);
    }
    return ERROR_SUCCESS;
}

void RtThreadStateRef(RtThreadState* ts) { RT_ATOMIC_ADD(&ts->refs, 1); }

// Drops a list of entries that will never run: user APCs, and requests
// whose completions were queued.
static void DiscardApcs(RtThreadState* ts, RtApc* apc) {
    while (apc) {
        RtApc* next = apc->next;
        RT_COUNT(queued_apcs, -1);
        if (apc->kind == RT_APC_USER)
            free(apc);
        else
            RtRequestDiscard(ts, (RtRequest*)apc);
        apc = next;
    }
}

void RtThreadStateRelease(RtThreadState* ts) {
    if (RT_ATOMIC_ADD(&ts->refs, -1) != 0) return;
    // Entries still queued belong to a thread that never ran (or ended).
    DiscardApcs(ts, ts->apc_head);
    while (ts->free_requests) {
        RtRequest* r = ts->free_requests;
        ts->free_requests = r->thread_next;
        free(r);
    }
    free(ts->pfds);
    free(ts->pfd_files);
    if (ts->wake_fd >= 0) RtWakeFdClose(ts->wake_fd);
    pthread_mutex_destroy(&ts->lock);
    if (!ts->spare) free(ts);
}

// A runtime thread's start ends its state (RtThreadStateLeave); the key
// also ends it should the thread leave by pthread_exit.
void RtThreadStateAdopt(RtThreadState* ts) {
    pthread_once(&g_key_once, MakeKey);
    t_self = ts;
    if (g_key_made) pthread_setspecific(g_key, ts);
    RtHazardsLink(ts);
}

// The thread's end hands its state to thread_state_destructor through a
// pthread key. Creating the state allocates; when that fails the thread gets
// its spare state, so waits, mutexes and events work in any case. When even
// the key cannot hold the state (its second-level block is allocated on
// first use), nothing can end the state: it is the spare, which holds no
// memory or descriptor and is refused I/O, so nothing is left behind.
RtThreadState* RtSelf(void) {
    RtThreadState* ts = t_self;
    if (ts) return ts;
    ts = RtThreadStateNew();
    pthread_once(&g_key_once, MakeKey);
    int hooked = g_key_made && pthread_setspecific(g_key, ts ? ts : &t_spare) == 0;
    if (ts && !hooked) {
        RtThreadStateRelease(ts);
        ts = nullptr;
    }
    if (!ts) {
        ts = &t_spare;
        InitState(ts);
        ts->spare = 1;
        ts->unhooked = !hooked;
    }
    // Only a thread whose end will unlist its state is listed.
    if (hooked && !t_ended) RtHazardsLink(ts);
    t_self = ts;
    return ts;
}

// A runtime thread ends its state itself, as its start routine returns.
void RtThreadStateLeave(void) {
    RtThreadState* ts = t_self;
    if (!ts) return;
    if (g_key_made) pthread_setspecific(g_key, nullptr);
    ThreadStateDestructor(ts);
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return RtSelf()->id; }

// A thread sleeps in one of two ways (rt_wake.h): on its word wake_seq
// (waits that watch no descriptor, the common case) or in ppoll on wake_fd
// plus its requests' descriptors (alertable waits). The sleeper raises its
// flag before it looks at its condition; the waker changes the condition,
// bumps wake_seq, then reads the flags (both sides sequentially consistent):
// either the sleeper sees the condition, or the waker sees the flag, or the
// word sleep finds wake_seq changed.
void RtWake(RtThreadState* ts) {
    __atomic_add_fetch(&ts->wake_seq, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&ts->word_sleeping, __ATOMIC_SEQ_CST)) RtWordWake(&ts->wake_seq);
    int fd =
        __atomic_load_n(&ts->poll_sleeping, __ATOMIC_SEQ_CST) ? __atomic_load_n(&ts->wake_fd, __ATOMIC_ACQUIRE) : -1;
    if (fd >= 0) RtWakeFdSignal(fd);
}

int RtPollSleepBegin(RtThreadState* ts) {
    int previous = __atomic_load_n(&ts->poll_sleeping, __ATOMIC_RELAXED);
    __atomic_store_n(&ts->poll_sleeping, 1, __ATOMIC_SEQ_CST);
    return previous;
}

void RtPollSleepEnd(RtThreadState* ts, int previous) {
    __atomic_store_n(&ts->poll_sleeping, previous, __ATOMIC_SEQ_CST);
}

void RtSeqSleep(RtThreadState* ts, int seq, const struct timespec* timeout) {
    __atomic_store_n(&ts->word_sleeping, 1, __ATOMIC_SEQ_CST);
    RtWordSleep(&ts->wake_seq, seq, timeout);
    __atomic_store_n(&ts->word_sleeping, 0, __ATOMIC_RELAXED);
}

void RtDrainWake(RtThreadState* ts) { RtWakeFdDrain(ts->wake_fd); }

int RtQueueApc(RtThreadState* ts, RtApc* apc) {
    apc->next = nullptr;
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
    if (ts != t_self) RtWake(ts);
    pthread_mutex_unlock(&ts->lock);
    return 1;
}

int RtHasApcs(RtThreadState* ts) { return RT_ATOMIC_LOAD(&ts->apc_head) != nullptr; }

int RtRunApcs(RtThreadState* ts) {
    int ran = 0;
    for (;;) {
        pthread_mutex_lock(&ts->lock);
        RtApc* apc = ts->apc_head;
        if (apc) {
            RT_ATOMIC_STORE(&ts->apc_head, apc->next);
            if (!apc->next) ts->apc_tail = nullptr;
        }
        pthread_mutex_unlock(&ts->lock);
        if (!apc) return ran;
        RT_COUNT(queued_apcs, -1);
        ran++;
        if (apc->kind == RT_APC_USER) {
            PAPCFUNC fn = apc->fn;
            ULONG_PTR data = apc->data;
            free(apc);
            fn(data);
        } else {
            RtRequestRun(ts, (RtRequest*)apc);
        }
    }
}

// Marks the state dead (no more APCs accepted) and drops what is queued.
void RtThreadStateKill(RtThreadState* ts) {
    pthread_mutex_lock(&ts->lock);
    ts->dead = 1;
    RtApc* apc = ts->apc_head;
    ts->apc_head = nullptr;
    ts->apc_tail = nullptr;
    pthread_mutex_unlock(&ts->lock);
    DiscardApcs(ts, apc);
}
