// The three modules as the runtime's loader sees them: export tables under
// the platform's entry-point names.
#include <pthread.h>
#include <string.h>

#include "hidraw_files.h"
#include "linux_hid_stack.h"

namespace {

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))
#define PDX_LINUX_EXPORT(library, result, name, parameters, arguments) {#name, (void*)&PdxLinux_##name},
#define PDX_LINUX_EXPORTS(library, entry_points)                     \
    namespace library {                                              \
    const PdxRtExport kExports[] = {entry_points(PDX_LINUX_EXPORT)}; \
    }
#define PDX_LINUX_MODULE(library, entry_points) \
    {#library ".dll", library::kExports, COUNT_OF(library::kExports), nullptr, nullptr, nullptr},

// One export table per library (hid::kExports, ...).
PDX_HID_LIBRARIES(PDX_LINUX_EXPORTS)

const PdxRtModuleDef kModules[] = {PDX_HID_LIBRARIES(PDX_LINUX_MODULE)};

pthread_once_t g_paths_once = PTHREAD_ONCE_INIT;

void RegisterPaths(void) { pdxrt_register_path_handler(PDX_HIDRAW_PATH_PREFIX, pdx_hidraw_open, nullptr); }

}  // namespace

extern "C" const PdxRtModuleDef* pdx_linux_hid_module(const char* name) {
    if (!name) return nullptr;
    for (size_t i = 0; i < COUNT_OF(kModules); i++) {
        if (strcmp(name, kModules[i].name) == 0) {
            pthread_once(&g_paths_once, RegisterPaths);
            return &kModules[i];
        }
    }
    return nullptr;
}

extern "C" void pdx_linux_hid_install(void) {
    pthread_once(&g_paths_once, RegisterPaths);
    pdxrt_set_default_module_provider(pdx_linux_hid_module);
}
