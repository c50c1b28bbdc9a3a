// In-process module registry behind LoadLibraryA and friends. "kernel32.dll"
// is built in and always loaded; other modules are registered definitions,
// found by name without regard to case, with ".dll" optional and any
// directory ignored, and counted like the real loader counts references.
// Loader calls and on_load/on_unload run under one recursive loader lock.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "rt_internal.h"

#define RT_MODULE_SLOTS 64
#define RT_MODULE_NAME 64

struct PdxModule {
    char name[RT_MODULE_NAME];
    const PdxRtModuleDef* def;  // nullptr for kernel32 and the main program
    DWORD refs;
    int used;
};

static pthread_mutex_t g_loader_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static PdxModule g_modules[RT_MODULE_SLOTS];
static PdxModule g_main_module = {"", nullptr, 1, 1};
// The platform's HID stack answers when no other provider does.
static PdxRtModuleLookupFn g_default_provider = pdxrt_platform_hid_module;

#define KERNEL32_EXPORT(fn) \
    { #fn, (void*)&fn }
static const PdxRtExport kKernel32Exports[] = {
    KERNEL32_EXPORT(GetLastError),
    KERNEL32_EXPORT(SetLastError),
    KERNEL32_EXPORT(CloseHandle),
    KERNEL32_EXPORT(CreateEventA),
    KERNEL32_EXPORT(SetEvent),
    KERNEL32_EXPORT(ResetEvent),
    KERNEL32_EXPORT(CreateMutexA),
    KERNEL32_EXPORT(ReleaseMutex),
    KERNEL32_EXPORT(WaitForSingleObject),
    KERNEL32_EXPORT(WaitForSingleObjectEx),
    KERNEL32_EXPORT(SleepEx),
    KERNEL32_EXPORT(Sleep),
    KERNEL32_EXPORT(QueueUserAPC),
    KERNEL32_EXPORT(CreateThread),
    KERNEL32_EXPORT(ResumeThread),
    KERNEL32_EXPORT(ExitThread),
    KERNEL32_EXPORT(TerminateThread),
    KERNEL32_EXPORT(GetExitCodeThread),
    KERNEL32_EXPORT(GetCurrentThreadId),
    KERNEL32_EXPORT(CreateFileA),
    KERNEL32_EXPORT(ReadFileEx),
    KERNEL32_EXPORT(WriteFileEx),
    KERNEL32_EXPORT(GetOverlappedResult),
    KERNEL32_EXPORT(CancelIo),
    KERNEL32_EXPORT(HeapCreate),
    KERNEL32_EXPORT(HeapAlloc),
    KERNEL32_EXPORT(HeapFree),
    KERNEL32_EXPORT(HeapDestroy),
    KERNEL32_EXPORT(LoadLibraryA),
    KERNEL32_EXPORT(GetProcAddress),
    KERNEL32_EXPORT(FreeLibrary),
    KERNEL32_EXPORT(GetModuleHandleA),
};
static const PdxRtModuleDef kKernel32 = {
    "kernel32.dll", kKernel32Exports, sizeof(kKernel32Exports) / sizeof(kKernel32Exports[0]),
    nullptr,        nullptr,          nullptr};

// Lower case, directory dropped, ".dll" added when there is no extension
// (a trailing dot means "no extension" and is dropped), as the loader does.
int RtModuleName(const char* in, char* out, size_t cap) {
    const char* base = in;
    for (const char* p = in; *p; p++)
        if (*p == '\\' || *p == '/') base = p + 1;
    size_t n = strlen(base);
    int has_ext = strchr(base, '.') != nullptr;
    if (n > 0 && base[n - 1] == '.') {
        n--;
        has_ext = 1;
    }
    if (n == 0 || n + 5 > cap) return 0;
    for (size_t i = 0; i < n; i++) {
        char c = base[i];
        out[i] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    }
    out[n] = 0;
    if (!has_ext) memcpy(out + n, ".dll", 5);
    return 1;
}

static void EnsureKernel32(void) {
    if (g_modules[0].used) return;
    strcpy(g_modules[0].name, "kernel32.dll");
    g_modules[0].def = &kKernel32;
    g_modules[0].refs = 1;
    g_modules[0].used = 1;
}

static PdxModule* FindSlot(const char* norm) {
    EnsureKernel32();
    for (int i = 0; i < RT_MODULE_SLOTS; i++)
        if (g_modules[i].used && strcmp(g_modules[i].name, norm) == 0) return &g_modules[i];
    return nullptr;
}

static PdxModule* PutDef(const char* norm, const PdxRtModuleDef* def) {
    PdxModule* m = FindSlot(norm);
    if (m) return m;
    for (int i = 1; i < RT_MODULE_SLOTS; i++) {
        if (!g_modules[i].used) {
            m = &g_modules[i];
            strcpy(m->name, norm);
            m->def = def;
            m->refs = 0;
            m->used = 1;
            return m;
        }
    }
    return nullptr;
}

static int IsHidStackName(const char* norm) {
    return strcmp(norm, "hid.dll") == 0 || strcmp(norm, "cfgmgr32.dll") == 0 || strcmp(norm, "setupapi.dll") == 0;
}

static const PdxRtServices kServices = {sizeof(PdxRtServices), pdxrt_handle_fd, pdxrt_register_path_handler,
                                        pdxrt_unregister_path_handler};

// The provider named by PDXKIT_HID_STACK, loaded and attached the first
// time a HID-stack module or an unowned device path is needed; its paths
// become handlers. Nothing else in the process is consulted: a library that
// merely exports the provider's symbols is not a provider. Loader lock held.
static PdxHidStackModulesFn g_stack_modules;
static int g_stack_tried;

static void AttachEnvironmentHidStack(void) {
    g_stack_tried = 1;
    const char* path = getenv(PDXKIT_HID_STACK_ENV);
    void* object = path && *path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!object) return;
    PdxHidStackModulesFn modules = (PdxHidStackModulesFn)dlsym(object, PDXKIT_HID_STACK_MODULES_SYMBOL);
    if (!modules) {
        dlclose(object);
        return;
    }
    PdxHidStackAttachFn attach = (PdxHidStackAttachFn)dlsym(object, PDXKIT_HID_STACK_ATTACH_SYMBOL);
    if (attach) attach(&kServices);
    PdxHidStackPathsFn paths = (PdxHidStackPathsFn)dlsym(object, PDXKIT_HID_STACK_PATHS_SYMBOL);
    const PdxRtPathDef* p = paths ? paths() : nullptr;
    for (; p && p->prefix; p++) pdxrt_register_path_handler(p->prefix, p->open, p->ctx);
    g_stack_modules = modules;
}

// Module list of the environment's provider, or nullptr.
static const PdxRtModuleDef* const* EnvironmentHidStack(void) {
    if (!g_stack_tried) AttachEnvironmentHidStack();
    return g_stack_modules ? g_stack_modules() : nullptr;
}

// Called by CreateFileA for a path that no handler owns: the provider may
// bring handlers for it. Returns 1 when it attached just now.
int RtAttachHidStackPaths(void) {
    pthread_mutex_lock(&g_loader_lock);
    int attached = 0;
    if (!g_stack_tried) {
        AttachEnvironmentHidStack();
        attached = g_stack_modules != nullptr;
    }
    pthread_mutex_unlock(&g_loader_lock);
    return attached;
}

static PdxModule* Lookup(const char* norm) {
    PdxModule* m = FindSlot(norm);
    if ((m && m->def) || !IsHidStackName(norm)) return m;
    const PdxRtModuleDef* def = nullptr;
    const PdxRtModuleDef* const* list = EnvironmentHidStack();
    for (; list && *list && !def; list++) {
        char name[RT_MODULE_NAME];
        if ((*list)->name && RtModuleName((*list)->name, name, sizeof(name)) && strcmp(name, norm) == 0) def = *list;
    }
    if (!def && g_default_provider) def = g_default_provider(norm);
    if (!def) return nullptr;
    return PutDef(norm, def);
}

extern "C" BOOL pdxrt_register_module(const PdxRtModuleDef* def) {
    char norm[RT_MODULE_NAME];
    if (!def || !def->name || !RtModuleName(def->name, norm, sizeof(norm))) return FALSE;
    pthread_mutex_lock(&g_loader_lock);
    PdxModule* m = FindSlot(norm);
    BOOL ok = FALSE;
    if (m && m->refs == 0) {
        m->def = def;
        ok = TRUE;
    } else if (!m) {
        ok = PutDef(norm, def) != nullptr;
    }
    pthread_mutex_unlock(&g_loader_lock);
    return ok;
}

extern "C" BOOL pdxrt_unregister_module(const char* name) {
    char norm[RT_MODULE_NAME];
    if (!name || !RtModuleName(name, norm, sizeof(norm))) return FALSE;
    pthread_mutex_lock(&g_loader_lock);
    PdxModule* m = FindSlot(norm);
    BOOL ok = m && m != &g_modules[0] && m->refs == 0;
    if (ok) memset(m, 0, sizeof(*m));
    pthread_mutex_unlock(&g_loader_lock);
    return ok;
}

extern "C" DWORD pdxrt_module_refcount(const char* name) {
    char norm[RT_MODULE_NAME];
    if (!name || !RtModuleName(name, norm, sizeof(norm))) return 0;
    pthread_mutex_lock(&g_loader_lock);
    PdxModule* m = FindSlot(norm);
    DWORD refs = m ? m->refs : 0;
    pthread_mutex_unlock(&g_loader_lock);
    return refs;
}

extern "C" void pdxrt_set_default_module_provider(PdxRtModuleLookupFn lookup_fn) {
    pthread_mutex_lock(&g_loader_lock);
    g_default_provider = lookup_fn;
    pthread_mutex_unlock(&g_loader_lock);
}

static PdxModule* ModuleOf(HMODULE h) {
    PdxModule* m = (PdxModule*)h;
    if (m == &g_main_module) return m;
    if (m < &g_modules[0] || m >= &g_modules[RT_MODULE_SLOTS] ||
        ((uintptr_t)m - (uintptr_t)&g_modules[0]) % sizeof(PdxModule) != 0 || !m->used || m->refs == 0)
        return nullptr;
    return m;
}

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    char norm[RT_MODULE_NAME];
    const char* fault_name = lpLibFileName && RtModuleName(lpLibFileName, norm, sizeof(norm)) ? norm : nullptr;
    if (!RtCallEnter(PDXRT_LoadLibraryA, fault_name)) return nullptr;
    if (!lpLibFileName) {
        RtSetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!fault_name) {
        RtSetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    pthread_mutex_lock(&g_loader_lock);
    PdxModule* m = Lookup(norm);
    if (!m || !m->def) {
        pthread_mutex_unlock(&g_loader_lock);
        RtSetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (m != &g_modules[0] && m->refs++ == 0 && m->def->on_load) m->def->on_load(m->def->ctx);
    pthread_mutex_unlock(&g_loader_lock);
    return (HMODULE)m;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!RtCallEnter(PDXRT_FreeLibrary, nullptr)) return FALSE;
    pthread_mutex_lock(&g_loader_lock);
    EnsureKernel32();
    PdxModule* m = ModuleOf(hLibModule);
    if (!m) {
        pthread_mutex_unlock(&g_loader_lock);
        RtSetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (m != &g_modules[0] && m != &g_main_module && --m->refs == 0 && m->def->on_unload)
        m->def->on_unload(m->def->ctx);
    pthread_mutex_unlock(&g_loader_lock);
    return TRUE;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    char norm[RT_MODULE_NAME];
    const char* fault_name = lpModuleName && RtModuleName(lpModuleName, norm, sizeof(norm)) ? norm : nullptr;
    if (!RtCallEnter(PDXRT_GetModuleHandleA, fault_name)) return nullptr;
    if (!lpModuleName) return (HMODULE)&g_main_module;
    pthread_mutex_lock(&g_loader_lock);
    PdxModule* m = fault_name ? FindSlot(norm) : nullptr;
    HMODULE h = m && m->refs > 0 ? (HMODULE)m : nullptr;
    pthread_mutex_unlock(&g_loader_lock);
    if (!h) RtSetError(ERROR_MOD_NOT_FOUND);
    return h;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Ordinals (values below 0x10000) are not exported by our modules.
    const char* fault_name = (uintptr_t)lpProcName >= 0x10000 ? lpProcName : nullptr;
    if (!RtCallEnter(PDXRT_GetProcAddress, fault_name)) return nullptr;
    pthread_mutex_lock(&g_loader_lock);
    EnsureKernel32();
    PdxModule* m = ModuleOf(hModule);
    if (!m) {
        pthread_mutex_unlock(&g_loader_lock);
        RtSetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* address = nullptr;
    if (m->def && fault_name) {
        for (size_t i = 0; i < m->def->export_count; i++) {
            if (m->def->exports[i].name && strcmp(m->def->exports[i].name, fault_name) == 0) {
                address = m->def->exports[i].address;
                break;
            }
        }
    }
    pthread_mutex_unlock(&g_loader_lock);
    if (!address) {
        RtSetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)address;
}
