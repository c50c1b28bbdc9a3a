// Floor on Windows: message-mode named pipes with the simulator's buffer
// size; a reader thread per pipe blocked in a synchronous ReadFile.
#include "bench_floor.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <thread>

#include "bench_platform.h"
#include <vector>

struct FloorChannels {
    FloorReceiveFn receive;
    void* ctx;
    std::vector<HANDLE> device_ends;
    std::vector<HANDLE> host_ends;
    std::vector<std::thread> readers;
};

static const DWORD kPipeBuffer = 128 * 65;
static const uint8_t kReportTag = 'R';

static void ReadChannel(FloorChannels* floor, int channel) {
    uint8_t buffer[300];
    const HANDLE pipe = floor->host_ends[channel];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) || n == 0) return;
        if (buffer[0] != kReportTag) continue;
        floor->receive(floor->ctx, channel, buffer + 1, n - 1);
    }
}

// A connected message-mode pipe pair; false on failure.
static bool PipePair(const char* what, int index, HANDLE* server_out, HANDLE* client_out) {
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\pdxbench-%s-%lu-%d", what, GetCurrentProcessId(), index);
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                     kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) return false;
    HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE) {
        CloseHandle(server);
        return false;
    }
    ConnectNamedPipe(server, nullptr);  // already connected: ERROR_PIPE_CONNECTED
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
    *server_out = server;
    *client_out = client;
    return true;
}

FloorChannels* FloorOpen(int count, FloorReceiveFn receive, void* ctx) {
    FloorChannels* floor = new FloorChannels();
    floor->receive = receive;
    floor->ctx = ctx;
    for (int k = 0; k < count; k++) {
        HANDLE server, client;
        if (!PipePair("floor", k, &server, &client)) {
            FloorClose(floor);
            return nullptr;
        }
        floor->device_ends.push_back(server);
        floor->host_ends.push_back(client);
    }
    for (int k = 0; k < count; k++) floor->readers.emplace_back(ReadChannel, floor, k);
    return floor;
}

bool FloorSend(FloorChannels* floor, int channel, const uint8_t* report, uint32_t len) {
    uint8_t message[1 + 256];
    message[0] = kReportTag;
    memcpy(message + 1, report, len);
    DWORD written = 0;
    return WriteFile(floor->device_ends[channel], message, 1 + len, &written, nullptr) && written == 1 + len;
}

void FloorClose(FloorChannels* floor) {
    for (HANDLE h : floor->device_ends) {
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
    for (std::thread& t : floor->readers) t.join();
    for (HANDLE h : floor->host_ends) CloseHandle(h);
    delete floor;
}

bool FloorWriteRoundTrips(uint32_t len, uint32_t calls, std::vector<int64_t>* samples) {
    static int next;
    HANDLE server, client;
    if (len > 256 || !PipePair("write", next++, &server, &client)) return false;
    std::thread device([server] {
        uint8_t buffer[300];
        const uint8_t ack[9] = {'A', 0, 0, 0, 0, 0, 0, 0, 0};
        DWORD n = 0;
        while (ReadFile(server, buffer, sizeof buffer, &n, nullptr) && n > 0)
            WriteFile(server, ack, sizeof ack, &n, nullptr);
    });
    uint8_t message[1 + 256] = {'W'};
    uint8_t ack[16];
    bool ok = true;
    for (uint32_t k = 0; ok && k < calls; k++) {
        DWORD n = 0;
        const int64_t start = BenchNowNs();
        ok = WriteFile(client, message, 1 + len, &n, nullptr) && ReadFile(client, ack, sizeof ack, &n, nullptr) &&
             n == 9;
        samples->push_back(BenchNowNs() - start);
    }
    CloseHandle(client);
    device.join();
    CloseHandle(server);
    return ok;
}
