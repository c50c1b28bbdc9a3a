// The operating-system calls of the runtime (and of the Linux HID stack
// beside it), made through one table so that tests can put their own
// function in place of any of them, by name, and make it fail, once or from
// some call on, with any errno or a short transfer. Each entry has the
// signature of the C library function it is named after.
#ifndef PDX_RT_SYSCALLS_H
#define PDX_RT_SYSCALLS_H

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include "rt_platform_syscalls.h"

// X(name, return type, parameters) for each entry, in the table's order; the
// platform's own calls (RT_PLATFORM_SYSCALLS, e.g. its wake-up descriptor)
// come after the allocators.
#define RT_SYSCALLS(X)                                                                                         \
    X(calloc, void*, (size_t n, size_t size))                                                                  \
    X(malloc, void*, (size_t size))                                                                            \
    X(realloc, void*, (void* p, size_t size))                                                                  \
    RT_PLATFORM_SYSCALLS(X)                                                                                    \
    X(open, int, (const char* path, int flags, ...))                                                           \
    X(read, ssize_t, (int fd, void* buf, size_t n))                                                            \
    X(pread, ssize_t, (int fd, void* buf, size_t n, off_t offset))                                             \
    X(write, ssize_t, (int fd, const void* buf, size_t n))                                                     \
    X(pwrite, ssize_t, (int fd, const void* buf, size_t n, off_t offset))                                      \
    X(recv, ssize_t, (int fd, void* buf, size_t n, int flags))                                                 \
    X(sendmsg, ssize_t, (int fd, const struct msghdr* msg, int flags))                                         \
    X(poll, int, (struct pollfd * fds, nfds_t n, int timeout_ms))                                              \
    X(ppoll, int, (struct pollfd * fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask))       \
    X(pthread_create, int, (pthread_t * thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)) \
    X(clock_gettime, int, (clockid_t clock, struct timespec * now))

#define RT_SYSCALL_FIELD(name, ret, params) ret(*name) params;
struct RtSyscalls {
    RT_SYSCALLS(RT_SYSCALL_FIELD)
};
#undef RT_SYSCALL_FIELD

extern struct RtSyscalls g_rt_sys;

// Tests swap entries while other threads call through them: RT_SYS(read)
// loads the entry atomically, once per call.
#define RT_SYS(name) (__atomic_load_n(&g_rt_sys.name, __ATOMIC_ACQUIRE))

#endif
