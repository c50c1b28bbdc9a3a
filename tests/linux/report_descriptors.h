// Report descriptors used by the tests of the Linux HID stack.
#ifndef PDX_TESTS_LINUX_REPORT_DESCRIPTORS_H
#define PDX_TESTS_LINUX_REPORT_DESCRIPTORS_H

#include <stdint.h>

#include <vector>

// A vendor-defined collection (page 0xFF00) with input and output reports of
// `input_bytes` and `output_bytes` data bytes; with report id `report_id`
// when it is not 0.
std::vector<uint8_t> VendorDescriptor(uint16_t usage, unsigned input_bytes, unsigned output_bytes,
                                      uint8_t report_id = 0);

// The chip's port interface (pipe 0): 4-byte input and output reports.
std::vector<uint8_t> PortInterfaceDescriptor();
// The chip's special-function interface (pipe 1): 64-byte reports.
std::vector<uint8_t> SpecialFunctionDescriptor();
// A boot-protocol mouse: 3 buttons, 5 bits padding, X and Y.
std::vector<uint8_t> BootMouseDescriptor();

#endif
