#include "syscall_faults.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "pdx_runtime.h"

namespace {

std::mutex g_lock;
SyscallFault g_fault;
bool g_failing;
unsigned g_calls;
unsigned g_hits;

enum Outcome { kPass, kFail, kCut };

// Decides the fate of one call of the armed entry.
Outcome Decide(int fd) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_fault.fd >= 0 && fd != g_fault.fd) return kPass;
    ++g_calls;
    if (!g_failing) return kPass;
    if (g_fault.skip > 0) {
        --g_fault.skip;
        return kPass;
    }
    if (g_fault.count > 0 && --g_fault.count == 0) g_failing = false;
    ++g_hits;
    if (g_fault.error == kShort) return kCut;
    errno = g_fault.error;
    return kFail;
}

size_t Cut(size_t n) { return n > 1 ? n / 2 : n; }

void* Calloc(size_t n, size_t size) { return Decide(-1) == kFail ? nullptr : calloc(n, size); }
void* Malloc(size_t size) { return Decide(-1) == kFail ? nullptr : malloc(size); }
void* Realloc(void* p, size_t size) { return Decide(-1) == kFail ? nullptr : realloc(p, size); }
int Eventfd(unsigned int value, int flags) { return Decide(-1) == kFail ? -1 : eventfd(value, flags); }
int Open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return Decide(-1) == kFail ? -1 : open(path, flags, mode);
}
ssize_t Read(int fd, void* buf, size_t n) {
    const Outcome o = Decide(fd);
    return o == kFail ? -1 : read(fd, buf, o == kCut ? Cut(n) : n);
}
ssize_t Pread(int fd, void* buf, size_t n, off_t at) {
    const Outcome o = Decide(fd);
    return o == kFail ? -1 : pread(fd, buf, o == kCut ? Cut(n) : n, at);
}
ssize_t Write(int fd, const void* buf, size_t n) {
    const Outcome o = Decide(fd);
    return o == kFail ? -1 : write(fd, buf, o == kCut ? Cut(n) : n);
}
ssize_t Pwrite(int fd, const void* buf, size_t n, off_t at) {
    const Outcome o = Decide(fd);
    return o == kFail ? -1 : pwrite(fd, buf, o == kCut ? Cut(n) : n, at);
}
ssize_t Recv(int fd, void* buf, size_t n, int flags) { return Decide(fd) == kFail ? -1 : recv(fd, buf, n, flags); }
ssize_t Sendmsg(int fd, const struct msghdr* msg, int flags) {
    return Decide(fd) == kFail ? -1 : sendmsg(fd, msg, flags);
}
int Poll(struct pollfd* fds, nfds_t n, int timeout) { return Decide(-1) == kFail ? -1 : poll(fds, n, timeout); }
int Ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    return Decide(-1) == kFail ? -1 : ppoll(fds, n, timeout, mask);
}
// pthread_create reports its error as the result, not in errno.
int PthreadCreate(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    return Decide(-1) == kFail ? errno : pthread_create(thread, attr, start, arg);
}
int ClockGettime(clockid_t clock, struct timespec* now) { return Decide(-1) == kFail ? -1 : clock_gettime(clock, now); }

const struct {
    const char* name;
    PdxRtSyscall wrapper;
} kWrappers[] = {
    {"calloc", reinterpret_cast<PdxRtSyscall>(Calloc)},
    {"malloc", reinterpret_cast<PdxRtSyscall>(Malloc)},
    {"realloc", reinterpret_cast<PdxRtSyscall>(Realloc)},
    {"eventfd", reinterpret_cast<PdxRtSyscall>(Eventfd)},
    {"open", reinterpret_cast<PdxRtSyscall>(Open)},
    {"read", reinterpret_cast<PdxRtSyscall>(Read)},
    {"pread", reinterpret_cast<PdxRtSyscall>(Pread)},
    {"write", reinterpret_cast<PdxRtSyscall>(Write)},
    {"pwrite", reinterpret_cast<PdxRtSyscall>(Pwrite)},
    {"recv", reinterpret_cast<PdxRtSyscall>(Recv)},
    {"sendmsg", reinterpret_cast<PdxRtSyscall>(Sendmsg)},
    {"poll", reinterpret_cast<PdxRtSyscall>(Poll)},
    {"ppoll", reinterpret_cast<PdxRtSyscall>(Ppoll)},
    {"pthread_create", reinterpret_cast<PdxRtSyscall>(PthreadCreate)},
    {"clock_gettime", reinterpret_cast<PdxRtSyscall>(ClockGettime)},
};

void Install(const SyscallFault& fault, bool failing) {
    ClearSyscallFaults();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_fault = fault;
        g_failing = failing;
        g_calls = 0;
        g_hits = 0;
    }
    for (const auto& w : kWrappers) {
        if (strcmp(w.name, fault.name) == 0) {
            pdxrt_set_syscall(w.name, w.wrapper);
            return;
        }
    }
    abort();  // a name the wrappers do not know
}

}  // namespace

void ArmSyscallFault(const SyscallFault& fault) { Install(fault, true); }

void CountSyscall(const char* name) { Install(SyscallFault{name, 0, 0, 0}, false); }

void ClearSyscallFaults() {
    for (const char* name = pdxrt_next_syscall(nullptr); name; name = pdxrt_next_syscall(name))
        pdxrt_set_syscall(name, nullptr);
}

unsigned SyscallCalls() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_calls;
}

unsigned SyscallFaultsHit() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_hits;
}

std::string Describe(const SyscallFault& fault) {
    std::string s = std::string(fault.name) + " " + (fault.error == kShort ? "cut short" : strerror(fault.error));
    if (fault.count == 0) return s + " from call " + std::to_string(fault.skip + 1) + " on";
    if (fault.count == 1) return s + " at call " + std::to_string(fault.skip + 1);
    return s + " at calls " + std::to_string(fault.skip + 1) + " to " + std::to_string(fault.skip + fault.count);
}
