// setupapi.dll of the simulator: the setup API's entry points (ANSI).
#include "fake_stack.h"

PDX_SETUPAPI_ENTRY_POINTS(FAKE_FORWARD)
