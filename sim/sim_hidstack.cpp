// The HID-stack side: setup API, configuration manager and HID class library
// answering from the installed world the way the platform's libraries do.
#include "sim_hidstack.h"
#include "sim_state.h"

#include <cstddef>
#include <cstring>

namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}: the HID device-interface class.
const GUID kHidGuid = {0x4D1E55B2u, 0xF16Fu, 0x11CFu, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}: the HIDClass setup class.
const GUID kHidClassGuid = {0x745A17A0u, 0x74D3u, 0x11D0u, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

const uint32_t kSetMagic = 0x53445850u;        // "PXDS"
const uint32_t kPreparsedMagic = 0x50445850u;  // "PXDP"
const uint32_t kDefaultInputBuffers = 32;      // the HID class driver's default
const DWORD kSpintActive = 0x00000001u;

struct SimDevInfoSet {
    uint32_t magic;
    uint32_t generation;
    std::vector<PdxSimIfaceRef> members;
};

struct SimPreparsed {
    uint32_t magic;
    int device;
    int iface;
    HIDP_CAPS caps;
};

bool same_guid(const GUID* a, const GUID& b) { return a && memcmp(a, &b, sizeof b) == 0; }

void count_call(PdxSimEntry e) { sim_state().counters.calls[e]++; }

SimDevInfoSet* set_of(HDEVINFO h) {
    if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
    SimDevInfoSet* set = (SimDevInfoSet*)h;
    return set->magic == kSetMagic ? set : nullptr;
}

SimPreparsed* preparsed_of(PHIDP_PREPARSED_DATA p) {
    SimPreparsed* d = (SimPreparsed*)p;
    return (d && d->magic == kPreparsedMagic) ? d : nullptr;
}

// Resolves a device handle under the lock: nullptr with the last error set
// when it names no interface of ours, or the device is gone.
struct Resolved {
    SimHandleInfo info;
    SimIface* iface;
    const PdxSimDeviceDesc* dev;
    const PdxSimInterfaceFaults* faults;
};

bool resolve_locked(const SimHandleInfo& info, bool found, Resolved* out) {
    if (!found) {
        sim_set_last_error(ERROR_INVALID_HANDLE);
        return false;
    }
    SimIface* f = sim_iface_locked(info.device, info.iface);
    if (!f) {
        sim_set_last_error(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!f->present || info.gone) {
        sim_set_last_error(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    SimState& s = sim_state();
    out->info = info;
    out->iface = f;
    out->dev = &s.world->device[info.device];
    out->faults = &s.world->device[info.device].iface[info.iface].faults;
    return true;
}

// Copies a UTF-16 string and its terminating zero into a caller's buffer of
// `length` bytes, cut to the buffer as the HID class driver does.
void copy_string(const uint16_t* text, int units, PVOID buffer, ULONG length) {
    ULONG room = length / 2;
    uint16_t* out = (uint16_t*)buffer;
    ULONG k = 0;
    for (; k < room && k < (ULONG)units; k++) out[k] = text[k];
    if (k < room) out[k] = 0;
}

}  // namespace

extern "C" {

BOOLEAN WINAPI pdxsim_stack_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetAttributes);
    if (attributes) s.record.attributes_size = attributes->Size;
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    if (!attributes) {
        sim_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    if (r.faults->attributes_fail) {
        sim_set_last_error(ERROR_GEN_FAILURE);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = r.dev->vendor_id;
    attributes->ProductID = r.dev->product_id;
    attributes->VersionNumber = r.dev->version;
    return TRUE;
}

VOID WINAPI pdxsim_stack_HidD_GetHidGuid(LPGUID guid) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetHidGuid);
    if (guid) *guid = kHidGuid;
}

BOOLEAN WINAPI pdxsim_stack_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetPreparsedData);
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    if (!data) {
        sim_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    if (r.faults->preparsed_fail) {
        sim_set_last_error(ERROR_GEN_FAILURE);
        return FALSE;
    }
    SimPreparsed* p = new SimPreparsed();
    p->magic = kPreparsedMagic;
    p->device = info.device;
    p->iface = info.iface;
    memset(&p->caps, 0, sizeof p->caps);
    const PdxSimInterfaceDesc& d = r.dev->iface[info.iface];
    p->caps.Usage = d.usage;
    p->caps.UsagePage = d.usage_page;
    p->caps.InputReportByteLength = d.input_len;
    p->caps.OutputReportByteLength = d.output_len;
    p->caps.FeatureReportByteLength = d.feature_len;
    p->caps.NumberLinkCollectionNodes = 1;
    p->caps.NumberInputValueCaps = d.input_len ? 1 : 0;
    p->caps.NumberInputDataIndices = d.input_len ? 1 : 0;
    p->caps.NumberOutputValueCaps = d.output_len ? 1 : 0;
    p->caps.NumberOutputDataIndices = d.output_len ? 1 : 0;
    p->caps.NumberFeatureValueCaps = d.feature_len ? 1 : 0;
    p->caps.NumberFeatureDataIndices = d.feature_len ? 1 : 0;
    *data = (PHIDP_PREPARSED_DATA)p;
    s.counters.live_preparsed++;
    return TRUE;
}

NTSTATUS WINAPI pdxsim_stack_HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidP_GetCaps);
    SimPreparsed* p = preparsed_of(data);
    if (!p || !caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (s.installed && p->device < s.world->device_count && s.world->device[p->device].iface[p->iface].faults.caps_fail)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI pdxsim_stack_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_FreePreparsedData);
    SimPreparsed* p = preparsed_of(data);
    if (!p) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    p->magic = 0;
    delete p;
    s.counters.live_preparsed--;
    return TRUE;
}

BOOLEAN WINAPI pdxsim_stack_HidD_GetNumInputBuffers(HANDLE h, PULONG count) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetNumInputBuffers);
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    if (!count) {
        sim_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    auto it = s.input_buffers.find(info.key);
    *count = it == s.input_buffers.end() ? kDefaultInputBuffers : it->second;
    return TRUE;
}

BOOLEAN WINAPI pdxsim_stack_HidD_SetNumInputBuffers(HANDLE h, ULONG count) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_SetNumInputBuffers);
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    // The HID class driver accepts 2 to 512 buffers.
    if (count < 2 || count > 512) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (r.faults->input_buffers_fail) {
        sim_set_last_error(ERROR_GEN_FAILURE);
        return FALSE;
    }
    s.input_buffers[info.key] = count;
    if (info.open_index >= 0) sim_open_set_buffers_locked((uint32_t)info.open_index, count);
    return TRUE;
}

BOOLEAN WINAPI pdxsim_stack_HidD_GetSerialNumberString(HANDLE h, PVOID buffer, ULONG length) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetSerialNumberString);
    s.record.serial_buffer_len = length;
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    if (r.faults->serial_fail) {
        sim_set_last_error(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (!buffer) {
        sim_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    switch (r.dev->serial_kind) {
    case PDXSIM_SERIAL_NONE: sim_set_last_error(ERROR_INVALID_PARAMETER); return FALSE;
    case PDXSIM_SERIAL_STRING0: copy_string(r.dev->string0, r.dev->string0_len, buffer, length); return TRUE;
    default: copy_string(r.dev->serial, r.dev->serial_len, buffer, length); return TRUE;
    }
}

BOOLEAN WINAPI pdxsim_stack_HidD_GetIndexedString(HANDLE h, ULONG index, PVOID buffer, ULONG length) {
    SimHandleInfo info;
    bool found = sim_channel_lookup(h, &info);
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_HidD_GetIndexedString);
    s.record.indexed_buffer_len = length;
    s.record.indexed_string_index = index;
    Resolved r;
    if (!resolve_locked(info, found, &r)) return FALSE;
    if (!buffer) {
        sim_set_last_error(ERROR_NOACCESS);
        return FALSE;
    }
    if (index == 0) {
        if (r.faults->string0_fail) {
            sim_set_last_error(ERROR_GEN_FAILURE);
            return FALSE;
        }
        copy_string(r.dev->string0, r.dev->string0_len, buffer, length);
        return TRUE;
    }
    // Index 3 is the serial number's string descriptor.
    if (index == 3 && r.dev->serial_kind == PDXSIM_SERIAL_STRING && !r.faults->serial_fail) {
        copy_string(r.dev->serial, r.dev->serial_len, buffer, length);
        return TRUE;
    }
    sim_set_last_error(ERROR_GEN_FAILURE);
    return FALSE;
}

CONFIGRET WINAPI pdxsim_stack_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_CM_Get_Parent);
    s.record.cm_parent_flags = flags;
    if (!parent) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (node == SIM_ROOT_DEVINST) return CR_NO_SUCH_DEVNODE;
    if (!s.installed) return CR_INVALID_DEVNODE;
    for (int d = 0; d < s.world->device_count; d++) {
        const PdxSimDeviceDesc& dev = s.world->device[d];
        if (node == s.devices[d].devinst) {
            *parent = SIM_ROOT_DEVINST;
            return CR_SUCCESS;
        }
        for (int i = 0; i < dev.interface_count; i++) {
            const SimIface& f = s.ifaces[d][i];
            if (node == f.devinst) {
                if (dev.iface[i].faults.parent_fail_step == 1) return CR_NO_SUCH_DEVNODE;
                *parent = f.parent_devinst;
                return CR_SUCCESS;
            }
            if (node == f.parent_devinst) {
                if (dev.iface[i].faults.parent_fail_step == 2) return CR_NO_SUCH_DEVNODE;
                *parent = s.devices[d].devinst;
                return CR_SUCCESS;
            }
        }
    }
    return CR_INVALID_DEVNODE;
}

HDEVINFO WINAPI pdxsim_stack_SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_SetupDiGetClassDevsA);
    s.record.class_devs_flags = flags;
    s.record.class_devs_guid_is_hid = same_guid(guid, kHidGuid) ? 1 : 0;
    s.record.class_devs_enumerator_null = enumerator == nullptr ? 1 : 0;
    if (s.installed && s.world->faults.class_devs_fail) {
        uint32_t e = s.world->faults.class_devs_error;
        sim_set_last_error(e ? e : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!guid && !(flags & DIGCF_ALLCLASSES)) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    SimDevInfoSet* set = new SimDevInfoSet();
    set->magic = kSetMagic;
    set->generation = s.generation;
    // Only the HID interface class has members here; other classes give an
    // empty set, as on a machine with nothing else attached.
    bool hid = (flags & DIGCF_DEVICEINTERFACE) && (same_guid(guid, kHidGuid) || (flags & DIGCF_ALLCLASSES));
    if (hid && s.installed) {
        const PdxSimWorld& w = *s.world;
        for (int k = 0; k < w.order_count; k++) {
            PdxSimIfaceRef ref = w.order[k];
            SimIface* f = sim_iface_locked(ref.device, ref.iface);
            if (!f) continue;
            if ((flags & DIGCF_PRESENT) && !f->present) continue;
            set->members.push_back(ref);
        }
    }
    s.counters.live_sets++;
    sim_set_last_error(ERROR_SUCCESS);
    return (HDEVINFO)set;
}

BOOL WINAPI pdxsim_stack_SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                                     PSP_DEVICE_INTERFACE_DATA data) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_SetupDiEnumDeviceInterfaces);
    SimDevInfoSet* set = set_of(h);
    if (!set) {
        sim_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!guid) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!data) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s.record.interface_data_cbsize = data->cbSize;
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        sim_set_last_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (s.installed && s.world->faults.enum_fail_index >= 0 && index >= (DWORD)s.world->faults.enum_fail_index) {
        uint32_t e = s.world->faults.enum_fail_error;
        sim_set_last_error(e ? e : ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    if (!same_guid(guid, kHidGuid) || index >= set->members.size()) {
        sim_set_last_error(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const PdxSimIfaceRef& ref = set->members[index];
    data->InterfaceClassGuid = kHidGuid;
    data->Flags = kSpintActive;
    // The platform keeps a private pointer here; we keep which member it is.
    data->Reserved = (ULONG_PTR)(index + 1);
    (void)info;
    (void)ref;
    return TRUE;
}

BOOL WINAPI pdxsim_stack_SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                          PDWORD required, PSP_DEVINFO_DATA info) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_SetupDiGetDeviceInterfaceDetailA);
    if (info) s.record.devinfo_cbsize = info->cbSize;
    if (detail) s.record.detail_cbsize = detail->cbSize;
    SimDevInfoSet* set = set_of(h);
    if (!set) {
        sim_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->members.size()) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info && info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        sim_set_last_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!detail && size != 0) {
        sim_set_last_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        sim_set_last_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    PdxSimIfaceRef ref = set->members[data->Reserved - 1];
    // An interface of an earlier world: its path names nothing now.
    SimIface* f = set->generation == s.generation ? sim_iface_locked(ref.device, ref.iface) : nullptr;
    std::string path = f ? sim_channel_detail_path_locked(*f, s.world->device[ref.device].iface[ref.iface].faults)
                         : std::string("\\\\?\\pdxsim#gone");
    bool zero = f && s.world->device[ref.device].iface[ref.iface].faults.detail_size_zero;
    DWORD needed = zero ? 0 : (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required) *required = needed;
    if (info && f) {
        info->ClassGuid = kHidClassGuid;
        info->DevInst = f->devinst;
    }
    if (zero) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!detail || size < needed) {
        sim_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (f && s.world->device[ref.device].iface[ref.iface].faults.detail_fill_fail) {
        sim_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI pdxsim_stack_SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    count_call(PDXSIM_SetupDiDestroyDeviceInfoList);
    SimDevInfoSet* set = set_of(h);
    if (!set) {
        sim_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    set->magic = 0;
    delete set;
    s.counters.live_sets--;
    return TRUE;
}

PDXSIM_API uint32_t pdxsim_handle_input_buffers(void* handle) {
    SimHandleInfo info;
    if (!sim_channel_lookup((HANDLE)handle, &info)) return 0;
    SimState& s = sim_state();
    std::lock_guard<std::mutex> lk(s.lock);
    auto it = s.input_buffers.find(info.key);
    return it == s.input_buffers.end() ? 0 : it->second;
}

PDXSIM_API uint32_t pdxsim_handle_access(void* handle) {
    SimHandleInfo info;
    if (!sim_channel_lookup((HANDLE)handle, &info)) return PDXSIM_ACCESS_UNKNOWN;
    return info.access;
}

}  // extern "C"
