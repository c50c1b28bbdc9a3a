// hid.dll of the simulator: the HID class library's entry points.
#include "fake_stack.h"

PDX_HID_DLL_ENTRY_POINTS(FAKE_FORWARD)
