// cfgmgr32.dll of the simulator: the configuration manager's entry point.
#include "fake_stack.h"

FAKE_EXPORT FakeUlong __stdcall CM_Get_Parent(FakeUlong* parent, FakeUlong node, FakeUlong flags) {
    return pdxsim_stack_CM_Get_Parent(parent, node, flags);
}
