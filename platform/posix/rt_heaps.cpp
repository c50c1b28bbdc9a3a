// Private heaps. A heap handle is the address of its record (as on Windows,
// not a kernel handle). Blocks come from malloc with a header that links
// them into their heap, so HeapDestroy frees every block still allocated.
// A heap with a maximum size is fixed: allocations past it fail.
#include <stdlib.h>
#include <string.h>

#include "rt_internal.h"
#include "rt_syscalls.h"

#define RT_HEAP_MAGIC 0x50444850u  // "PHDP"
#define RT_BLOCK_MAGIC 0x50444B42u

struct RtBlock;

struct RtHeap {
    uint32_t magic;
    DWORD options;
    SIZE_T max_size;
    SIZE_T used;
    pthread_mutex_t lock;
    RtBlock* blocks;
};

// Header in front of every block; 32 bytes keep the payload 16-byte aligned.
struct RtBlock {
    RtBlock* next;
    RtBlock* prev;
    SIZE_T size;
    uint32_t magic;
    uint32_t pad;
};

static_assert(sizeof(RtBlock) % 16 == 0, "block header keeps payload alignment");

static void HeapLock(RtHeap* heap, DWORD flags) {
    if (!((heap->options | flags) & HEAP_NO_SERIALIZE)) pthread_mutex_lock(&heap->lock);
}

static void HeapUnlock(RtHeap* heap, DWORD flags) {
    if (!((heap->options | flags) & HEAP_NO_SERIALIZE)) pthread_mutex_unlock(&heap->lock);
}

static RtHeap* HeapOf(HANDLE h) {
    RtHeap* heap = (RtHeap*)h;
    if (!heap || heap == INVALID_HANDLE_VALUE || heap->magic != RT_HEAP_MAGIC) {
        RtSetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return heap;
}

extern "C" HANDLE WINAPI HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize) {
    if (!RtCallEnter(PDXRT_HeapCreate, nullptr)) return nullptr;
    if (dwMaximumSize != 0 && dwInitialSize > dwMaximumSize) {
        RtSetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RtHeap* heap = (RtHeap*)RT_SYS(calloc)(1, sizeof(*heap));
    if (!heap) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    heap->magic = RT_HEAP_MAGIC;
    heap->options = flOptions;
    heap->max_size = dwMaximumSize;
    pthread_mutex_init(&heap->lock, nullptr);
    RT_COUNT(heaps, 1);
    return (HANDLE)heap;
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (!RtCallEnter(PDXRT_HeapAlloc, nullptr)) return nullptr;
    RtHeap* heap = HeapOf(hHeap);
    if (!heap) return nullptr;
    if (dwBytes > ((SIZE_T)-1) / 2) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    RtBlock* b = (RtBlock*)((dwFlags & HEAP_ZERO_MEMORY) ? RT_SYS(calloc)(1, sizeof(RtBlock) + dwBytes)
                                                         : RT_SYS(malloc)(sizeof(RtBlock) + dwBytes));
    if (!b) {
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    b->size = dwBytes;
    b->magic = RT_BLOCK_MAGIC;
    b->prev = nullptr;
    HeapLock(heap, dwFlags);
    if (heap->max_size != 0 && heap->used + dwBytes > heap->max_size) {
        HeapUnlock(heap, dwFlags);
        free(b);
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    heap->used += dwBytes;
    b->next = heap->blocks;
    if (heap->blocks) heap->blocks->prev = b;
    heap->blocks = b;
    HeapUnlock(heap, dwFlags);
    RT_COUNT(heap_blocks, 1);
    return b + 1;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    if (!RtCallEnter(PDXRT_HeapFree, nullptr)) return FALSE;
    RtHeap* heap = HeapOf(hHeap);
    if (!heap) return FALSE;
    if (!lpMem) return TRUE;
    RtBlock* b = (RtBlock*)lpMem - 1;
    if (b->magic != RT_BLOCK_MAGIC) {
        RtSetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HeapLock(heap, dwFlags);
    if (b->prev)
        b->prev->next = b->next;
    else
        heap->blocks = b->next;
    if (b->next) b->next->prev = b->prev;
    heap->used -= b->size;
    HeapUnlock(heap, dwFlags);
    b->magic = 0;
    free(b);
    RT_COUNT(heap_blocks, -1);
    return TRUE;
}

extern "C" BOOL WINAPI HeapDestroy(HANDLE hHeap) {
    if (!RtCallEnter(PDXRT_HeapDestroy, nullptr)) return FALSE;
    RtHeap* heap = HeapOf(hHeap);
    if (!heap) return FALSE;
    RtBlock* b = heap->blocks;
    while (b) {
        RtBlock* next = b->next;
        b->magic = 0;
        free(b);
        RT_COUNT(heap_blocks, -1);
        b = next;
    }
    heap->magic = 0;
    pthread_mutex_destroy(&heap->lock);
    free(heap);
    RT_COUNT(heaps, -1);
    return TRUE;
}
