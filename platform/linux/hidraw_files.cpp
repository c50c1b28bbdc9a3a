// Handles are told apart by their descriptor: the runtime hands out the
// descriptor that pdx_hidraw_open returned, and the file's identity (device
// and inode from fstat) guards against a descriptor number that has been
// closed and reused for something else since.
#include "hidraw_files.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hid_report_descriptor.h"
#include "rt_syscalls.h"

namespace {

// hidraw keeps a fixed ring of 64 reports for every open file
// (HIDRAW_BUFFER_SIZE); it cannot be resized. The count a caller sets is
// recorded per handle and reported back, within the range Windows accepts.
const ULONG kHidrawRingReports = 64;
const ULONG kMinInputBuffers = 2;
const ULONG kMaxInputBuffers = 512;

struct OpenFile {
    int in_use;
    int fd;
    dev_t dev;
    ino_t ino;
    PdxHidrawFile file;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
OpenFile g_files[PDX_HIDRAW_MAX_FILES];

int SameFile(const OpenFile* entry, const struct stat* st) {
    return entry->dev == st->st_dev && entry->ino == st->st_ino;
}

// Entry of a live descriptor; lock held.
OpenFile* FindEntry(int fd, const struct stat* st) {
    for (int i = 0; i < PDX_HIDRAW_MAX_FILES; i++)
        if (g_files[i].in_use && g_files[i].fd == fd && SameFile(&g_files[i], st)) return &g_files[i];
    return nullptr;
}

// A slot for a new descriptor: its own old one, a free one, or one whose
// descriptor has been closed or reused since; lock held.
OpenFile* FreeEntry(int fd) {
    for (int i = 0; i < PDX_HIDRAW_MAX_FILES; i++)
        if (g_files[i].in_use && g_files[i].fd == fd) return &g_files[i];
    for (int i = 0; i < PDX_HIDRAW_MAX_FILES; i++)
        if (!g_files[i].in_use) return &g_files[i];
    for (int i = 0; i < PDX_HIDRAW_MAX_FILES; i++) {
        struct stat st;
        if (fstat(g_files[i].fd, &st) != 0 || !SameFile(&g_files[i], &st)) return &g_files[i];
    }
    return nullptr;
}

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_GEN_FAILURE;
    }
}

int OpenFlags(DWORD access) {
    DWORD rw = access & (GENERIC_READ | GENERIC_WRITE);
    // Access 0 asks for queries only: they go to sysfs, so the descriptor
    // needs no read or write permission on the node.
    if (rw == 0) return O_PATH | O_CLOEXEC;
    int flags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (rw == (GENERIC_READ | GENERIC_WRITE)) return flags | O_RDWR;
    return flags | (rw == GENERIC_READ ? O_RDONLY : O_WRONLY);
}

// Whether the device puts a report id before each report, and the length
// of its output reports with the id byte (0: none). When the descriptor
// cannot be had, reports pass through as hidraw gives them, of any length.
int DeviceNumbersReports(const char* hid_device, DWORD* output_length) {
    uint8_t descriptor[PDX_HID_MAX_DESCRIPTOR];
    long size = pdx_hid_device_report_descriptor(hid_device, descriptor, sizeof(descriptor));
    PdxHidDescriptorSummary summary;
    *output_length = 0;
    if (size < 0 || !pdx_hid_parse_report_descriptor(descriptor, (size_t)size, &summary)) return 1;
    *output_length = summary.report_length[PDX_HID_OUTPUT];
    return summary.numbered;
}

}  // namespace

int pdx_hidraw_open(void* ctx, const char* path, DWORD access, DWORD share, DWORD flags, int* kind, DWORD* write_length,
                    DWORD* error) {
    (void)ctx;
    (void)share;  // hidraw has no exclusive opens; every open sees every report
    (void)flags;  // descriptors are non-blocking: the runtime makes all I/O overlapped
    const char* name = strrchr(path, '/');
    PdxHidrawNode node;
    if (!name || !pdx_hidraw_find_node(name + 1, &node)) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd;
    do {
        fd = RT_SYS(open)(path, OpenFlags(access));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = ErrorFromErrno(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = ErrorFromErrno(errno);
        close(fd);
        return -1;
    }
    DWORD output_length;
    int numbered = DeviceNumbersReports(node.hid_device, &output_length);

    pthread_mutex_lock(&g_lock);
    OpenFile* entry = FreeEntry(fd);
    if (entry) {
        memset(entry, 0, sizeof(*entry));
        entry->in_use = 1;
        entry->fd = fd;
        entry->dev = st.st_dev;
        entry->ino = st.st_ino;
        memcpy(entry->file.name, node.name, sizeof(node.name));
        memcpy(entry->file.hid_device, node.hid_device, sizeof(node.hid_device));
        entry->file.numbered = numbered;
        entry->file.input_buffers = kHidrawRingReports;
    }
    pthread_mutex_unlock(&g_lock);
    if (!entry) {
        close(fd);
        *error = ERROR_TOO_MANY_OPEN_FILES;
        return -1;
    }
    PdxHidrawRegisterFileKinds();
    *kind = numbered ? PDX_HIDRAW_FILE_NUMBERED : PDX_HIDRAW_FILE_UNNUMBERED;
    // Windows' HID class driver takes writes of exactly the output report
    // length; hidraw would send a shorter or longer one truncated or padded.
    *write_length = output_length;
    return fd;
}

BOOL pdx_hidraw_file_of(HANDLE file, PdxHidrawFile* out) {
    int fd = pdxrt_handle_fd(file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    pthread_mutex_lock(&g_lock);
    OpenFile* entry = FindEntry(fd, &st);
    if (entry) *out = entry->file;
    pthread_mutex_unlock(&g_lock);
    if (!entry) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pdx_sysfs_is_device(out->hid_device)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    return TRUE;
}

BOOL pdx_hidraw_set_input_buffers(HANDLE file, ULONG count) {
    PdxHidrawFile current;
    if (!pdx_hidraw_file_of(file, &current)) return FALSE;
    if (count < kMinInputBuffers || count > kMaxInputBuffers) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int fd = pdxrt_handle_fd(file);
    struct stat st;
    BOOL done = FALSE;
    pthread_mutex_lock(&g_lock);
    OpenFile* entry = fstat(fd, &st) == 0 ? FindEntry(fd, &st) : nullptr;
    // hidraw's ring of reports per handle has a fixed size: a count the
    // platform would take is accepted, and the handle keeps the ring it has,
    // which is what the count query goes on reporting.
    if (entry) done = TRUE;
    pthread_mutex_unlock(&g_lock);
    if (!done) SetLastError(ERROR_INVALID_HANDLE);
    return done;
}
