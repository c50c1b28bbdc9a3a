// SetupDi* over /sys/class/hidraw. A device information set is a snapshot of
// the hidraw nodes present when it was made, as on Windows: nodes that come
// or go later do not change it.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "devnode_table.h"
#include "hidraw_nodes.h"
#include "linux_hid_stack.h"
#include "live_objects.h"
#include "rt_syscalls.h"

namespace {

const DWORD kSpintActive = 0x00000001u;

struct DeviceInfoSet {
    size_t count;
    PdxHidrawNode* nodes;
    DEVINST* devinsts;  // of each node's HID device
};

int SameGuid(const GUID* a, const GUID* b) { return memcmp(a, b, sizeof(GUID)) == 0; }

DeviceInfoSet* SetOf(HDEVINFO handle) {
    if (!pdx_live_has(PDX_LIVE_DEVICE_INFO_SET, handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return (DeviceInfoSet*)handle;
}

void FreeSet(DeviceInfoSet* set) {
    free(set->nodes);
    free(set->devinsts);
    free(set);
}

// Fills the set with the present hidraw nodes; 0 when out of memory.
int Populate(DeviceInfoSet* set) {
    set->nodes = (PdxHidrawNode*)RT_SYS(calloc)(PDX_HIDRAW_MAX_NODES, sizeof(PdxHidrawNode));
    if (!set->nodes) return 0;
    set->count = pdx_hidraw_list_nodes(set->nodes, PDX_HIDRAW_MAX_NODES);
    set->devinsts = (DEVINST*)RT_SYS(calloc)(set->count ? set->count : 1, sizeof(DEVINST));
    if (!set->devinsts) return 0;
    for (size_t i = 0; i < set->count; i++) set->devinsts[i] = pdx_devnode_for_path(set->nodes[i].hid_device);
    return 1;
}

void FillDevinfo(PSP_DEVINFO_DATA devinfo, DEVINST devinst) {
    devinfo->ClassGuid = kPdxLinuxHidSetupClassGuid;
    devinfo->DevInst = devinst;
    devinfo->Reserved = devinst;
}

}  // namespace

extern "C" HDEVINFO WINAPI PdxLinux_SetupDiGetClassDevsA(const GUID* class_guid, PCSTR enumerator, HWND parent,
                                                         DWORD flags) {
    (void)parent;
    int all_classes = (flags & DIGCF_ALLCLASSES) != 0;
    if (!class_guid && !all_classes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceInfoSet* set = (DeviceInfoSet*)RT_SYS(calloc)(1, sizeof(DeviceInfoSet));
    if (!set) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // Only HID device interfaces exist here; every other class, and a set of
    // devices rather than interfaces, is empty. Enumerators name device
    // instances that hidraw nodes have no ids for, so a set limited to one
    // is empty too.
    int wanted = (flags & DIGCF_DEVICEINTERFACE) && (all_classes || SameGuid(class_guid, &kPdxLinuxHidInterfaceGuid)) &&
                 (!enumerator || !enumerator[0]);
    if ((wanted && !Populate(set)) || !pdx_live_add(PDX_LIVE_DEVICE_INFO_SET, set)) {
        FreeSet(set);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return (HDEVINFO)set;
}

extern "C" BOOL WINAPI PdxLinux_SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA devinfo,
                                                            const GUID* interface_guid, DWORD index,
                                                            PSP_DEVICE_INTERFACE_DATA interface_data) {
    DeviceInfoSet* set = SetOf(handle);
    if (!set) return FALSE;
    if (!interface_guid || !interface_data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (interface_data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (devinfo && devinfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (SameGuid(interface_guid, &kPdxLinuxHidInterfaceGuid)) {
        DWORD seen = 0;
        for (size_t i = 0; i < set->count; i++) {
            // With a device given, only that device's interfaces count.
            if (devinfo && devinfo->DevInst != set->devinsts[i]) continue;
            if (seen++ != index) continue;
            interface_data->InterfaceClassGuid = kPdxLinuxHidInterfaceGuid;
            interface_data->Flags = kSpintActive;
            interface_data->Reserved = (ULONG_PTR)(i + 1);
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

extern "C" BOOL WINAPI PdxLinux_SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle,
                                                                 PSP_DEVICE_INTERFACE_DATA interface_data,
                                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                                 DWORD detail_size, PDWORD required_size,
                                                                 PSP_DEVINFO_DATA devinfo) {
    DeviceInfoSet* set = SetOf(handle);
    if (!set) return FALSE;
    if (!interface_data || interface_data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        interface_data->Reserved == 0 || interface_data->Reserved > set->count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) || (!detail && detail_size != 0) ||
        (devinfo && devinfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    size_t entry = interface_data->Reserved - 1;
    const char* path = set->nodes[entry].device_path;
    DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(path) + 1);
    if (required_size) *required_size = needed;
    // The device data is filled also when the buffer is too small, so that a
    // size query tells the device as well.
    if (devinfo) FillDevinfo(devinfo, set->devinsts[entry]);
    if (!detail || detail_size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy((char*)detail + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), path, strlen(path) + 1);
    return TRUE;
}

extern "C" BOOL WINAPI PdxLinux_SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    if (!pdx_live_remove(PDX_LIVE_DEVICE_INFO_SET, handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FreeSet((DeviceInfoSet*)handle);
    return TRUE;
}
