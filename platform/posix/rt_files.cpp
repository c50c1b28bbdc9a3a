// CreateFileA, path handlers and the file object's life cycle. Paths owned
// by a registered handler are opened by it (a descriptor and its kind);
// other paths are opened with open(2). Every descriptor is non-blocking.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rt_file_kinds.h"
#include "rt_syscalls.h"

#define RT_PATH_SLOTS 32
#define RT_PREFIX_MAX 256

struct RtPathHandler {
    char prefix[RT_PREFIX_MAX];
    PdxRtOpenFn open;
    void* ctx;
    int used;
};

static pthread_mutex_t g_path_lock = PTHREAD_MUTEX_INITIALIZER;
static RtPathHandler g_paths[RT_PATH_SLOTS];

// The kinds this runtime serves itself; the others come from their owners.
static const RtFileOps* g_file_kinds[RT_FILE_KIND_SLOTS] = {&kRtPlainFileOps, &kRtChannelFileOps};

BOOL RtRegisterFileKind(int kind, const RtFileOps* ops) {
    if (kind < 0 || kind >= RT_FILE_KIND_SLOTS || !ops) return FALSE;
    const RtFileOps* none = nullptr;
    return __atomic_compare_exchange_n(&g_file_kinds[kind], &none, ops, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE) ||
           none == ops;
}

const RtFileOps* RtFileKindOps(int kind) {
    if (kind < 0 || kind >= RT_FILE_KIND_SLOTS) return nullptr;
    return __atomic_load_n(&g_file_kinds[kind], __ATOMIC_ACQUIRE);
}

extern "C" BOOL pdxrt_register_path_handler(const char* prefix, PdxRtOpenFn open_fn, void* ctx) {
    if (!prefix || !*prefix || !open_fn || strlen(prefix) >= RT_PREFIX_MAX) return FALSE;
    pthread_mutex_lock(&g_path_lock);
    RtPathHandler* slot = nullptr;
    for (int i = 0; i < RT_PATH_SLOTS && !slot; i++)
        if (g_paths[i].used && RtStrcasecmp(g_paths[i].prefix, prefix) == 0) slot = &g_paths[i];
    for (int i = 0; i < RT_PATH_SLOTS && !slot; i++)
        if (!g_paths[i].used) slot = &g_paths[i];
    if (slot) {
        strcpy(slot->prefix, prefix);
        slot->open = open_fn;
        slot->ctx = ctx;
        slot->used = 1;
    }
    pthread_mutex_unlock(&g_path_lock);
    return slot != nullptr;
}

extern "C" BOOL pdxrt_unregister_path_handler(const char* prefix) {
    if (!prefix) return FALSE;
    BOOL found = FALSE;
    pthread_mutex_lock(&g_path_lock);
    for (int i = 0; i < RT_PATH_SLOTS; i++) {
        if (g_paths[i].used && RtStrcasecmp(g_paths[i].prefix, prefix) == 0) {
            memset(&g_paths[i], 0, sizeof(g_paths[i]));
            found = TRUE;
        }
    }
    pthread_mutex_unlock(&g_path_lock);
    return found;
}

// Longest matching prefix wins; device paths compare without case as on
// Windows.
static int FindHandler(const char* path, PdxRtOpenFn* open_fn, void** ctx) {
    size_t best = 0;
    pthread_mutex_lock(&g_path_lock);
    for (int i = 0; i < RT_PATH_SLOTS; i++) {
        if (!g_paths[i].used) continue;
        size_t n = strlen(g_paths[i].prefix);
        if (n > best && RtStrncasecmp(path, g_paths[i].prefix, n) == 0) {
            best = n;
            *open_fn = g_paths[i].open;
            *ctx = g_paths[i].ctx;
        }
    }
    pthread_mutex_unlock(&g_path_lock);
    return best > 0;
}

DWORD RtErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return 80;  // ERROR_FILE_EXISTS
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL:
    case EMSGSIZE: return ERROR_INVALID_PARAMETER;
    case EFAULT: return ERROR_NOACCESS;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case ESHUTDOWN:
    case ECONNRESET:
    case ENOTCONN: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_GEN_FAILURE;
    }
}

static int OpenPlain(const char* path, DWORD access, DWORD disposition, DWORD* error) {
    int flags = O_CLOEXEC | O_NONBLOCK;
    DWORD rw = access & (GENERIC_READ | GENERIC_WRITE);
    if (rw == (GENERIC_READ | GENERIC_WRITE))
        flags |= O_RDWR;
    else if (rw == GENERIC_WRITE)
        flags |= O_WRONLY;
    else if (rw == GENERIC_READ)
        flags |= O_RDONLY;
    else
        flags = O_CLOEXEC | O_PATH;  // access 0: queries only, I/O refused
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case 4: flags |= O_CREAT; break;  // OPEN_ALWAYS
    case 5: flags |= O_TRUNC; break;  // TRUNCATE_EXISTING
    default: *error = ERROR_INVALID_PARAMETER; return -1;
    }
    if ((flags & O_PATH) && (flags & (O_CREAT | O_TRUNC))) flags = (flags & ~O_PATH) | O_RDONLY;
    int fd;
    do {
        fd = RT_SYS(open)(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) *error = RtErrorFromErrno(errno);
    return fd;
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!RtCallEnter(PDXRT_CreateFileA, lpFileName)) return INVALID_HANDLE_VALUE;
    if (!lpFileName || !*lpFileName) {
        RtSetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    PdxRtOpenFn open_fn = nullptr;
    void* ctx = nullptr;
    int found = FindHandler(lpFileName, &open_fn, &ctx);
    if (!found && RtAttachHidStackPaths()) found = FindHandler(lpFileName, &open_fn, &ctx);
    int kind = PDXRT_FILE_PLAIN;
    DWORD write_length = 0;
    DWORD error = ERROR_FILE_NOT_FOUND;
    int fd;
    if (found) {
        fd = open_fn(ctx, lpFileName, dwDesiredAccess, dwShareMode, dwFlagsAndAttributes, &kind, &write_length, &error);
        if (fd >= 0) {
            int fl = fcntl(fd, F_GETFL);
            if (fl >= 0 && !(fl & O_NONBLOCK)) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        } else if (error == ERROR_SUCCESS) {
            error = ERROR_FILE_NOT_FOUND;
        }
    } else {
        fd = OpenPlain(lpFileName, dwDesiredAccess, dwCreationDisposition, &error);
    }
    if (fd < 0) {
        RtSetError(error);
        return INVALID_HANDLE_VALUE;
    }
    // A kind nobody serves is read and written as a plain file.
    const RtFileOps* ops = RtFileKindOps(kind);
    if (!ops) {
        ops = &kRtPlainFileOps;
        kind = PDXRT_FILE_PLAIN;
    }
    RtFile* f = (RtFile*)RT_SYS(calloc)(1, sizeof(*f) + ops->state_size);
    if (f) {
        f->ops = ops;
        f->kind_state = ops->state_size ? (void*)(f + 1) : nullptr;
        if (ops->open(f) != ERROR_SUCCESS) {
            free(f);
            f = nullptr;
        }
    }
    if (!f) {
        close(fd);
        RtSetError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    RtObjectInit(&f->base, RT_FILE);
    f->fd = fd;
    f->kind = kind;
    f->write_length = write_length;
    f->access = dwDesiredAccess;
    struct stat st;
    f->is_regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    RT_COUNT(files, 1);
    HANDLE h = RtHandleAlloc(&f->base);
    if (!h) {
        RtObjectRelease(&f->base);
        return INVALID_HANDLE_VALUE;
    }
    // Like CreateFile on Windows: success with a fresh open clears the error.
    RtSetError(ERROR_SUCCESS);
    return h;
}

void RtFileDestroy(RtFile* f) {
    if (f->fd >= 0) close(f->fd);
    if (f->ops->destroy) f->ops->destroy(f);
    RT_COUNT(files, -1);
    free(f);
}

extern "C" int pdxrt_handle_fd(HANDLE file) {
    RtObject* obj = RtHandleGet(file, RT_FILE);
    if (!obj) return -1;
    int fd = ((RtFile*)obj)->fd;
    RtObjectRelease(obj);
    return fd;
}
