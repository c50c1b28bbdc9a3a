// The runtime's default HID-stack provider on Linux: the stack over hidraw
// and sysfs of this directory.
#include "linux_hid_stack.h"

extern "C" const PdxRtModuleDef* pdxrt_platform_hid_module(const char* name) { return pdx_linux_hid_module(name); }
