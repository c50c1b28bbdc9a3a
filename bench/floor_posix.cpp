// Floor on Linux: SOCK_SEQPACKET socketpairs with default buffers, as the
// simulator makes them; a reader thread per channel blocked in recv().
#include "bench_floor.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "bench_platform.h"
#include "pdx_runtime.h"

struct FloorChannels {
    FloorReceiveFn receive;
    void* ctx;
    std::vector<int> device_fds;
    std::vector<int> host_fds;
    std::vector<std::thread> readers;
};

static void ReadChannel(FloorChannels* floor, int channel) {
    uint8_t buffer[300];
    const int fd = floor->host_fds[channel];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        if (buffer[0] != PDXRT_MSG_REPORT) continue;
        floor->receive(floor->ctx, channel, buffer + 1, (uint32_t)(n - 1));
    }
}

FloorChannels* FloorOpen(int count, FloorReceiveFn receive, void* ctx) {
    FloorChannels* floor = new FloorChannels();
    floor->receive = receive;
    floor->ctx = ctx;
    for (int k = 0; k < count; k++) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
            FloorClose(floor);
            return nullptr;
        }
        floor->device_fds.push_back(sv[0]);
        floor->host_fds.push_back(sv[1]);
    }
    for (int k = 0; k < count; k++) floor->readers.emplace_back(ReadChannel, floor, k);
    return floor;
}

bool FloorSend(FloorChannels* floor, int channel, const uint8_t* report, uint32_t len) {
    uint8_t message[1 + 256];
    message[0] = PDXRT_MSG_REPORT;
    memcpy(message + 1, report, len);
    const ssize_t n = send(floor->device_fds[channel], message, 1 + len, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n == (ssize_t)(1 + len);
}

void FloorClose(FloorChannels* floor) {
    for (int fd : floor->host_fds) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : floor->readers) t.join();
    for (int fd : floor->host_fds) close(fd);
    for (int fd : floor->device_fds) close(fd);
    delete floor;
}

bool FloorWriteRoundTrips(uint32_t len, uint32_t calls, std::vector<int64_t>* samples) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return false;
    std::thread device([fd = sv[0]] {
        uint8_t buffer[300];
        const uint8_t ack[9] = {PDXRT_MSG_WRITE_ACK, 0, 0, 0, 0, 0, 0, 0, 0};
        while (recv(fd, buffer, sizeof buffer, 0) > 0) send(fd, ack, sizeof ack, MSG_NOSIGNAL);
    });
    uint8_t message[1 + 256] = {PDXRT_MSG_WRITE};
    uint8_t ack[16];
    bool ok = len <= 256;
    for (uint32_t k = 0; ok && k < calls; k++) {
        const int64_t start = BenchNowNs();
        ok = send(sv[1], message, 1 + len, MSG_NOSIGNAL) == (ssize_t)(1 + len) && recv(sv[1], ack, sizeof ack, 0) == 9;
        samples->push_back(BenchNowNs() - start);
    }
    shutdown(sv[1], SHUT_RDWR);
    device.join();
    close(sv[0]);
    close(sv[1]);
    return ok;
}
