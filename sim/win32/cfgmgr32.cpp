// cfgmgr32.dll of the simulator: the configuration manager's entry point.
#include "fake_stack.h"

PDX_CFGMGR32_ENTRY_POINTS(FAKE_FORWARD)
