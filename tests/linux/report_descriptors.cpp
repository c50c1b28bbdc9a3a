#include "report_descriptors.h"

std::vector<uint8_t> VendorDescriptor(uint16_t usage, unsigned input_bytes, unsigned output_bytes, uint8_t report_id) {
    std::vector<uint8_t> d = {
        0x06, 0x00,           0xFF,  // Usage Page (Vendor 0xFF00)
        0x09, (uint8_t)usage,        // Usage
        0xA1, 0x01,                  // Collection (Application)
        0x15, 0x00,                  //   Logical Minimum (0)
        0x26, 0xFF,           0x00,  //   Logical Maximum (255)
        0x75, 0x08,                  //   Report Size (8)
    };
    if (report_id) d.insert(d.end(), {0x85, report_id});  // Report ID
    if (input_bytes)
        d.insert(d.end(), {0x96, (uint8_t)input_bytes, (uint8_t)(input_bytes >> 8),  // Report Count
                           0x09, 0x01, 0x81, 0x02});                                 // Usage, Input (Data,Var,Abs)
    if (output_bytes)
        d.insert(d.end(), {0x96, (uint8_t)output_bytes, (uint8_t)(output_bytes >> 8),  // Report Count
                           0x09, 0x02, 0x91, 0x02});                                   // Usage, Output (Data,Var,Abs)
    d.push_back(0xC0);                                                                 // End Collection
    return d;
}

std::vector<uint8_t> PortInterfaceDescriptor() { return VendorDescriptor(0x01, 4, 4); }

std::vector<uint8_t> SpecialFunctionDescriptor() { return VendorDescriptor(0x02, 64, 64); }

std::vector<uint8_t> BootMouseDescriptor() {
    return {
        0x05, 0x01,  // Usage Page (Generic Desktop)
        0x09, 0x02,  // Usage (Mouse)
        0xA1, 0x01,  // Collection (Application)
        0x09, 0x01,  //   Usage (Pointer)
        0xA1, 0x00,  //   Collection (Physical)
        0x05, 0x09,  //     Usage Page (Button)
        0x19, 0x01,  //     Usage Minimum (1)
        0x29, 0x03,  //     Usage Maximum (3)
        0x15, 0x00,  //     Logical Minimum (0)
        0x25, 0x01,  //     Logical Maximum (1)
        0x95, 0x03,  //     Report Count (3)
        0x75, 0x01,  //     Report Size (1)
        0x81, 0x02,  //     Input (Data,Var,Abs)
        0x95, 0x01,  //     Report Count (1)
        0x75, 0x05,  //     Report Size (5)
        0x81, 0x03,  //     Input (Const,Var,Abs)
        0x05, 0x01,  //     Usage Page (Generic Desktop)
        0x09, 0x30,  //     Usage (X)
        0x09, 0x31,  //     Usage (Y)
        0x15, 0x81,  //     Logical Minimum (-127)
        0x25, 0x7F,  //     Logical Maximum (127)
        0x75, 0x08,  //     Report Size (8)
        0x95, 0x02,  //     Report Count (2)
        0x81, 0x06,  //     Input (Data,Var,Rel)
        0xC0,        //   End Collection
        0xC0,        // End Collection
    };
}
