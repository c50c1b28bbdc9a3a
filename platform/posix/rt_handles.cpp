// The handle table and the object life cycle. Handle values are small
// multiples of 4 as on Windows (never 0, never INVALID_HANDLE_VALUE), so a
// 32-bit copy of one is lossless. Lookups share a read lock, so concurrent
// lookups never wait for each other.
#include <stdlib.h>

#include "rt_internal.h"

static pthread_rwlock_t g_table_lock = PTHREAD_RWLOCK_INITIALIZER;
static RtObject** g_table;   // slot i is handle (i + 1) * 4
static uint32_t* g_free;     // stack of free slot indices
static uint32_t g_free_count;
static uint32_t g_used;      // slots ever used
static uint32_t g_cap;

void rt_object_init(RtObject* obj, int type)
{
    obj->type = type;
    obj->refs = 1;
    pthread_mutex_init(&obj->lock, NULL);
    obj->waiters = NULL;
    obj->waiters_tail = NULL;
}

void rt_object_ref(RtObject* obj) { RT_ATOMIC_ADD(&obj->refs, 1); }

void rt_object_release(RtObject* obj)
{
    if (RT_ATOMIC_ADD(&obj->refs, -1) != 0)
        return;
    pthread_mutex_destroy(&obj->lock);
    switch (obj->type) {
    case RT_EVENT: rt_event_destroy((RtEvent*)obj); break;
    case RT_MUTEX: rt_mutex_destroy((RtMutex*)obj); break;
    case RT_THREAD: rt_thread_destroy((RtThread*)obj); break;
    case RT_FILE: rt_file_destroy((RtFile*)obj); break;
    }
}

void rt_lock(RtObject* obj) { pthread_mutex_lock(&obj->lock); }
void rt_unlock(RtObject* obj) { pthread_mutex_unlock(&obj->lock); }

HANDLE rt_handle_alloc(RtObject* obj)
{
    pthread_rwlock_wrlock(&g_table_lock);
    uint32_t slot;
    if (g_free_count > 0) {
        slot = g_free[--g_free_count];
    } else {
        if (g_used == g_cap) {
            uint32_t cap = g_cap ? g_cap * 2 : 256;
            if (cap > (1u << 26)) {
                pthread_rwlock_unlock(&g_table_lock);
                rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
                return NULL;
            }
            RtObject** table = (RtObject**)realloc(g_table, cap * sizeof(*table));
            if (!table) {
                pthread_rwlock_unlock(&g_table_lock);
                rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
                return NULL;
            }
            g_table = table;
            uint32_t* free_slots = (uint32_t*)realloc(g_free, cap * sizeof(*free_slots));
            if (!free_slots) {
                pthread_rwlock_unlock(&g_table_lock);
                rt_set_error(ERROR_NOT_ENOUGH_MEMORY);
                return NULL;
            }
            g_free = free_slots;
            g_cap = cap;
        }
        slot = g_used++;
    }
    g_table[slot] = obj;
    pthread_rwlock_unlock(&g_table_lock);
    RT_COUNT(handles, 1);
    return (HANDLE)(uintptr_t)((slot + 1) * 4);
}

static int slot_of(HANDLE h, uint32_t* slot)
{
    uintptr_t v = (uintptr_t)h;
    if (v == 0 || (v & 3) != 0 || v > 0xFFFFFFFFu)
        return 0;
    *slot = (uint32_t)(v / 4 - 1);
    return 1;
}

RtObject* rt_handle_get(HANDLE h, int type)
{
    uint32_t slot;
    RtObject* obj = NULL;
    if (slot_of(h, &slot)) {
        pthread_rwlock_rdlock(&g_table_lock);
        if (slot < g_used)
            obj = g_table[slot];
        if (obj && (type == 0 || obj->type == type))
            rt_object_ref(obj);
        else
            obj = NULL;
        pthread_rwlock_unlock(&g_table_lock);
    }
    if (!obj)
        rt_set_error(ERROR_INVALID_HANDLE);
    return obj;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (!rt_call_enter(PDXRT_CloseHandle, NULL))
        return FALSE;
    uint32_t slot;
    RtObject* obj = NULL;
    if (slot_of(hObject, &slot)) {
        pthread_rwlock_wrlock(&g_table_lock);
        if (slot < g_used && g_table[slot]) {
            obj = g_table[slot];
            g_table[slot] = NULL;
            g_free[g_free_count++] = slot;
        }
        pthread_rwlock_unlock(&g_table_lock);
    }
    if (!obj) {
        rt_set_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RT_COUNT(handles, -1);
    // One handle per object: the handle's close is the object's close.
    if (obj->type == RT_FILE)
        rt_file_close((RtFile*)obj);
    rt_object_release(obj);
    return TRUE;
}

void rt_waiter_add(RtObject* obj, RtWaiter* w)
{
    w->next = NULL;
    w->satisfied = 0;
    if (obj->waiters_tail)
        obj->waiters_tail->next = w;
    else
        obj->waiters = w;
    obj->waiters_tail = w;
}

void rt_waiter_remove(RtObject* obj, RtWaiter* w)
{
    RtWaiter* prev = NULL;
    for (RtWaiter* it = obj->waiters; it; prev = it, it = it->next) {
        if (it != w)
            continue;
        if (prev)
            prev->next = it->next;
        else
            obj->waiters = it->next;
        if (obj->waiters_tail == it)
            obj->waiters_tail = prev;
        return;
    }
}

RtWaiter* rt_waiter_pop(RtObject* obj)
{
    RtWaiter* w = obj->waiters;
    if (w) {
        obj->waiters = w->next;
        if (!obj->waiters)
            obj->waiters_tail = NULL;
    }
    return w;
}

// Object lock held: the waiter reads `satisfied` under the same lock, so it
// cannot return (and its thread cannot end) before the wake-up is written.
void rt_waiter_satisfy(RtWaiter* w, DWORD result)
{
    w->result = result;
    w->satisfied = 1;
    rt_wake(w->ts);
}
