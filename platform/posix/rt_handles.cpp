// The handle table and the object life cycle. Handle values are small
// multiples of 4 as on Windows (never 0, never INVALID_HANDLE_VALUE), so a
// 32-bit copy of one is lossless. Lookups take no lock.
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

// Slots live in chunks that are allocated once and never move or go away,
// so a lookup needs no lock. A slot word holds the object pointer or 0. A
// lookup announces the object in its thread's state and checks the slot
// again (rt_hazards.cpp); a call that does not wait works under that, one
// that may wait first takes a reference. CloseHandle empties the word, waits
// until no lookup announces the object, then drops the handle's reference.
// Allocation and the free list take a plain lock.
// Chunk k holds FIRST_CHUNK << k slots, so a few handles cost little memory
// and 19 chunks reach the limit of 2^26 handles.
#define FIRST_CHUNK 256u
#define MAX_CHUNKS 19
#define MAX_SLOTS (FIRST_CHUNK * ((1u << MAX_CHUNKS) - 1))

static pthread_mutex_t g_alloc_lock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t* g_chunks[MAX_CHUNKS];  // slot i is handle (i + 1) * 4
static uint32_t* g_free;                // stack of free slot indices
static uint32_t g_free_count;
static uint32_t g_used;  // slots ever used
static uint32_t g_cap;   // slots in the chunks allocated so far

static uint64_t* SlotWord(uint32_t slot) {
    if (slot >= MAX_SLOTS) return nullptr;
    uint32_t k = 31 - (uint32_t)__builtin_clz(slot / FIRST_CHUNK + 1);
    uint64_t* chunk = __atomic_load_n(&g_chunks[k], __ATOMIC_ACQUIRE);
    return chunk ? &chunk[slot - FIRST_CHUNK * ((1u << k) - 1)] : nullptr;
}

void RtObjectInit(RtObject* obj, int type) {
    obj->type = type;
    obj->refs = 1;
    pthread_mutex_init(&obj->lock, nullptr);
    obj->waiters = nullptr;
    obj->waiters_tail = nullptr;
    obj->lock_owner = 0;
}

void RtObjectRef(RtObject* obj) {
    const int refs = RT_ATOMIC_ADD(&obj->refs, 1);
    PDX_ASSERT(refs > 1);  // only a live object gains references
}

void RtObjectRelease(RtObject* obj) {
    const int refs = RT_ATOMIC_ADD(&obj->refs, -1);
    PDX_ASSERT(refs >= 0);
    if (refs != 0) return;
    PDX_ASSERT(!obj->waiters);
    if (obj->type == RT_MUTEX && RtMutexKeptByOwner((RtMutex*)obj)) return;
    RtObjectDestroy(obj);
}

void RtObjectDestroy(RtObject* obj) {
    pthread_mutex_destroy(&obj->lock);
    switch (obj->type) {
    case RT_EVENT: RtEventDestroy((RtEvent*)obj); break;
    case RT_MUTEX: RtMutexDestroy((RtMutex*)obj); break;
    case RT_THREAD: RtThreadDestroy((RtThread*)obj); break;
    case RT_FILE: RtFileDestroy((RtFile*)obj); break;
    }
}

// A token per thread: the address of a thread-local byte.
static thread_local char t_lock_token;
static uintptr_t RtLockToken() { return (uintptr_t)&t_lock_token; }

void RtLock(RtObject* obj) {
    pthread_mutex_lock(&obj->lock);
    __atomic_store_n(&obj->lock_owner, RtLockToken(), __ATOMIC_RELAXED);
}

void RtUnlock(RtObject* obj) {
    PDX_ASSERT(RtLockHeld(obj));
    __atomic_store_n(&obj->lock_owner, 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&obj->lock);
}

bool RtLockHeld(const RtObject* obj) { return __atomic_load_n(&obj->lock_owner, __ATOMIC_RELAXED) == RtLockToken(); }

HANDLE RtHandleAlloc(RtObject* obj) {
    pthread_mutex_lock(&g_alloc_lock);
    uint32_t slot;
    if (g_free_count > 0) {
        slot = g_free[--g_free_count];
    } else {
        if (g_used == MAX_SLOTS) {
            pthread_mutex_unlock(&g_alloc_lock);
            RtSetError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (g_used == g_cap) {
            uint32_t k = 31 - (uint32_t)__builtin_clz(g_cap / FIRST_CHUNK + 1);
            uint32_t size = FIRST_CHUNK << k;
            uint64_t* chunk = (uint64_t*)RT_SYS(calloc)(size, sizeof(*chunk));
            uint32_t* free_slots =
                chunk ? (uint32_t*)RT_SYS(realloc)(g_free, (g_cap + size) * sizeof(*free_slots)) : nullptr;
            if (!free_slots) {
                free(chunk);
                pthread_mutex_unlock(&g_alloc_lock);
                RtSetError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            g_free = free_slots;
            g_cap += size;
            __atomic_store_n(&g_chunks[k], chunk, __ATOMIC_RELEASE);
        }
        slot = g_used++;
    }
    __atomic_store_n(SlotWord(slot), (uint64_t)(uintptr_t)obj, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_alloc_lock);
    RT_COUNT(handles, 1);
    return (HANDLE)(uintptr_t)((slot + 1) * 4);
}

static int SlotOf(HANDLE h, uint32_t* slot) {
    uintptr_t v = (uintptr_t)h;
    if (v == 0 || (v & 3) != 0 || v > 0xFFFFFFFFu) return 0;
    *slot = (uint32_t)(v / 4 - 1);
    return 1;
}

// The object a slot holds, announced by `ts` at `depth`; null when empty.
static RtObject* Announce(uint64_t* word, RtThreadState* ts, int depth) {
    uint64_t v = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    for (;;) {
        __atomic_store_n(&ts->hazards[depth], (RtObject*)(uintptr_t)v, __ATOMIC_SEQ_CST);
        const uint64_t again = __atomic_load_n(word, __ATOMIC_SEQ_CST);
        if (again == v) return (RtObject*)(uintptr_t)v;
        v = again;
    }
}

RtObject* RtHandlePin(HANDLE h, int type, RtPin* pin) {
    uint32_t slot;
    uint64_t* word = SlotOf(h, &slot) ? SlotWord(slot) : nullptr;
    RtObject* obj = nullptr;
    if (word) {
        RtThreadState* ts = RtSelf();
        // (Lookups nested deeper than the announcements go take references.)
        if (ts->hazard_linked && ts->hazard_depth < RT_HAZARDS) {
            pin->ts = ts;
            obj = Announce(word, ts, ts->hazard_depth++);
        } else {
            pin->ts = nullptr;
            obj = RtHazardsRefUnlisted(word);
        }
        pin->obj = obj;
        if (obj && type != 0 && obj->type != type) {
            RtHandleUnpin(pin);
            obj = nullptr;
        } else if (!obj && pin->ts) {
            RtHandleUnpin(pin);
        }
    }
    if (!obj) RtSetError(ERROR_INVALID_HANDLE);
    return obj;
}

void RtHandleUnpin(const RtPin* pin) {
    RtThreadState* ts = pin->ts;
    if (!ts) {
        RtObjectRelease(pin->obj);
        return;
    }
    PDX_ASSERT(ts->hazard_depth > 0);
    __atomic_store_n(&ts->hazards[--ts->hazard_depth], nullptr, __ATOMIC_RELEASE);
}

RtObject* RtHandlePinToRef(const RtPin* pin) {
    if (!pin->ts) return pin->obj;  // referenced already
    // The announcement keeps the object alive while the reference is taken.
    RtObjectRef(pin->obj);
    RtHandleUnpin(pin);
    return pin->obj;
}

RtObject* RtHandleGet(HANDLE h, int type) {
    RtPin pin;
    return RtHandlePin(h, type, &pin) ? RtHandlePinToRef(&pin) : nullptr;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!RtCallEnter(PDXRT_CloseHandle, nullptr)) return FALSE;
    uint32_t slot = 0;
    uint64_t* word = SlotOf(hObject, &slot) ? SlotWord(slot) : nullptr;
    uint64_t v = word ? __atomic_load_n(word, __ATOMIC_ACQUIRE) : 0;
    // Of two closes of one handle, the one that empties the slot closes it.
    while (v != 0 && !__atomic_compare_exchange_n(word, &v, 0, 1, __ATOMIC_SEQ_CST, __ATOMIC_ACQUIRE)) {}
    if (v == 0) {
        RtSetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RtObject* obj = (RtObject*)(uintptr_t)v;
    RtHazardsWaitFor(obj);
    pthread_mutex_lock(&g_alloc_lock);
    g_free[g_free_count++] = slot;
    pthread_mutex_unlock(&g_alloc_lock);
    RT_COUNT(handles, -1);
    // One handle per object: the handle's close is the object's close.
    if (obj->type == RT_FILE) RtFileClose((RtFile*)obj);
    RtObjectRelease(obj);  // the handle's
    return TRUE;
}

void RtWaiterAdd(RtObject* obj, RtWaiter* w) {
    PDX_ASSERT(RtLockHeld(obj));
    w->next = nullptr;
    w->satisfied = 0;
    if (obj->waiters_tail)
        obj->waiters_tail->next = w;
    else
        obj->waiters = w;
    obj->waiters_tail = w;
}

void RtWaiterRemove(RtObject* obj, RtWaiter* w) {
    PDX_ASSERT(RtLockHeld(obj));
    RtWaiter* prev = nullptr;
    for (RtWaiter* it = obj->waiters; it; prev = it, it = it->next) {
        if (it != w) continue;
        if (prev)
            prev->next = it->next;
        else
            obj->waiters = it->next;
        if (obj->waiters_tail == it) obj->waiters_tail = prev;
        return;
    }
}

RtWaiter* RtWaiterPop(RtObject* obj) {
    PDX_ASSERT(RtLockHeld(obj));
    RtWaiter* w = obj->waiters;
    if (w) {
        obj->waiters = w->next;
        if (!obj->waiters) obj->waiters_tail = nullptr;
    }
    return w;
}

// Object lock held: the waiter reads `satisfied` under the same lock, so it
// cannot return (and its thread cannot end) before the wake-up is written.
void RtWaiterSatisfy(RtWaiter* w, DWORD result) {
    w->result = result;
    w->satisfied = 1;
    RtWake(w->ts);
}

RtThreadState* RtWaiterSatisfyUnwoken(RtWaiter* w, DWORD result) {
    RtThreadState* ts = w->ts;
    RtThreadStateRef(ts);
    w->result = result;
    w->satisfied = 1;
    return ts;
}

void RtWakeSatisfied(RtThreadState* ts) {
    RtWake(ts);
    RtThreadStateRelease(ts);
}
