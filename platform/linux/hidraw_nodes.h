// The hidraw nodes present on the machine, found through /sys/class/hidraw,
// and what sysfs tells about the HID device behind each one.
//
// On a USB tree the layout is
//   /sys/devices/.../usb1/1-1                                USB device
//   /sys/devices/.../usb1/1-1/1-1:1.0                        USB interface
//   /sys/devices/.../usb1/1-1/1-1:1.0/0003:1F3A:2A10.0001    HID device
//   /sys/devices/.../0003:1F3A:2A10.0001/hidraw/hidraw0      hidraw node
// and /dev/hidraw0 is the node's character device.
#ifndef PDX_LINUX_HIDRAW_NODES_H
#define PDX_LINUX_HIDRAW_NODES_H

#include <stddef.h>
#include <stdint.h>

#include "sysfs_tree.h"

#define PDX_HIDRAW_CLASS_DIR "/sys/class/hidraw"
#define PDX_HIDRAW_MAX_NODES 256
#define PDX_HIDRAW_NAME_MAX 32
#define PDX_HIDRAW_DEVICE_PATH_MAX 64

typedef struct PdxHidrawNode {
    unsigned number;                               // N of hidrawN
    char name[PDX_HIDRAW_NAME_MAX];                // "hidrawN"
    char device_path[PDX_HIDRAW_DEVICE_PATH_MAX];  // "/dev/hidrawN"
    char hid_device[PDX_SYSFS_PATH_MAX];           // the HID device's directory
} PdxHidrawNode;

// The present nodes in the order of their numbers, at most `cap` of them;
// returns how many were stored.
size_t pdx_hidraw_list_nodes(PdxHidrawNode* out, size_t cap);

// The node called `name` ("hidrawN"); 0 when it is not present.
int pdx_hidraw_find_node(const char* name, PdxHidrawNode* out);

// From HID_ID ("bus:vendor:product") of the HID device's uevent.
int pdx_hid_device_ids(const char* hid_device, uint16_t* bus, uint16_t* vendor, uint16_t* product);

// bcdDevice of the USB device that carries the HID device; 0 when it is not
// on USB or the attribute is missing.
uint16_t pdx_hid_device_version(const char* hid_device);

// The serial number as UTF-8: HID_UNIQ, or else the serial attribute of the
// USB device. 0 when the device has none.
int pdx_hid_device_serial(const char* hid_device, char* out, size_t cap);

// The report descriptor; its size, or -1 when it cannot be read.
long pdx_hid_device_report_descriptor(const char* hid_device, uint8_t* out, size_t cap);

#define PDX_HID_BUS_USB 0x0003u
#define PDX_HID_MAX_DESCRIPTOR 4096  // HID_MAX_DESCRIPTOR_SIZE of the kernel

#endif
