// Opening /dev/hidrawN for CreateFileA, and knowing afterwards which node a
// file handle names, for the HID queries made on that handle.
#ifndef PDX_LINUX_HIDRAW_FILES_H
#define PDX_LINUX_HIDRAW_FILES_H

#include "hidraw_nodes.h"
#include "pdx_runtime.h"

#define PDX_HIDRAW_PATH_PREFIX "/dev/hidraw"
#define PDX_HIDRAW_MAX_FILES 256

// File kinds of a hidraw descriptor, served by hidraw_file_kind.cpp, which
// registers them with the runtime before the first one is handed out. Both
// read and write like
// PDXRT_FILE_PLAIN (one report per read(), one per write(), the report id
// byte first when the device numbers its reports), and fail pending and
// later requests with ERROR_DEVICE_NOT_CONNECTED once the device is gone
// (read() returning 0 or failing with EIO, write() failing with EIO or
// ENODEV). For a device without report ids hidraw leaves the id byte out of
// what it reads: the runtime reads into the second byte of the caller's
// buffer, at most one byte less than asked, sets the first byte to 0 and
// counts it. Writes go out unchanged: hidraw takes a leading 0 as "no
// report id".
enum PdxHidrawFileKind { PDX_HIDRAW_FILE_NUMBERED = 2, PDX_HIDRAW_FILE_UNNUMBERED = 3 };
void PdxHidrawRegisterFileKinds(void);  // idempotent

typedef struct PdxHidrawFile {
    char name[PDX_HIDRAW_NAME_MAX];       // "hidrawN"
    char hid_device[PDX_SYSFS_PATH_MAX];  // the HID device's directory when opened
    int numbered;
    ULONG input_buffers;
} PdxHidrawFile;

// Path handler for PDX_HIDRAW_PATH_PREFIX (PdxRtOpenFn).
int pdx_hidraw_open(void* ctx, const char* path, DWORD access, DWORD share, DWORD flags, int* kind, DWORD* write_length,
                    DWORD* error);

// The node a handle opened. FALSE with ERROR_INVALID_HANDLE when the handle
// is no hidraw file opened here, ERROR_DEVICE_NOT_CONNECTED when the device
// has gone since.
BOOL pdx_hidraw_file_of(HANDLE file, PdxHidrawFile* out);

// The input-buffer count recorded for a handle.
BOOL pdx_hidraw_set_input_buffers(HANDLE file, ULONG count);

#endif
