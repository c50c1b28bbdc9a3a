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

struct RtSyscalls {
    void* (*calloc)(size_t n, size_t size);
    void* (*malloc)(size_t size);
    void* (*realloc)(void* p, size_t size);
    int (*eventfd)(unsigned int initval, int flags);
    int (*open)(const char* path, int flags, ...);
    ssize_t (*read)(int fd, void* buf, size_t n);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t offset);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    ssize_t (*pwrite)(int fd, const void* buf, size_t n, off_t offset);
    ssize_t (*recv)(int fd, void* buf, size_t n, int flags);
    ssize_t (*sendmsg)(int fd, const struct msghdr* msg, int flags);
    int (*poll)(struct pollfd* fds, nfds_t n, int timeout_ms);
    int (*ppoll)(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask);
    int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);
    int (*clock_gettime)(clockid_t clock, struct timespec* now);
};

extern struct RtSyscalls g_rt_sys;

// Tests swap entries while other threads call through them: RT_SYS(read)
// loads the entry atomically, once per call.
#define RT_SYS(name) (__atomic_load_n(&g_rt_sys.name, __ATOMIC_ACQUIRE))

#endif
