// The three modules as the runtime's loader sees them: export tables under
// the platform's entry-point names.
#include <pthread.h>
#include <string.h>

#include "hidraw_files.h"
#include "linux_hid_stack.h"

namespace {

#define HID_EXPORT(name) \
    { #name, (void*)&PdxLinux_##name }

const PdxRtExport kHidExports[] = {
    HID_EXPORT(HidD_GetAttributes),      HID_EXPORT(HidD_GetHidGuid),
    HID_EXPORT(HidD_GetPreparsedData),   HID_EXPORT(HidP_GetCaps),
    HID_EXPORT(HidD_FreePreparsedData),  HID_EXPORT(HidD_GetNumInputBuffers),
    HID_EXPORT(HidD_SetNumInputBuffers), HID_EXPORT(HidD_GetSerialNumberString),
    HID_EXPORT(HidD_GetIndexedString),
};

const PdxRtExport kCfgmgr32Exports[] = {
    HID_EXPORT(CM_Get_Parent),
};

const PdxRtExport kSetupapiExports[] = {
    HID_EXPORT(SetupDiGetClassDevsA),
    HID_EXPORT(SetupDiEnumDeviceInterfaces),
    HID_EXPORT(SetupDiGetDeviceInterfaceDetailA),
    HID_EXPORT(SetupDiDestroyDeviceInfoList),
};

#undef HID_EXPORT

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

const PdxRtModuleDef kModules[] = {
    {"hid.dll", kHidExports, COUNT_OF(kHidExports), nullptr, nullptr, nullptr},
    {"cfgmgr32.dll", kCfgmgr32Exports, COUNT_OF(kCfgmgr32Exports), nullptr, nullptr, nullptr},
    {"setupapi.dll", kSetupapiExports, COUNT_OF(kSetupapiExports), nullptr, nullptr, nullptr},
};

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
