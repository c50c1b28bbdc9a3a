// A connected "device" for overlapped I/O tests, made the same way the
// library meets devices on each target: on Windows a message-mode named pipe
// (the test holds the server end), on Linux a SOCK_SEQPACKET socketpair
// opened through a runtime path handler as a channel. The device end
// acknowledges host writes by itself on Linux, so a host write completes on
// both targets without the test answering it.
#ifndef PDX_CONFORMANCE_DEVICE_CHANNEL_H
#define PDX_CONFORMANCE_DEVICE_CHANNEL_H

#include "pdx_win32.h"

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#endif
#ifndef STATUS_PENDING
#define STATUS_PENDING ((DWORD)0x00000103)
#endif
#ifndef STATUS_CANCELLED
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120)
#endif

struct DeviceChannel;

// Opens a channel whose host handle has read and write access and is
// opened for overlapped I/O; nullptr on failure.
DeviceChannel* OpenDeviceChannel(void);
HANDLE HostHandle(DeviceChannel* ch);
// Sends one message from the device end; the host's oldest read gets it.
bool DeviceSend(DeviceChannel* ch, const void* data, DWORD len);
// Takes one host write at the device end, waiting up to timeout_ms.
bool DeviceReceive(DeviceChannel* ch, void* buf, DWORD cap, DWORD* len, DWORD timeout_ms);
// Closes the host handle (unless already closed by the test: pass false)
// and the device end.
void CloseDeviceChannel(DeviceChannel* ch, bool close_host = true);

// A path in an existing directory where no file exists.
const char* MissingFilePath(void);
// A module that is not loaded at start and can be loaded and freed, with one
// of its exports (on Linux registered by the support code).
const char* LoadableModuleName(void);
const char* LoadableModuleExport(void);

#endif
