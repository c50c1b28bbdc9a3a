#include "discovery.h"

#include <string.h>

#include "hid_binding.h"

SP_DEVICE_INTERFACE_DETAIL_DATA_A* GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                                      SP_DEVINFO_DATA* devinfo) {
    // Without a buffer the query reports failure while it returns the size.
    DWORD required = 0;
    g_hid.SetupDiGetDeviceInterfaceDetailA(set, interface_data, nullptr, 0, &required, devinfo);
    // A size that cannot hold the header and an empty path is no detail.
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return nullptr;

    SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(HeapAlloc(g_private_heap, 0, required));
    if (!detail) return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // Should the query below fail, the path is empty, which nothing opens,
    // rather than whatever the heap held.
    detail->DevicePath[0] = '\0';
    DWORD unused = 0;
    g_hid.SetupDiGetDeviceInterfaceDetailA(set, interface_data, detail, required, &unused, devinfo);
    return detail;
}

BOOLEAN MatchDeviceAttributes(HANDLE file, HIDD_ATTRIBUTES* attributes) {
    attributes->Size = kAttributeBytes;
    if (!g_hid.HidD_GetAttributes(file, attributes)) return FALSE;
    return attributes->VendorID == kVendorId &&
           (attributes->ProductID == kProductIdA || attributes->ProductID == kProductIdB);
}

// Zero-terminated UTF-16 comparison; the serial field counts as ended after
// its last unit when it holds no zero.
static bool SerialEqualsString(const uint16_t* serial, const uint16_t* text) {
    for (uint32_t i = 0; i < kSerialUnits; ++i) {
        if (serial[i] != text[i]) return false;
        if (serial[i] == 0) return true;
    }
    return text[kSerialUnits] == 0;
}

static void ReadSerialNumber(HANDLE file, uint16_t* serial) {
    memset(serial, 0, kSerialBytes);
    if (!g_hid.HidD_GetSerialNumberString(file, serial, kSerialBytes)) return;
    // String index 0 is the language-ID table, not a text: a serial that
    // merely repeats it is no serial at all.
    uint16_t index_zero[kIndexZeroBytes / 2];
    memset(index_zero, 0, sizeof(index_zero));
    if (!g_hid.HidD_GetIndexedString(file, 0, index_zero, kIndexZeroBytes)) return;
    if (SerialEqualsString(serial, index_zero)) memset(serial, 0, kSerialBytes);
}

// The key of an interface whose tree cannot be walked up to its USB device
// (Wine's configuration manager, for one, has no parents): the key of the
// device already found whose interfaces show the same vendor, product and
// serial number, which is all that identifies a USB device through the
// entry points. Without a serial nothing tells two such chips apart, so the
// interface's own node is the key: it forms a device of its own rather than
// one matched by chance.
static DEVINST IdentityKey(DEVINST interface_node, HANDLE file, const HIDD_ATTRIBUTES* attributes) {
    uint16_t serial[kSerialUnits];
    ReadSerialNumber(file, serial);
    if (serial[0] == 0) return interface_node;
    for (uint32_t i = 0; i < g_device_count; ++i) {
        const DeviceRecord* record = &g_device_table[i];
        if (memcmp(record->serial, serial, kSerialBytes) != 0) continue;
        for (const PipeInfo& pipe : record->pipes) {
            if (pipe.detail && pipe.attributes.VendorID == attributes->VendorID &&
                pipe.attributes.ProductID == attributes->ProductID)
                return record->parent_key;
        }
    }
    return interface_node;
}

DeviceRecord* FindOrAddDevice(DEVINST interface_node, HANDLE file, const HIDD_ATTRIBUTES* attributes) {
    // The two interfaces of one USB device share the node two levels up.
    DEVINST parent = 0;
    DEVINST key = 0;
    if (g_hid.CM_Get_Parent(&parent, interface_node, 0) != CR_SUCCESS ||
        g_hid.CM_Get_Parent(&key, parent, 0) != CR_SUCCESS) {
        key = IdentityKey(interface_node, file, attributes);
    }

    for (uint32_t i = 0; i < g_device_count; ++i) {
        DeviceRecord* record = &g_device_table[i];
        if (record->parent_key == key) {
            record->pipe_count++;
            return record;
        }
    }
    if (g_device_count >= kMaxDevices) return nullptr;
    DeviceRecord* record = &g_device_table[g_device_count];
    record->parent_key = key;
    record->pipe_count++;
    g_device_count++;
    return record;
}

// Reads the capabilities; false when they cannot be had (preparsed data is
// freed only when it was obtained).
static bool ReadCapabilities(HANDLE file, HIDP_CAPS* caps) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!g_hid.HidD_GetPreparsedData(file, &preparsed)) return false;
    const NTSTATUS status = g_hid.HidP_GetCaps(preparsed, caps);
    g_hid.HidD_FreePreparsedData(preparsed);
    return status == HIDP_STATUS_SUCCESS;
}

// Undoes FindOrAddDevice for an interface that is not attached after all.
static void DetachInterface(DeviceRecord* record, bool added) {
    record->pipe_count--;
    if (added && record->pipe_count == 0) {
        memset(record, 0, sizeof(*record));
        g_device_count--;
    }
}

static HANDLE OpenForQuery(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    // Query access alone is enough to read the attributes.
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOLEAN DiscoverDevices(void) {
    BOOLEAN found = FALSE;
    GUID hid_guid;
    g_hid.HidD_GetHidGuid(&hid_guid);

    HDEVINFO set = g_hid.SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, kDeviceSetFlags);
    if (set == INVALID_HANDLE_VALUE) return FALSE;

    SP_DEVICE_INTERFACE_DATA interface_data;
    memset(&interface_data, 0, sizeof(interface_data));
    interface_data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    for (DWORD index = 0;; ++index) {
        if (!g_hid.SetupDiEnumDeviceInterfaces(set, nullptr, &hid_guid, index, &interface_data)) break;

        SP_DEVINFO_DATA devinfo;
        memset(&devinfo, 0, sizeof(devinfo));
        devinfo.cbSize = sizeof(SP_DEVINFO_DATA);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = GetInterfaceDetail(set, &interface_data, &devinfo);
        if (!detail) continue;

        HANDLE file = OpenForQuery(detail->DevicePath);
        if (file == INVALID_HANDLE_VALUE) {
            HeapFree(g_private_heap, 0, detail);
            continue;
        }

        HIDD_ATTRIBUTES attributes;
        memset(&attributes, 0, sizeof(attributes));
        if (!MatchDeviceAttributes(file, &attributes)) {
            CloseHandle(file);
            HeapFree(g_private_heap, 0, detail);
            continue;
        }
        found = TRUE;

        const uint32_t count_before = g_device_count;
        DeviceRecord* record = FindOrAddDevice(devinfo.DevInst, file, &attributes);
        if (!record) {
            HeapFree(g_private_heap, 0, detail);
            CloseHandle(file);
            continue;
        }

        HIDP_CAPS caps;
        memset(&caps, 0, sizeof(caps));
        if (!ReadCapabilities(file, &caps)) {
            // Without capabilities there is no pipe to put it on.
            DetachInterface(record, g_device_count > count_before);
            HeapFree(g_private_heap, 0, detail);
            CloseHandle(file);
            continue;
        }

        PipeInfo* pipe = &record->pipes[caps.OutputReportByteLength >= kPipeOneOutputLength ? 1 : 0];
        memcpy(&pipe->attributes, &attributes, kAttributeBytes);
        memcpy(&pipe->caps, &caps, sizeof(caps));
        pipe->detail = detail;

        ReadSerialNumber(file, record->serial);
        record->read_timeout = INFINITE;
        record->write_timeout = INFINITE;
        CloseHandle(file);
    }

    g_hid.SetupDiDestroyDeviceInfoList(set);
    return found;
}
