// The three modules as the runtime's loader sees them: export tables under
// the platform's entry-point names.
#include <pthread.h>
#include <string.h>

#include "hidraw_files.h"
#include "linux_hid_stack.h"

namespace {

#define HID_EXPORT(name) \
    { #name, (void*)&PdxLinux_##name }

const PdxRtExport g_hid_exports[] = {
    HID_EXPORT(HidD_GetAttributes),      HID_EXPORT(HidD_GetHidGuid),
    HID_EXPORT(HidD_GetPreparsedData),   HID_EXPORT(HidP_GetCaps),
    HID_EXPORT(HidD_FreePreparsedData),  HID_EXPORT(HidD_GetNumInputBuffers),
    HID_EXPORT(HidD_SetNumInputBuffers), HID_EXPORT(HidD_GetSerialNumberString),
    HID_EXPORT(HidD_GetIndexedString),
};

const PdxRtExport g_cfgmgr32_exports[] = {
    HID_EXPORT(CM_Get_Parent),
};

const PdxRtExport g_setupapi_exports[] = {
    HID_EXPORT(SetupDiGetClassDevsA),
    HID_EXPORT(SetupDiEnumDeviceInterfaces),
    HID_EXPORT(SetupDiGetDeviceInterfaceDetailA),
    HID_EXPORT(SetupDiDestroyDeviceInfoList),
};

#undef HID_EXPORT

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

const PdxRtModuleDef g_modules[] = {
    {"hid.dll", g_hid_exports, COUNT_OF(g_hid_exports), nullptr, nullptr, nullptr},
    {"cfgmgr32.dll", g_cfgmgr32_exports, COUNT_OF(g_cfgmgr32_exports), nullptr, nullptr, nullptr},
    {"setupapi.dll", g_setupapi_exports, COUNT_OF(g_setupapi_exports), nullptr, nullptr, nullptr},
};

pthread_once_t g_paths_once = PTHREAD_ONCE_INIT;

void RegisterPaths(void) { pdxrt_register_path_handler(PDX_HIDRAW_PATH_PREFIX, pdx_hidraw_open, nullptr); }

}  // namespace

extern "C" const PdxRtModuleDef* pdx_linux_hid_module(const char* name) {
    if (!name) return nullptr;
    for (size_t i = 0; i < COUNT_OF(g_modules); i++) {
        if (strcmp(name, g_modules[i].name) == 0) {
            pthread_once(&g_paths_once, RegisterPaths);
            return &g_modules[i];
        }
    }
    return nullptr;
}

extern "C" void pdx_linux_hid_install(void) {
    pthread_once(&g_paths_once, RegisterPaths);
    pdxrt_set_default_module_provider(pdx_linux_hid_module);
}
