// setupapi.dll of the simulator: the setup API's entry points (ANSI).
#include "fake_stack.h"

FAKE_EXPORT FakeBool __stdcall SetupDiGetDeviceInterfaceDetailA(FakeHandle set, void* data, void* detail,
                                                                FakeUlong size, FakeUlong* required, void* info) {
    return pdxsim_stack_SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
}
FAKE_EXPORT FakeHandle __stdcall SetupDiGetClassDevsA(const void* guid, const char* enumerator, void* parent,
                                                      FakeUlong flags) {
    return pdxsim_stack_SetupDiGetClassDevsA(guid, enumerator, parent, flags);
}
FAKE_EXPORT FakeBool __stdcall SetupDiEnumDeviceInterfaces(FakeHandle set, void* info, const void* guid,
                                                           FakeUlong index, void* data) {
    return pdxsim_stack_SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
}
FAKE_EXPORT FakeBool __stdcall SetupDiDestroyDeviceInfoList(FakeHandle set) {
    return pdxsim_stack_SetupDiDestroyDeviceInfoList(set);
}
