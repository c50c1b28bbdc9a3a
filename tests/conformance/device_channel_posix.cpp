// Linux device channels: a socketpair registered as a runtime path. A small
// device thread takes host writes ('W'), keeps them for DeviceReceive and
// acknowledges each one ('A', no error, all bytes).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "device_channel.h"
#include "pdx_runtime.h"

struct DeviceChannel {
    HANDLE host = INVALID_HANDLE_VALUE;
    int device_fd = -1;
    std::thread device;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::vector<unsigned char>> writes;
};

static const char kPrefix[] = "\\\\.\\pdxconf\\";
static std::mutex g_open_lock;
static int g_pending_fd = -1;

static int OpenChannelPath(void*, const char*, DWORD, DWORD, DWORD, int* kind, DWORD*, DWORD* error) {
    std::lock_guard<std::mutex> guard(g_open_lock);
    if (g_pending_fd < 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd = g_pending_fd;
    g_pending_fd = -1;
    *kind = PDXRT_FILE_CHANNEL;
    return fd;
}

static void PutDword(unsigned char* p, DWORD v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

static void DeviceLoop(DeviceChannel* ch) {
    std::vector<unsigned char> buf(65536);
    for (;;) {
        ssize_t n = recv(ch->device_fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (buf[0] != PDXRT_MSG_WRITE) continue;
        {
            std::lock_guard<std::mutex> guard(ch->lock);
            ch->writes.emplace_back(buf.begin() + 1, buf.begin() + n);
        }
        ch->arrived.notify_all();
        unsigned char ack[9] = {PDXRT_MSG_WRITE_ACK};
        PutDword(ack + 1, 0);
        PutDword(ack + 5, (DWORD)(n - 1));
        send(ch->device_fd, ack, sizeof(ack), MSG_NOSIGNAL);
    }
}

DeviceChannel* OpenDeviceChannel(void) {
    pdxrt_register_path_handler(kPrefix, OpenChannelPath, nullptr);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return nullptr;
    DeviceChannel* ch = new DeviceChannel;
    ch->device_fd = sv[1];
    {
        std::lock_guard<std::mutex> guard(g_open_lock);
        g_pending_fd = sv[0];
    }
    char path[64];
    snprintf(path, sizeof(path), "%schannel", kPrefix);
    ch->host = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (ch->host == INVALID_HANDLE_VALUE) {
        close(sv[0]);
        close(sv[1]);
        delete ch;
        return nullptr;
    }
    ch->device = std::thread(DeviceLoop, ch);
    return ch;
}

HANDLE HostHandle(DeviceChannel* ch) { return ch->host; }

bool DeviceSend(DeviceChannel* ch, const void* data, DWORD len) {
    std::vector<unsigned char> msg(len + 1);
    msg[0] = PDXRT_MSG_REPORT;
    memcpy(msg.data() + 1, data, len);
    return send(ch->device_fd, msg.data(), msg.size(), MSG_NOSIGNAL) == (ssize_t)msg.size();
}

bool DeviceReceive(DeviceChannel* ch, void* buf, DWORD cap, DWORD* len, DWORD timeout_ms) {
    std::unique_lock<std::mutex> guard(ch->lock);
    if (!ch->arrived.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return !ch->writes.empty(); }))
        return false;
    std::vector<unsigned char> msg = std::move(ch->writes.front());
    ch->writes.pop_front();
    DWORD n = (DWORD)msg.size() < cap ? (DWORD)msg.size() : cap;
    memcpy(buf, msg.data(), n);
    *len = n;
    return true;
}

void CloseDeviceChannel(DeviceChannel* ch, bool close_host) {
    if (close_host) CloseHandle(ch->host);
    shutdown(ch->device_fd, SHUT_RDWR);
    ch->device.join();
    close(ch->device_fd);
    delete ch;
}

const char* MissingFilePath(void) { return "/tmp/pdx-conformance-no-such-file.bin"; }

static int ModuleExportStub(void) { return 1; }

static const PdxRtExport kModuleExports[] = {{"GradientFill", (void*)&ModuleExportStub}};
static const PdxRtModuleDef kModule = {"msimg32.dll", kModuleExports, 1, nullptr, nullptr, nullptr};

const char* LoadableModuleName(void) {
    pdxrt_register_module(&kModule);
    return "msimg32.dll";
}

const char* LoadableModuleExport(void) { return "GradientFill"; }
