// hid.dll of the simulator: the HID class library's entry points.
#include "fake_stack.h"

FAKE_EXPORT FakeBoolean __stdcall HidD_GetAttributes(FakeHandle h, void* a) {
    return pdxsim_stack_HidD_GetAttributes(h, a);
}
FAKE_EXPORT void __stdcall HidD_GetHidGuid(void* g) { pdxsim_stack_HidD_GetHidGuid(g); }
FAKE_EXPORT FakeBoolean __stdcall HidD_GetPreparsedData(FakeHandle h, void** p) {
    return pdxsim_stack_HidD_GetPreparsedData(h, p);
}
FAKE_EXPORT FakeStatus __stdcall HidP_GetCaps(void* p, void* caps) { return pdxsim_stack_HidP_GetCaps(p, caps); }
FAKE_EXPORT FakeBoolean __stdcall HidD_FreePreparsedData(void* p) { return pdxsim_stack_HidD_FreePreparsedData(p); }
FAKE_EXPORT FakeBoolean __stdcall HidD_GetNumInputBuffers(FakeHandle h, FakeUlong* n) {
    return pdxsim_stack_HidD_GetNumInputBuffers(h, n);
}
FAKE_EXPORT FakeBoolean __stdcall HidD_SetNumInputBuffers(FakeHandle h, FakeUlong n) {
    return pdxsim_stack_HidD_SetNumInputBuffers(h, n);
}
FAKE_EXPORT FakeBoolean __stdcall HidD_GetSerialNumberString(FakeHandle h, void* b, FakeUlong n) {
    return pdxsim_stack_HidD_GetSerialNumberString(h, b, n);
}
FAKE_EXPORT FakeBoolean __stdcall HidD_GetIndexedString(FakeHandle h, FakeUlong i, void* b, FakeUlong n) {
    return pdxsim_stack_HidD_GetIndexedString(h, i, b, n);
}
