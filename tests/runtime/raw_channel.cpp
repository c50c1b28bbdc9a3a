#include "raw_channel.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

static const char kPrefix[] = "\\\\.\\pdxraw\\";
static std::mutex g_lock;
static int g_fd = -1;
static int g_kind;

static int OpenPending(void*, const char*, DWORD, DWORD, DWORD, int* kind, DWORD*, DWORD* error) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_fd < 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd = g_fd;
    g_fd = -1;
    *kind = g_kind;
    return fd;
}

bool OpenRawChannel(RawChannel* ch, int kind, DWORD access) {
    pdxrt_register_path_handler(kPrefix, OpenPending, nullptr);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_fd = sv[0];
        g_kind = kind;
    }
    ch->device = sv[1];
    ch->host = CreateFileA("\\\\.\\pdxraw\\dev", access, 3, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (ch->host == INVALID_HANDLE_VALUE) {
        close(sv[0]);
        close(sv[1]);
        ch->device = -1;
        return false;
    }
    return true;
}

void CloseRawChannel(RawChannel* ch) {
    if (ch->host != INVALID_HANDLE_VALUE) CloseHandle(ch->host);
    if (ch->device >= 0) close(ch->device);
    ch->host = INVALID_HANDLE_VALUE;
    ch->device = -1;
}

static bool SendTagged(RawChannel* ch, unsigned char tag, const void* data, size_t len) {
    std::vector<unsigned char> msg(len + 1);
    msg[0] = tag;
    if (len) memcpy(msg.data() + 1, data, len);
    return send(ch->device, msg.data(), msg.size(), MSG_NOSIGNAL) == (ssize_t)msg.size();
}

static void PutDword(unsigned char* p, DWORD v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

bool SendReport(RawChannel* ch, const void* data, size_t len) { return SendTagged(ch, PDXRT_MSG_REPORT, data, len); }

bool SendReadError(RawChannel* ch, DWORD error) {
    unsigned char body[4];
    PutDword(body, error);
    return SendTagged(ch, PDXRT_MSG_READ_ERROR, body, 4);
}

bool SendAck(RawChannel* ch, DWORD error, DWORD bytes) {
    unsigned char body[8];
    PutDword(body, error);
    PutDword(body + 4, bytes);
    return SendTagged(ch, PDXRT_MSG_WRITE_ACK, body, 8);
}

std::vector<unsigned char> ReceiveMessage(RawChannel* ch, int timeout_ms) {
    struct pollfd pfd = {ch->device, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return {};
    std::vector<unsigned char> buf(65536);
    ssize_t n = recv(ch->device, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0) return {};
    buf.resize((size_t)n);
    return buf;
}

std::vector<Done>& CompletionLog(void) {
    static thread_local std::vector<Done> log;
    return log;
}

VOID CALLBACK RecordCompletion(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
    CompletionLog().push_back(Done{error, bytes, ov});
}

void RunCompletions(size_t count) {
    for (int i = 0; i < 50 && CompletionLog().size() < count; i++) SleepEx(200, TRUE);
}
