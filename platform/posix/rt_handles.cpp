// The handle table and the object life cycle. Handle values are small
// multiples of 4 as on Windows (never 0, never INVALID_HANDLE_VALUE), so a
// 32-bit copy of one is lossless. Lookups take no lock.
#include <stdlib.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

// Slots live in chunks that are allocated once and never move or go away,
// so a lookup needs no lock. A slot word holds the object pointer (low 48
// bits) and, above it, a count of lookups in progress. A lookup adds itself
// to that count (a pin); a call that does not wait works under its pin and
// then removes itself again, one that may wait first takes a reference;
// CloseHandle adds the count it finds to the object's references and then
// empties the word, so those lookups' shares keep the object alive until
// each of them drops its share. Allocation and the free list take a plain lock.
#define SLOT_PTR_MASK ((((uint64_t)1) << 48) - 1)
#define SLOT_PIN (((uint64_t)1) << 48)
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

// Handles made one after the other (a device's events and mutexes, say)
// are used by different threads at once; their words are spread a cache
// line apart within the chunk, so that pinning one does not take the line
// of the next from another core.
#define SLOTS_PER_LINE 8u
static uint64_t* SlotWord(uint32_t slot) {
    if (slot >= MAX_SLOTS) return nullptr;
    uint32_t k = 31 - (uint32_t)__builtin_clz(slot / FIRST_CHUNK + 1);
    uint64_t* chunk = __atomic_load_n(&g_chunks[k], __ATOMIC_ACQUIRE);
    if (!chunk) return nullptr;
    const uint32_t index = slot - FIRST_CHUNK * ((1u << k) - 1);
    const uint32_t lines = (FIRST_CHUNK << k) / SLOTS_PER_LINE;
    return &chunk[(index % lines) * SLOTS_PER_LINE + index / lines];
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
    PDX_ASSERT(((uintptr_t)obj & ~SLOT_PTR_MASK) == 0);
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

// Adds a pin to a slot that holds an object; the object, or null for an
// empty slot. The pin keeps the object alive until it is traded away.
static RtObject* PinSlot(uint64_t* word) {
    uint64_t v = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    while ((v & SLOT_PTR_MASK) != 0 &&
           !__atomic_compare_exchange_n(word, &v, v + SLOT_PIN, 1, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {}
    return (RtObject*)(uintptr_t)(v & SLOT_PTR_MASK);
}

RtObject* RtHandlePin(HANDLE h, int type, RtPin* pin) {
    uint32_t slot;
    uint64_t* word = SlotOf(h, &slot) ? SlotWord(slot) : nullptr;
    RtObject* obj = word ? PinSlot(word) : nullptr;
    if (!obj) {
        RtSetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    pin->obj = obj;
    pin->word = word;
    if (type != 0 && obj->type != type) {
        RtHandleUnpin(pin);
        RtSetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return obj;
}

void RtHandleUnpin(const RtPin* pin) {
    uint64_t v = __atomic_load_n(pin->word, __ATOMIC_RELAXED);
    for (;;) {
        if ((v & SLOT_PTR_MASK) != (uintptr_t)pin->obj || v < SLOT_PIN) {
            // Closed meanwhile: CloseHandle turned our pin into a reference.
            RtObjectRelease(pin->obj);
            return;
        }
        if (__atomic_compare_exchange_n(pin->word, &v, v - SLOT_PIN, 1, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) return;
    }
}

RtObject* RtHandlePinToRef(const RtPin* pin) {
    // The pin keeps the object alive while the reference is taken.
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
    uint32_t slot;
    uint64_t* word = SlotOf(hObject, &slot) ? SlotWord(slot) : nullptr;
    // Pin the slot like a lookup, then hold a reference of our own until the
    // close is done.
    RtObject* obj = word ? PinSlot(word) : nullptr;
    if (!obj) {
        RtSetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RtObjectRef(obj);
    uint64_t v = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    for (;;) {
        if ((v & SLOT_PTR_MASK) != (uintptr_t)obj || v < SLOT_PIN) {
            // Another close emptied it first and turned our pin into a
            // reference: give both back, as a lookup would.
            RtObjectRelease(obj);
            RtObjectRelease(obj);
            RtSetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // Every other pin is a lookup's share, which becomes a reference the
        // lookup drops later. It must be one before the slot is seen empty:
        // such a lookup may drop it at once, and several of them together
        // could otherwise take the object to zero under us.
        const int others = (int)(v >> 48) - 1;
        if (others) RT_ATOMIC_ADD(&obj->refs, others);
        if (__atomic_compare_exchange_n(word, &v, 0, 1, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) break;
        if (others) RT_ATOMIC_ADD(&obj->refs, -others);  // the pins changed: count again
    }
    pthread_mutex_lock(&g_alloc_lock);
    g_free[g_free_count++] = slot;
    pthread_mutex_unlock(&g_alloc_lock);
    RT_COUNT(handles, -1);
    // One handle per object: the handle's close is the object's close.
    if (obj->type == RT_FILE) RtFileClose((RtFile*)obj);
    RtObjectRelease(obj);  // the handle's
    RtObjectRelease(obj);  // ours
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
