// HidD_* and HidP_GetCaps for handles on /dev/hidrawN. Every query goes to
// sysfs through the node the handle opened, so it works on a handle opened
// with access 0 as it does on Windows.
#include <stdlib.h>
#include <string.h>

#include "hid_report_descriptor.h"
#include "hidraw_files.h"
#include "linux_hid_stack.h"
#include "live_objects.h"
#include "utf16_text.h"
#include "rt_syscalls.h"

namespace {

const NTSTATUS kHidpStatusNullValue = (NTSTATUS)0x80110001;
// USB string descriptors hold at most 126 UTF-16 code units; HID_UNIQ and
// the serial attribute are their UTF-8 form.
const size_t kMaxStringUnits = 126;
const size_t kMaxStringUtf8 = kMaxStringUnits * 3 + 1;

struct PreparsedData {
    PdxHidDescriptorSummary summary;
};

}  // namespace

const GUID kPdxLinuxHidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kPdxLinuxHidSetupClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

extern "C" void WINAPI PdxLinux_HidD_GetHidGuid(LPGUID guid) {
    if (guid) *guid = kPdxLinuxHidInterfaceGuid;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    PdxHidrawFile file;
    if (!pdx_hidraw_file_of(device, &file)) return FALSE;
    if (!attributes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint16_t bus, vendor, product;
    if (!pdx_hid_device_ids(file.hid_device, &bus, &vendor, &product)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = vendor;
    attributes->ProductID = product;
    attributes->VersionNumber = pdx_hid_device_version(file.hid_device);
    return TRUE;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
    PdxHidrawFile file;
    if (!pdx_hidraw_file_of(device, &file)) return FALSE;
    if (!preparsed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint8_t descriptor[PDX_HID_MAX_DESCRIPTOR];
    long size = pdx_hid_device_report_descriptor(file.hid_device, descriptor, sizeof(descriptor));
    if (size < 0) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    PreparsedData* data = (PreparsedData*)RT_SYS(calloc)(1, sizeof(PreparsedData));
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    // The kernel refuses to bind a device whose descriptor it cannot parse,
    // so a node with a malformed one is a device we cannot describe.
    if (!pdx_hid_parse_report_descriptor(descriptor, (size_t)size, &data->summary)) {
        free(data);
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (!pdx_live_add(PDX_LIVE_PREPARSED_DATA, data)) {
        free(data);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *preparsed = (PHIDP_PREPARSED_DATA)data;
    return TRUE;
}

extern "C" NTSTATUS WINAPI PdxLinux_HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    if (!pdx_live_has(PDX_LIVE_PREPARSED_DATA, preparsed)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!caps) return kHidpStatusNullValue;
    const PdxHidDescriptorSummary* s = &((const PreparsedData*)preparsed)->summary;
    memset(caps, 0, sizeof(*caps));
    caps->Usage = s->usage;
    caps->UsagePage = s->usage_page;
    caps->InputReportByteLength = s->report_length[PDX_HID_INPUT];
    caps->OutputReportByteLength = s->report_length[PDX_HID_OUTPUT];
    caps->FeatureReportByteLength = s->report_length[PDX_HID_FEATURE];
    caps->NumberLinkCollectionNodes = s->link_collection_nodes;
    caps->NumberInputButtonCaps = s->button_caps[PDX_HID_INPUT];
    caps->NumberInputValueCaps = s->value_caps[PDX_HID_INPUT];
    caps->NumberInputDataIndices = s->data_indices[PDX_HID_INPUT];
    caps->NumberOutputButtonCaps = s->button_caps[PDX_HID_OUTPUT];
    caps->NumberOutputValueCaps = s->value_caps[PDX_HID_OUTPUT];
    caps->NumberOutputDataIndices = s->data_indices[PDX_HID_OUTPUT];
    caps->NumberFeatureButtonCaps = s->button_caps[PDX_HID_FEATURE];
    caps->NumberFeatureValueCaps = s->value_caps[PDX_HID_FEATURE];
    caps->NumberFeatureDataIndices = s->data_indices[PDX_HID_FEATURE];
    return HIDP_STATUS_SUCCESS;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
    if (!pdx_live_remove(PDX_LIVE_PREPARSED_DATA, preparsed)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    free(preparsed);
    return TRUE;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_GetNumInputBuffers(HANDLE device, PULONG count) {
    PdxHidrawFile file;
    if (!pdx_hidraw_file_of(device, &file)) return FALSE;
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *count = file.input_buffers;
    return TRUE;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
    return pdx_hidraw_set_input_buffers(device, count);
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG length) {
    PdxHidrawFile file;
    if (!pdx_hidraw_file_of(device, &file)) return FALSE;
    if (!buffer) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    char text[kMaxStringUtf8];
    if (!pdx_hid_device_serial(file.hid_device, text, sizeof(text))) {
        // A device without a serial-number string descriptor.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t room = length / sizeof(WCHAR);
    if (room == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    WCHAR units[kMaxStringUnits + 1];
    size_t count = pdx_utf8_to_utf16(text, units, kMaxStringUnits);
    units[count++] = 0;
    // As Windows does: as many whole code units as fit, the terminating
    // zero only when it fits too.
    if (count > room) count = room;
    memcpy(buffer, units, count * sizeof(WCHAR));
    return TRUE;
}

extern "C" BOOLEAN WINAPI PdxLinux_HidD_GetIndexedString(HANDLE device, ULONG index, PVOID buffer, ULONG length) {
    (void)index;
    (void)buffer;
    (void)length;
    PdxHidrawFile file;
    if (!pdx_hidraw_file_of(device, &file)) return FALSE;
    // hidraw offers no way to fetch a string descriptor by index (index 0 is
    // the table of language ids); sysfs has only the decoded product,
    // manufacturer and serial strings. Failing is the honest answer.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
