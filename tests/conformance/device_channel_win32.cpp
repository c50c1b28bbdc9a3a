// Windows device channels: a message-mode named pipe; the test keeps the
// server end as the device.
#include <stdio.h>

#include "device_channel.h"

struct DeviceChannel {
    HANDLE host;
    HANDLE server;
    HANDLE done;  // completion event of the server end's requests
};

static LONG g_serial;

DeviceChannel* OpenDeviceChannel(void) {
    char name[96];
    snprintf(name, sizeof(name), "\\\\.\\pipe\\pdxconf-%lu-%ld", (unsigned long)GetCurrentProcessId(),
             (long)InterlockedIncrement(&g_serial));
    HANDLE server =
        CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE host =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (host == INVALID_HANDLE_VALUE) {
        CloseHandle(server);
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(host, &mode, nullptr, nullptr);
    DeviceChannel* ch = new DeviceChannel;
    ch->host = host;
    ch->server = server;
    ch->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return ch;
}

HANDLE HostHandle(DeviceChannel* ch) { return ch->host; }

bool DeviceSend(DeviceChannel* ch, const void* data, DWORD len) {
    OVERLAPPED ov = {};
    ov.hEvent = ch->done;
    ResetEvent(ch->done);
    DWORD n = 0;
    if (!WriteFile(ch->server, data, len, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(ch->server, &ov, &n, TRUE) && n == len;
}

bool DeviceReceive(DeviceChannel* ch, void* buf, DWORD cap, DWORD* len, DWORD timeout_ms) {
    OVERLAPPED ov = {};
    ov.hEvent = ch->done;
    ResetEvent(ch->done);
    if (!ReadFile(ch->server, buf, cap, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(ch->done, timeout_ms) != WAIT_OBJECT_0) {
        CancelIo(ch->server);
        DWORD ignored;
        GetOverlappedResult(ch->server, &ov, &ignored, TRUE);
        return false;
    }
    return GetOverlappedResult(ch->server, &ov, len, FALSE) != FALSE;
}

void CloseDeviceChannel(DeviceChannel* ch, bool close_host) {
    if (close_host) CloseHandle(ch->host);
    CloseHandle(ch->server);
    CloseHandle(ch->done);
    delete ch;
}

const char* MissingFilePath(void) { return "C:\\windows\\pdx-conformance-no-such-file.bin"; }

const char* LoadableModuleName(void) { return "msimg32.dll"; }

const char* LoadableModuleExport(void) { return "GradientFill"; }
