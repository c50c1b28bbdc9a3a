// Extensions of the POSIX Win32 runtime for the parts that stand in for the
// operating system: HID-stack providers (the simulator, the platform's own
// HID stack) register modules and device paths here, and tests inject faults
// and read resource counters. Nothing here is exported from libpdxkit.so.
#ifndef PDX_POSIX_RUNTIME_H
#define PDX_POSIX_RUNTIME_H

// A C interface: its names are prefixed, in the C style.
// NOLINTBEGIN(readability-identifier-naming)

#include "pdx_win32.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Module registry -------------------------------------------------------
// "kernel32.dll" is always present (with at least "CancelIo"). Other modules
// come from registered definitions; LoadLibraryA matches names without regard
// to case and counts references like the real loader: the definition's
// on_load runs when the count goes from 0 to 1, on_unload when it returns
// to 0.
typedef struct PdxRtExport {
    const char* name;
    void* address;
} PdxRtExport;

typedef struct PdxRtModuleDef {
    const char* name;  // e.g. "hid.dll"
    const PdxRtExport* exports;
    size_t export_count;
    void (*on_load)(void* ctx);    // optional
    void (*on_unload)(void* ctx);  // optional
    void* ctx;
} PdxRtModuleDef;

// Registers (or replaces) a module definition; the definition must outlive
// the registration. Fails while the module is loaded.
BOOL pdxrt_register_module(const PdxRtModuleDef* def);
BOOL pdxrt_unregister_module(const char* name);
// Current reference count of a module (0 when not loaded or unknown).
DWORD pdxrt_module_refcount(const char* name);

// When no definition is registered for "hid.dll", "cfgmgr32.dll" or
// "setupapi.dll", the registry asks, in this order, the provider named by
// PDXKIT_HID_STACK (below) and then the default provider (the platform's HID stack sets it).
// The lookup returns a definition that outlives the process, or NULL.
typedef const PdxRtModuleDef* (*PdxRtModuleLookupFn)(const char* name);
void pdxrt_set_default_module_provider(PdxRtModuleLookupFn lookup);

// The platform's own HID stack, which the build links into the runtime
// (on Linux, platform/linux): the default provider until
// pdxrt_set_default_module_provider replaces it. A PdxRtModuleLookupFn.
const PdxRtModuleDef* pdxrt_platform_hid_module(const char* name);

// ---- Device paths ----------------------------------------------------------
// A path handler owns every CreateFileA path that begins with its prefix.
// It returns a connected descriptor and its kind, or -1 with a Win32 error.
// Kinds other than these two are served by whoever registered them with the
// runtime (e.g. the Linux HID stack's device nodes); a kind nobody serves is
// read and written as PDXRT_FILE_PLAIN.
enum PdxRtFileKind {
    PDXRT_FILE_PLAIN = 0,    // read()/write() on the descriptor; each read returns one report
    PDXRT_FILE_CHANNEL = 1,  // SOCK_SEQPACKET message channel, protocol below
};

// *write_length, 0 when not set, is the only length WriteFile(Ex) takes on
// the handle: like Windows' HID class driver, any other length fails at once
// with ERROR_INVALID_PARAMETER (a HID interface's output report length).
typedef int (*PdxRtOpenFn)(void* ctx, const char* path, DWORD access, DWORD share, DWORD flags, int* kind,
                           DWORD* write_length, DWORD* error);
BOOL pdxrt_register_path_handler(const char* prefix, PdxRtOpenFn open, void* ctx);
BOOL pdxrt_unregister_path_handler(const char* prefix);

// The descriptor behind a file handle (-1 when the handle is not a file), so
// a provider's HID queries can tell which of its interfaces a handle names.
int pdxrt_handle_fd(HANDLE file);

// ---- HID-stack provider in a shared object of its own --------------------
// libpdxkit.so carries its own copy of this runtime with hidden symbols, so a
// provider living in another shared object (e.g. the simulator for the JVM
// tests) cannot call pdxrt_register_module on it. Such a program names the
// provider instead in the environment variable PDXKIT_HID_STACK (a path for
// dlopen). The runtime loads it the first time it needs a HID-stack module or
// meets a device path that no registered handler owns, and looks up in that
// object alone, with C linkage:
//
//   const PdxRtModuleDef* const* pdxkit_hid_stack_modules(void);
//       required: NULL-terminated array of module definitions
//   const PdxRtPathDef* pdxkit_hid_stack_paths(void);
//       optional: path handlers, ended by an entry whose prefix is NULL
//   void pdxkit_hid_stack_attach(const PdxRtServices* services);
//       optional: called once, before any of the provider's modules is
//       loaded or paths opened, with services of the runtime instance that
//       loaded it (the table stays valid for the process)
//
// An object that cannot be loaded, or lacks pdxkit_hid_stack_modules, is
// ignored. A runtime instance attaches to the provider once and registers its
// paths as handlers; later lookups reuse them. HANDLE values passed to the
// provider's entry points belong to the attaching runtime: the provider
// must translate them with services->handle_fd, never with its own copy.
#define PDXKIT_HID_STACK_ENV "PDXKIT_HID_STACK"

typedef struct PdxRtPathDef {
    const char* prefix;
    PdxRtOpenFn open;
    void* ctx;
} PdxRtPathDef;

typedef struct PdxRtServices {
    DWORD size;  // sizeof(PdxRtServices) as the runtime knows it
    int (*handle_fd)(HANDLE file);
    BOOL (*register_path_handler)(const char* prefix, PdxRtOpenFn open, void* ctx);
    BOOL (*unregister_path_handler)(const char* prefix);
} PdxRtServices;

typedef const PdxRtModuleDef* const* (*PdxHidStackModulesFn)(void);
typedef const PdxRtPathDef* (*PdxHidStackPathsFn)(void);
typedef void (*PdxHidStackAttachFn)(const PdxRtServices* services);
#define PDXKIT_HID_STACK_MODULES_SYMBOL "pdxkit_hid_stack_modules"
#define PDXKIT_HID_STACK_PATHS_SYMBOL "pdxkit_hid_stack_paths"
#define PDXKIT_HID_STACK_ATTACH_SYMBOL "pdxkit_hid_stack_attach"

// Channel protocol (PDXRT_FILE_CHANNEL): every message starts with a tag byte.
//   host -> device: 'W' + the bytes of one write request.
//   device -> host: 'R' + one input report: completes the oldest pending read
//                   of that handle (cut to the read's length);
//                   'E' + DWORD error: completes the oldest pending read with
//                   that error and 0 bytes;
//                   'A' + DWORD error + DWORD bytes: completes the oldest
//                   pending write of that handle.
// When the device end closes, pending and later requests fail with
// ERROR_DEVICE_NOT_CONNECTED.
enum { PDXRT_MSG_WRITE = 'W', PDXRT_MSG_REPORT = 'R', PDXRT_MSG_READ_ERROR = 'E', PDXRT_MSG_WRITE_ACK = 'A' };

// ---- Fault injection -------------------------------------------------------
// Makes a kernel32 call fail as the platform would: the call returns its
// failure value and sets `error` as the last error. `skip` calls succeed
// first, then `count` calls fail (count 0: every later call fails).
typedef enum PdxRtCall {
    PDXRT_CreateFileA,
    PDXRT_CloseHandle,
    PDXRT_ReadFileEx,
    PDXRT_WriteFileEx,
    PDXRT_GetOverlappedResult,
    PDXRT_CancelIo,
    PDXRT_CreateEventA,
    PDXRT_SetEvent,
    PDXRT_ResetEvent,
    PDXRT_CreateMutexA,
    PDXRT_ReleaseMutex,
    PDXRT_WaitForSingleObject,
    PDXRT_WaitForSingleObjectEx,
    PDXRT_SleepEx,
    PDXRT_CreateThread,
    PDXRT_ResumeThread,
    PDXRT_HeapCreate,
    PDXRT_HeapAlloc,
    PDXRT_HeapFree,
    PDXRT_HeapDestroy,
    PDXRT_LoadLibraryA,
    PDXRT_GetProcAddress,
    PDXRT_FreeLibrary,
    PDXRT_GetModuleHandleA,
    PDXRT_CALL_COUNT
} PdxRtCall;

void pdxrt_fail_call(PdxRtCall call, DWORD skip, DWORD count, DWORD error);
// Fails only calls whose name argument matches (LoadLibraryA, GetProcAddress,
// GetModuleHandleA), e.g. to make "hid.dll" missing.
void pdxrt_fail_named_call(PdxRtCall call, const char* name, DWORD error);
void pdxrt_clear_faults(void);
// Number of times a call has been made since the last reset.
DWORD pdxrt_call_count(PdxRtCall call);
void pdxrt_reset_call_counts(void);

// ---- System calls ----------------------------------------------------------
// The runtime's own calls to the operating system (and the Linux HID
// stack's) go through one table whose entries are named after the C library
// functions they stand for: "calloc", "malloc", "realloc", "open", "read",
// "pread", "write", "pwrite", "recv", "sendmsg", "poll", "ppoll",
// "pthread_create", "clock_gettime", and the platform's own calls behind its
// thread wake-ups (rt_platform_syscalls.h). A test may put a function of
// the same signature in place of one (NULL restores the original), e.g. to
// fail it with a chosen errno. pdxrt_next_syscall(NULL) names the first
// entry, pdxrt_next_syscall(name) the one after it (NULL after the last).
typedef void (*PdxRtSyscall)(void);
BOOL pdxrt_set_syscall(const char* name, PdxRtSyscall fn);
PdxRtSyscall pdxrt_get_syscall(const char* name);
const char* pdxrt_next_syscall(const char* name);

// ---- Resource counters -----------------------------------------------------
typedef struct PdxRtCounters {
    DWORD handles;  // live handles of every kind
    DWORD events;
    DWORD mutexes;
    DWORD threads;  // live thread objects (running or not yet closed)
    DWORD running_threads;
    DWORD files;
    DWORD heaps;
    DWORD heap_blocks;  // blocks allocated from all private heaps
    DWORD pending_io;   // requests not yet completed
    DWORD queued_apcs;  // completions queued but not yet run
} PdxRtCounters;

void pdxrt_get_counters(PdxRtCounters* out);

#ifdef __cplusplus
}
#endif

// NOLINTEND(readability-identifier-naming)
#endif
