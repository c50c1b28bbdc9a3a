#include "hidraw_nodes.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Levels between a USB HID device and its USB device: the interface, then
// the device. A little slack for hubs' glue directories.
const int kMaxUsbAncestorSteps = 4;

int ParseNodeNumber(const char* name, unsigned* number) {
    static const char kPrefix[] = "hidraw";
    if (strncmp(name, kPrefix, sizeof(kPrefix) - 1) != 0) return 0;
    const char* digits = name + sizeof(kPrefix) - 1;
    if (*digits < '0' || *digits > '9') return 0;
    unsigned long value = 0;
    for (const char* p = digits; *p; p++) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + (unsigned long)(*p - '0');
        if (value > 0xFFFFFFu) return 0;
    }
    *number = (unsigned)value;
    return 1;
}

int FillNode(const char* name, unsigned number, PdxHidrawNode* out) {
    char link[PDX_SYSFS_PATH_MAX];
    char node_dir[PDX_SYSFS_PATH_MAX];
    if (strlen(name) >= sizeof(out->name)) return 0;
    if (snprintf(link, sizeof(link), "%s/%s", PDX_HIDRAW_CLASS_DIR, name) >= (int)sizeof(link)) return 0;
    if (!pdx_sysfs_resolve(link, node_dir, sizeof(node_dir))) return 0;
    if (!pdx_sysfs_parent_device(node_dir, out->hid_device, sizeof(out->hid_device))) {
        // Class directories that are no links (old sysfs layouts) point to
        // their device through "device".
        char device_link[PDX_SYSFS_PATH_MAX];
        if (snprintf(device_link, sizeof(device_link), "%s/device", node_dir) >= (int)sizeof(device_link)) return 0;
        if (!pdx_sysfs_resolve(device_link, out->hid_device, sizeof(out->hid_device))) return 0;
    }
    char devname[PDX_HIDRAW_DEVICE_PATH_MAX];
    if (!pdx_sysfs_uevent_value(node_dir, "DEVNAME", devname, sizeof(devname)))
        snprintf(devname, sizeof(devname), "%s", name);
    const char* relative = devname[0] == '/' ? devname + 1 : devname;
    if (strncmp(relative, "dev/", 4) == 0) relative += 4;
    if (snprintf(out->device_path, sizeof(out->device_path), "/dev/%s", relative) >= (int)sizeof(out->device_path))
        return 0;
    out->number = number;
    memcpy(out->name, name, strlen(name) + 1);
    return 1;
}

int UsbDeviceOf(const char* hid_device, char* out, size_t cap) {
    uint16_t bus, vendor, product;
    if (!pdx_hid_device_ids(hid_device, &bus, &vendor, &product) || bus != PDX_HID_BUS_USB) return 0;
    char current[PDX_SYSFS_PATH_MAX];
    snprintf(current, sizeof(current), "%s", hid_device);
    for (int step = 0; step < kMaxUsbAncestorSteps; step++) {
        char parent[PDX_SYSFS_PATH_MAX];
        if (!pdx_sysfs_parent_device(current, parent, sizeof(parent))) return 0;
        char devtype[32];
        if (pdx_sysfs_uevent_value(parent, "DEVTYPE", devtype, sizeof(devtype)) && strcmp(devtype, "usb_device") == 0)
            return snprintf(out, cap, "%s", parent) < (int)cap;
        memcpy(current, parent, strlen(parent) + 1);
    }
    return 0;
}

int ParseHex(const char* text, size_t len, unsigned long* value) {
    if (len == 0 || len > 8) return 0;
    unsigned long v = 0;
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = (unsigned)(c - 'A' + 10);
        else
            return 0;
        v = v * 16 + digit;
    }
    *value = v;
    return 1;
}

}  // namespace

size_t pdx_hidraw_list_nodes(PdxHidrawNode* out, size_t cap) {
    DIR* dir = opendir(PDX_HIDRAW_CLASS_DIR);
    if (!dir) return 0;
    size_t count = 0;
    struct dirent* entry;
    while (count < cap && (entry = readdir(dir)) != nullptr) {
        unsigned number;
        if (!ParseNodeNumber(entry->d_name, &number)) continue;
        if (!FillNode(entry->d_name, number, &out[count])) continue;
        // Keep the list sorted by number as it grows.
        size_t i = count++;
        while (i > 0 && out[i - 1].number > number) {
            PdxHidrawNode swap = out[i - 1];
            out[i - 1] = out[i];
            out[i] = swap;
            i--;
        }
    }
    closedir(dir);
    return count;
}

int pdx_hidraw_find_node(const char* name, PdxHidrawNode* out) {
    unsigned number;
    return ParseNodeNumber(name, &number) && FillNode(name, number, out);
}

int pdx_hid_device_ids(const char* hid_device, uint16_t* bus, uint16_t* vendor, uint16_t* product) {
    char text[64];
    if (!pdx_sysfs_uevent_value(hid_device, "HID_ID", text, sizeof(text))) return 0;
    const char* first = strchr(text, ':');
    const char* second = first ? strchr(first + 1, ':') : nullptr;
    if (!second) return 0;
    unsigned long b, v, p;
    if (!ParseHex(text, (size_t)(first - text), &b) || !ParseHex(first + 1, (size_t)(second - first - 1), &v) ||
        !ParseHex(second + 1, strlen(second + 1), &p))
        return 0;
    if (b > 0xFFFFu || v > 0xFFFFu || p > 0xFFFFu) return 0;
    *bus = (uint16_t)b;
    *vendor = (uint16_t)v;
    *product = (uint16_t)p;
    return 1;
}

uint16_t pdx_hid_device_version(const char* hid_device) {
    char usb_device[PDX_SYSFS_PATH_MAX];
    char text[16];
    unsigned long value;
    if (!UsbDeviceOf(hid_device, usb_device, sizeof(usb_device))) return 0;
    if (!pdx_sysfs_attribute(usb_device, "bcdDevice", text, sizeof(text))) return 0;
    if (!ParseHex(text, strlen(text), &value) || value > 0xFFFFu) return 0;
    return (uint16_t)value;
}

int pdx_hid_device_serial(const char* hid_device, char* out, size_t cap) {
    if (pdx_sysfs_uevent_value(hid_device, "HID_UNIQ", out, cap) && out[0]) return 1;
    char usb_device[PDX_SYSFS_PATH_MAX];
    if (!UsbDeviceOf(hid_device, usb_device, sizeof(usb_device))) return 0;
    return pdx_sysfs_attribute(usb_device, "serial", out, cap) && out[0];
}

long pdx_hid_device_report_descriptor(const char* hid_device, uint8_t* out, size_t cap) {
    char path[PDX_SYSFS_PATH_MAX];
    if (snprintf(path, sizeof(path), "%s/report_descriptor", hid_device) >= (int)sizeof(path)) return -1;
    return pdx_sysfs_read(path, out, cap);
}
