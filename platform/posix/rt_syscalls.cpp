// The system-call table and its overrides by name.
#include "rt_syscalls.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pdx_runtime.h"

#define RT_SYSCALL_ORIGINAL(name, ret, params) name,
struct RtSyscalls g_rt_sys = {RT_SYSCALLS(RT_SYSCALL_ORIGINAL)};
#undef RT_SYSCALL_ORIGINAL

// Each name with its entry and the C library's function, which restores it.
#define RT_SYSCALL(name, ret, params) {#name, (void**)&g_rt_sys.name, (PdxRtSyscall)name},
static const struct {
    const char* name;
    void** entry;
    PdxRtSyscall original;
} g_syscalls[] = {RT_SYSCALLS(RT_SYSCALL)};
#undef RT_SYSCALL

#define RT_SYSCALL_COUNT (sizeof(g_syscalls) / sizeof(g_syscalls[0]))
static_assert(RT_SYSCALL_COUNT * sizeof(void*) == sizeof(RtSyscalls), "every entry of the table has a name");

static int Find(const char* name) {
    for (size_t i = 0; name && i < RT_SYSCALL_COUNT; i++)
        if (strcmp(g_syscalls[i].name, name) == 0) return (int)i;
    return -1;
}

// Entries are swapped while other threads may call through them: every
// access is atomic, and callers load an entry once per call.
extern "C" BOOL pdxrt_set_syscall(const char* name, PdxRtSyscall fn) {
    int i = Find(name);
    if (i < 0) return FALSE;
    __atomic_store_n((PdxRtSyscall*)g_syscalls[i].entry, fn ? fn : g_syscalls[i].original, __ATOMIC_RELEASE);
    return TRUE;
}

extern "C" PdxRtSyscall pdxrt_get_syscall(const char* name) {
    int i = Find(name);
    return i < 0 ? nullptr : __atomic_load_n((PdxRtSyscall*)g_syscalls[i].entry, __ATOMIC_ACQUIRE);
}

extern "C" const char* pdxrt_next_syscall(const char* name) {
    if (!name) return g_syscalls[0].name;
    int i = Find(name);
    return i < 0 || (size_t)i + 1 == RT_SYSCALL_COUNT ? nullptr : g_syscalls[i + 1].name;
}
