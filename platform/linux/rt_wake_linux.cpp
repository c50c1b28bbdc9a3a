// The runtime's thread wake-up on Linux: an eventfd for sleeps in poll(),
// a private futex on the sequence word for every other sleep (one system
// call on each side).
#include <errno.h>
#include <linux/futex.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "rt_syscalls.h"
#include "rt_wake.h"

int RtWakeFdOpen(void) { return RT_SYS(eventfd)(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void RtWakeFdSignal(int fd) {
    uint64_t one = 1;
    ssize_t n;
    do {
        n = RT_SYS(write)(fd, &one, sizeof(one));
    } while (n < 0 && errno == EINTR);
}

void RtWakeFdDrain(int fd) {
    uint64_t v;
    ssize_t n;
    do {
        n = RT_SYS(read)(fd, &v, sizeof(v));
    } while (n < 0 && errno == EINTR);
}

void RtWakeFdClose(int fd) { close(fd); }

void RtWordSleep(int* word, int expected, const struct timespec* timeout) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void RtWordWake(int* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }
