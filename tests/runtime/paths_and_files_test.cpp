// Path handlers (longest prefix, case, errors, arguments) and plain files:
// descriptors read report by report, regular files at OVERLAPPED offsets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "raw_channel.h"

namespace {

struct OpenCall {
    std::string path;
    DWORD access = 0;
    int fd = -1;
    int kind = PDXRT_FILE_PLAIN;
    DWORD error = ERROR_SUCCESS;
    int calls = 0;
};

static int Open(void* ctx, const char* path, DWORD access, DWORD, DWORD, int* kind, DWORD*, DWORD* error) {
    OpenCall* c = (OpenCall*)ctx;
    c->calls++;
    c->path = path;
    c->access = access;
    *kind = c->kind;
    if (c->fd < 0) *error = c->error;
    return c->fd;
}

TEST(PathHandlers, LongestPrefixWinsWithoutRegardToCase) {
    OpenCall shortc, longc;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    longc.fd = sv[0];
    ASSERT_TRUE(pdxrt_register_path_handler("\\\\?\\pdxp#", Open, &shortc));
    ASSERT_TRUE(pdxrt_register_path_handler("\\\\?\\pdxp#long#", Open, &longc));
    HANDLE h = CreateFileA("\\\\?\\PDXP#LONG#dev1", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(longc.calls, 1);
    EXPECT_EQ(shortc.calls, 0);
    EXPECT_EQ(longc.path, "\\\\?\\PDXP#LONG#dev1");
    EXPECT_EQ(longc.access, GENERIC_READ);
    EXPECT_EQ(pdxrt_handle_fd(h), sv[0]);
    EXPECT_NE(fcntl(sv[0], F_GETFL) & O_NONBLOCK, 0) << "the runtime's descriptors are non-blocking";
    CloseHandle(h);
    close(sv[1]);
    pdxrt_unregister_path_handler("\\\\?\\pdxp#");
    pdxrt_unregister_path_handler("\\\\?\\pdxp#long#");
}

TEST(PathHandlers, HandlerErrorIsTheLastError) {
    OpenCall c;
    c.error = ERROR_SHARING_VIOLATION;
    ASSERT_TRUE(pdxrt_register_path_handler("\\\\?\\pdxerr#", Open, &c));
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\?\\pdxerr#x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(pdxrt_unregister_path_handler("\\\\?\\pdxerr#"));
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\?\\pdxerr#x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(c.calls, 1);
}

TEST(PathHandlers, HandleFdOfNonFileIsMinusOne) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(pdxrt_handle_fd(e), -1);
    CloseHandle(e);
}

TEST(PlainFiles, EachReadTakesOneReport) {
    CompletionLog().clear();
    RawChannel ch;  // a datagram descriptor opened as a plain file
    ASSERT_TRUE(OpenRawChannel(&ch, PDXRT_FILE_PLAIN));
    ASSERT_EQ(send(ch.device, "\x01\x02\x03", 3, 0), 3);
    ASSERT_EQ(send(ch.device, "\x04\x05", 2, 0), 2);
    unsigned char a[8] = {}, b[8] = {};
    OVERLAPPED ova = {}, ovb = {};
    ASSERT_TRUE(ReadFileEx(ch.host, a, sizeof(a), &ova, RecordCompletion));
    ASSERT_TRUE(ReadFileEx(ch.host, b, sizeof(b), &ovb, RecordCompletion));
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[0].bytes, 3u);
    EXPECT_EQ(CompletionLog()[1].bytes, 2u);
    EXPECT_EQ(b[0], 4);
    OVERLAPPED ovw = {};
    ASSERT_TRUE(WriteFileEx(ch.host, "out", 3, &ovw, RecordCompletion));
    RunCompletions(3);
    ASSERT_EQ(CompletionLog().size(), 3u);
    EXPECT_EQ(CompletionLog()[2].bytes, 3u) << "a plain write completes once written";
    char got[8];
    EXPECT_EQ(recv(ch.device, got, sizeof(got), 0), 3);
    CloseRawChannel(&ch);
}

TEST(PlainFiles, RegularFileUsesOffsets) {
    CompletionLog().clear();
    char path[] = "/tmp/pdxrt-file-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.Offset = 4;
    ASSERT_TRUE(WriteFileEx(h, "data", 4, &ov, RecordCompletion));
    RunCompletions(1);
    char buf[8] = {};
    OVERLAPPED ovr = {};
    ovr.Offset = 4;
    ASSERT_TRUE(ReadFileEx(h, buf, sizeof(buf), &ovr, RecordCompletion));
    RunCompletions(2);
    ASSERT_EQ(CompletionLog().size(), 2u);
    EXPECT_EQ(CompletionLog()[1].bytes, 4u);
    EXPECT_EQ(memcmp(buf, "data", 4), 0);
    OVERLAPPED ove = {};
    ove.Offset = 100;
    ASSERT_TRUE(ReadFileEx(h, buf, sizeof(buf), &ove, RecordCompletion));
    RunCompletions(3);
    ASSERT_EQ(CompletionLog().size(), 3u);
    EXPECT_EQ(CompletionLog()[2].error, ERROR_HANDLE_EOF);
    CloseHandle(h);
    SetLastError(0);
    EXPECT_EQ(CreateFileA(path, GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 80u) << "ERROR_FILE_EXISTS";
    unlink(path);
}

}  // namespace
