#include "hidraw_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

struct HidrawReader {
    int fd = -1;
    FloorReceiveFn receive = nullptr;
    void* ctx = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

// The reader stops on a signal that interrupts its read (no SA_RESTART):
// a wake-up pipe would put a poll() before every read, which is not the
// plain read this floor stands for.
static const int kStopSignal = SIGUSR1;

static void OnStopSignal(int) {}

static void Read(HidrawReader* reader) {
    uint8_t report[1 + 64] = {0};
    while (!reader->stop) {
        const ssize_t n = read(reader->fd, report + 1, sizeof report - 1);
        if (n > 0) reader->receive(reader->ctx, 0, report, (uint32_t)n + 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    reader->done = true;
}

HidrawReader* HidrawReaderStart(const char* path, FloorReceiveFn receive, void* ctx) {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(kStopSignal, &action, nullptr);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    HidrawReader* reader = new HidrawReader();
    reader->fd = fd;
    reader->receive = receive;
    reader->ctx = ctx;
    reader->thread = std::thread(Read, reader);
    return reader;
}

void HidrawReaderStop(HidrawReader* reader) {
    reader->stop = true;
    // Again until it ends: a signal that came just before the read began
    // did not interrupt it.
    while (!reader->done) {
        pthread_kill(reader->thread.native_handle(), kStopSignal);
        usleep(10000);
    }
    reader->thread.join();
    close(reader->fd);
    delete reader;
}
