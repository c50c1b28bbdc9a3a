// Summary of a HID report descriptor in the terms of the Windows HID parser:
// what HidP_GetCaps reports for the first top-level collection, and whether
// the device numbers its reports. The bytes come from the device, so the
// parser treats them as hostile: it never reads past the end, always ends,
// and refuses descriptors that the kernel's own parser would refuse.
#ifndef PDX_LINUX_HID_REPORT_DESCRIPTOR_H
#define PDX_LINUX_HID_REPORT_DESCRIPTOR_H

#include <stddef.h>
#include <stdint.h>

enum PdxHidReportKind { PDX_HID_INPUT = 0, PDX_HID_OUTPUT = 1, PDX_HID_FEATURE = 2, PDX_HID_REPORT_KINDS = 3 };

typedef struct PdxHidDescriptorSummary {
    uint16_t usage_page;  // of the first top-level collection
    uint16_t usage;
    // Byte length of the longest report of each kind in the first top-level
    // collection, plus one for the report id byte, which Windows counts even
    // when the device uses no report ids; 0 when there is no such report.
    uint16_t report_length[PDX_HID_REPORT_KINDS];
    // Any Report ID item: reads and writes carry the id as their first byte.
    // Without one, hidraw leaves the id byte out of what it reads.
    int numbered;
    uint16_t top_level_collections;
    uint16_t link_collection_nodes;  // collections of the first one, itself included
    uint16_t button_caps[PDX_HID_REPORT_KINDS];
    uint16_t value_caps[PDX_HID_REPORT_KINDS];
    uint16_t data_indices[PDX_HID_REPORT_KINDS];
} PdxHidDescriptorSummary;

// Limits beyond which a descriptor counts as malformed.
#define PDX_HID_MAX_GLOBAL_STACK 16
#define PDX_HID_MAX_REPORT_BYTES 65534u  // so that length + 1 fits in a USHORT

// Parses `size` bytes. Returns 1 and fills *out for a well-formed descriptor
// with at least one top-level collection; returns 0 otherwise (*out zeroed).
int pdx_hid_parse_report_descriptor(const uint8_t* data, size_t size, PdxHidDescriptorSummary* out);

#endif
