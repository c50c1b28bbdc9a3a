// Internal structures of the POSIX Win32 runtime, shared by its files.
//
// Objects (events, mutexes, threads, files) are reference counted; a handle
// holds one reference, so does a thread waiting on the object. Each object has
// its own lock guarding its state and its list of registered waiters.
//
// Every thread that touches the runtime has a thread state: a descriptor to wake
// it, its queue of APCs and completed requests, the requests it has issued and
// the mutexes it owns. Threads the runtime did not create get one on first
// use; a pthread key destructor ends it when the thread ends.
//
// Lock order: object (file) lock, then thread-state lock. The handle
// allocation lock, the fault lock and the call-count lock are leaves; handle
// lookups, uncontended mutexes and call counting take no lock at all.
#ifndef PDX_RT_INTERNAL_H
#define PDX_RT_INTERNAL_H

#include <poll.h>
#include <pthread.h>

#include "pdx_assert.h"
#include "pdx_runtime.h"

#define RT_ATOMIC_LOAD(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define RT_ATOMIC_STORE(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)
#define RT_ATOMIC_ADD(p, v) __atomic_add_fetch((p), (v), __ATOMIC_ACQ_REL)

enum RtType { RT_EVENT = 1, RT_MUTEX, RT_THREAD, RT_FILE };

struct RtThreadState;

// A thread blocked on an object. Lives on the waiting thread's stack; the
// object's lock guards every field once it is registered.
struct RtWaiter {
    RtWaiter* next;
    RtThreadState* ts;
    int satisfied;
    DWORD result;  // WAIT_OBJECT_0, WAIT_ABANDONED or RT_WAIT_RETRY once satisfied
};

// A waiter woken because a mutex became free: it competes for it again
// (a released mutex is not handed to a sleeping thread).
#define RT_WAIT_RETRY ((DWORD)0xFFFFFFF0u)

struct RtObject {
    int type;
    int refs;
    pthread_mutex_t lock;
    uintptr_t lock_owner;  // the holder's RtLockToken() while locked, else 0
    RtWaiter* waiters;     // FIFO
    RtWaiter* waiters_tail;
};

struct RtEvent {
    RtObject base;
    int manual;
    int signalled;
};

// Mutex state word: the owner's RtThreadState* (aligned, so the low bits are
// free), or 0 when free, plus RT_MUTEX_ABANDONED (free because its owner
// ended; the next acquirer learns) and RT_MUTEX_WAITERS (the waiter list is
// not empty, so a release must take the object lock). Acquire and release
// without waiters are one compare-and-swap each; every other change is made
// under the object lock.
#define RT_MUTEX_ABANDONED ((uintptr_t)1)
#define RT_MUTEX_WAITERS ((uintptr_t)2)
#define RT_MUTEX_FLAGS (RT_MUTEX_ABANDONED | RT_MUTEX_WAITERS)

struct RtMutex {
    RtObject base;
    uintptr_t state;
    DWORD count;          // recursion depth, touched by the owner only
    RtMutex* owned_next;  // list of mutexes owned by one thread (owner only)
    RtMutex* owned_prev;
    int orphaned;  // no references left while owned (object lock)
};

struct RtThread {
    RtObject base;
    RtThreadState* ts;
    LPTHREAD_START_ROUTINE routine;
    void* param;
    SIZE_T stack_size;
    DWORD suspend_count;
    int started;
    int ended;
    DWORD exit_code;
};

// APC queue entries: a user APC, or a completed file request.
enum RtApcKind { RT_APC_USER = 1, RT_APC_REQUEST };

struct RtApc {
    RtApc* next;
    int kind;
    PAPCFUNC fn;
    ULONG_PTR data;
};

struct RtFile;

enum RtReqState { RT_REQ_QUEUED = 0, RT_REQ_SENT = 1, RT_REQ_DONE = 2 };
enum RtReqKind { RT_REQ_READ = 1, RT_REQ_WRITE = 2 };

// One overlapped request. Owned by the issuing thread (taken from and given
// back to its free list); linked into the file's FIFO while pending.
struct RtRequest {
    RtApc apc;  // first: an RtApc* of kind RT_APC_REQUEST is an RtRequest*
    RtRequest* file_next;
    RtRequest* file_prev;
    RtRequest* thread_next;  // issuing thread's outstanding list
    RtRequest* thread_prev;
    RtFile* file;  // holds a reference until the request is given back
    RtThreadState* ts;
    OVERLAPPED* ov;
    unsigned char* buf;
    DWORD len;
    DWORD done;  // bytes written so far (plain writes)
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    int kind;
    int state;  // RtReqState, read by the owner without the file lock
    int tomb;   // placeholder of an abandoned request that its kind still accounts for
    DWORD error;
    DWORD bytes;
};

struct RtFile {
    RtObject base;
    int fd;
    int kind;            // PdxRtFileKind
    DWORD write_length;  // 0: writes of any length
    DWORD access;
    int is_regular;
    int closed;
    int disconnected;
    RtRequest* reads;  // FIFO of pending reads
    RtRequest* reads_tail;
    RtRequest* writes;  // FIFO of pending writes (incl. tombstones)
    RtRequest* writes_tail;
    const struct RtFileOps* ops;  // of its kind (rt_file_kinds.h)
    void* kind_state;             // the kind's own, allocated behind the object
};

#define RT_HAZARDS 2  // lookups in progress at once in one thread
struct RtThreadState {
    int refs;
    int wake_fd;        // sleeps watching descriptors (alertable waits) use this; -1 until needed
    int wake_seq;       // word of the other sleeps (rt_wake.h); every wake-up bumps it
    int word_sleeping;  // set while the thread may sleep on wake_seq
    int poll_sleeping;  // set while the thread may sleep on wake_fd
    DWORD id;
    pthread_mutex_t lock;  // guards the APC queue and `dead`
    RtApc* apc_head;
    RtApc* apc_tail;
    int dead;
    // Touched only by the thread itself:
    RtRequest* outstanding;
    RtRequest* free_requests;
    RtMutex* owned;
    RtThread* thread_obj;  // set for threads made by CreateThread
    void* exit_jump;       // jmp_buf* of a runtime thread's start, where ExitThread goes
    int spare;             // in the thread's static storage (no memory was left): never freed
    int unhooked;          // no end of the thread will clean up: no requests allowed
    DWORD exit_code;
    struct pollfd* pfds;
    RtFile** pfd_files;
    size_t pfd_cap;
    // Objects this thread's lookups in progress announce (rt_hazards.cpp),
    // innermost last; the list of announcing threads, while the thread runs.
    RtObject* hazards[RT_HAZARDS];
    int hazard_depth;
    int hazard_linked;
    RtThreadState* hazard_next;
    RtThreadState* hazard_prev;
};

// ---- announced lookups (rt_hazards.cpp)
void RtHazardsLink(RtThreadState* ts);  // the thread starts using the runtime
void RtHazardsUnlink(RtThreadState* ts);
// The object in the slot, referenced, for a thread that is not listed.
RtObject* RtHazardsRefUnlisted(const uint64_t* word);
// Returns once no thread announces `obj` (whose slot is empty).
void RtHazardsWaitFor(const RtObject* obj);

// ---- handles and objects (rt_handles.cpp)
void RtObjectInit(RtObject* obj, int type);
void RtObjectRef(RtObject* obj);
void RtObjectRelease(RtObject* obj);
void RtObjectDestroy(RtObject* obj);  // no references left
HANDLE RtHandleAlloc(RtObject* obj);  // takes over one reference; nullptr on failure (error set)
// Referenced object behind a handle when it is of `type` (0: any); nullptr with
// ERROR_INVALID_HANDLE otherwise.
RtObject* RtHandleGet(HANDLE h, int type);
// A lookup for a call that does not wait: the object stays alive, without a
// reference of the caller's own, until RtHandleUnpin, and the lookup writes
// nothing that other threads share. Pins of a thread nest.
struct RtPin {
    RtObject* obj;
    RtThreadState* ts;  // announcing the object; null: a reference is held
};
RtObject* RtHandlePin(HANDLE h, int type, RtPin* pin);
void RtHandleUnpin(const RtPin* pin);
// Turns a pin into a reference of the caller's own (for a call that waits).
RtObject* RtHandlePinToRef(const RtPin* pin);
void RtLock(RtObject* obj);
void RtUnlock(RtObject* obj);
// Whether the calling thread holds the object's lock: what the "lock held"
// rules below assert.
bool RtLockHeld(const RtObject* obj);
void RtWaiterAdd(RtObject* obj, RtWaiter* w);
void RtWaiterRemove(RtObject* obj, RtWaiter* w);
// Satisfies the first waiter (or all) with `result`; object lock held.
RtWaiter* RtWaiterPop(RtObject* obj);
void RtWaiterSatisfy(RtWaiter* w, DWORD result);
// The same without the wake-up, which the caller makes with
// RtWakeSatisfied once it has let go of the object lock: a thread woken
// under that lock would at once block on it to read its result. The thread
// state returned holds a reference until then (the waiter may return, and
// its thread end, as soon as the lock is free).
RtThreadState* RtWaiterSatisfyUnwoken(RtWaiter* w, DWORD result);
void RtWakeSatisfied(RtThreadState* ts);

// per-type hooks
void RtEventDestroy(RtEvent* e);
void RtMutexDestroy(RtMutex* m);
// At the last reference: whether the mutex is still owned, and so is left
// for its owner's end to destroy.
bool RtMutexKeptByOwner(RtMutex* m);
void RtThreadDestroy(RtThread* t);
void RtFileDestroy(RtFile* f);
void RtFileClose(RtFile* f);  // last handle closed: abort pending requests
// Wait support: take the object if it is signalled (lock held); *result set.
int RtEventTryTake(RtEvent* e, DWORD* result);
// Object lock held; on failure the waiters flag is set, so the caller must
// register as a waiter (and RtMutexWaiterGone when it gives up).
int RtMutexTryTake(RtMutex* m, RtThreadState* ts, DWORD* result);
// No lock: the uncontended acquire (free, or already ours).
int RtMutexFastTake(RtMutex* m, RtThreadState* ts, DWORD* result);
void RtMutexWaiterGone(RtMutex* m);                    // a waiter left the list; lock held
void RtMutexNoteOwned(RtMutex* m, RtThreadState* ts);  // after an acquire
int RtThreadTryTake(RtThread* t, DWORD* result);

// ---- thread state (rt_thread_state.cpp)
RtThreadState* RtSelf(void);
// A thread's state always exists (RtSelf never fails); its wake-up
// descriptor and poll set come with its first request (or its creation by
// CreateThread), so a thread without a free descriptor can still wait
// without one and lock.
RtThreadState* RtThreadStateNew(void);  // refs 1; nullptr when out of memory
// Makes what issuing requests needs; ERROR_SUCCESS or why it cannot.
DWORD RtThreadStatePrepareIo(RtThreadState* ts);
void RtThreadStateLeave(void);  // a runtime thread's start ends its state
void RtThreadStateRef(RtThreadState* ts);
void RtThreadStateRelease(RtThreadState* ts);
void RtThreadStateAdopt(RtThreadState* ts);  // becomes the calling runtime thread's state
// Wakes the thread whichever way it sleeps (see rt_thread_state.cpp).
void RtWake(RtThreadState* ts);
void RtDrainWake(RtThreadState* ts);
// Brackets a stretch in which the calling thread may sleep on wake_fd; the
// flag must be set before the thread looks at what it waits for.
int RtPollSleepBegin(RtThreadState* ts);  // returns the previous flag
void RtPollSleepEnd(RtThreadState* ts, int previous);
// Sleeps on wake_seq while it still equals `seq` (read before the thread
// looked at what it waits for); nullptr timeout: no limit.
void RtSeqSleep(RtThreadState* ts, int seq, const struct timespec* timeout);
// Queue an APC entry; FALSE when the thread has ended. Wakes the thread
// unless it is the caller.
int RtQueueApc(RtThreadState* ts, RtApc* apc);
int RtHasApcs(RtThreadState* ts);
// Runs every queued APC in the calling thread; returns how many ran.
int RtRunApcs(RtThreadState* ts);
void RtThreadStateKill(RtThreadState* ts);  // no more APCs; queued ones dropped

// ---- threads (rt_threads.cpp, rt_mutexes.cpp)
// A runtime thread's end, whichever way it ends: its requests, mutexes and
// state are given up.
void RtThreadEnd(RtThreadState* ts);
void RtMutexAbandonAll(RtThreadState* ts);  // the thread ended owning them

// ---- waiting (rt_wait.cpp)
DWORD RtWait(RtObject* obj, DWORD ms, int alertable);

// ---- files (rt_file_io.cpp; kinds of files in rt_file_kinds.h)
// Builds the poll set of the thread's outstanding requests (after slot 0).
size_t RtThreadPollFiles(RtThreadState* ts, size_t first);
void RtFileProgress(RtFile* f);
void RtThreadEndRequests(RtThreadState* ts);         // thread ends: drop its requests
void RtRequestRun(RtThreadState* ts, RtRequest* r);  // run its routine, give it back
void RtRequestDiscard(RtThreadState* ts, RtRequest* r);
NTSTATUS RtStatusFromError(DWORD error);
DWORD RtErrorFromStatus(NTSTATUS status);

// ---- faults and counters (rt_faults.cpp)
// Counts the call and decides whether an injected fault makes it fail; on
// failure the last error is set and 0 returned.
int RtCallEnter(PdxRtCall call, const char* name);

struct RtCounters {
    int handles, events, mutexes, threads, running_threads, files, heaps, heap_blocks, pending_io, queued_apcs;
};
extern RtCounters g_rt_counters;
#define RT_COUNT(field, delta) __atomic_add_fetch(&g_rt_counters.field, (delta), __ATOMIC_RELAXED)

// ---- modules (rt_modules.cpp)
// A module name as the loader compares it; 0 when it does not fit `cap`.
int RtModuleName(const char* in, char* out, size_t cap);
// For a path no handler owns: lets the HID-stack provider bring its path
// handlers; 1 when it attached just now.
int RtAttachHidStackPaths(void);

// ---- misc
void RtSetError(DWORD error);
// CLOCK_MONOTONIC in nanoseconds; returns 0 when the clock fails (errno set).
int RtClockNs(uint64_t* now);
DWORD RtErrorFromErrno(int err);
int RtStrcasecmp(const char* a, const char* b);
int RtStrncasecmp(const char* a, const char* b, size_t n);

#endif
