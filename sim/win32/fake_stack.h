// The simulator's entry points as the fakes import them from pdxsim.dll, in
// plain types: the fakes define the platform's names themselves, so they
// cannot include the platform's HID and setup headers.
#ifndef PDXSIM_FAKE_STACK_H
#define PDXSIM_FAKE_STACK_H

#define FAKE_IMPORT extern "C" __declspec(dllimport)
#define FAKE_EXPORT extern "C"

typedef void* FakeHandle;
typedef unsigned char FakeBoolean;
typedef int FakeBool;
typedef long FakeStatus;
typedef unsigned long FakeUlong;

FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_GetAttributes(FakeHandle, void*);
FAKE_IMPORT void __stdcall pdxsim_stack_HidD_GetHidGuid(void*);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_GetPreparsedData(FakeHandle, void**);
FAKE_IMPORT FakeStatus __stdcall pdxsim_stack_HidP_GetCaps(void*, void*);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_FreePreparsedData(void*);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_GetNumInputBuffers(FakeHandle, FakeUlong*);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_SetNumInputBuffers(FakeHandle, FakeUlong);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_GetSerialNumberString(FakeHandle, void*, FakeUlong);
FAKE_IMPORT FakeBoolean __stdcall pdxsim_stack_HidD_GetIndexedString(FakeHandle, FakeUlong, void*, FakeUlong);
FAKE_IMPORT FakeUlong __stdcall pdxsim_stack_CM_Get_Parent(FakeUlong*, FakeUlong, FakeUlong);
FAKE_IMPORT FakeBool __stdcall pdxsim_stack_SetupDiGetDeviceInterfaceDetailA(FakeHandle, void*, void*, FakeUlong,
                                                                             FakeUlong*, void*);
FAKE_IMPORT FakeHandle __stdcall pdxsim_stack_SetupDiGetClassDevsA(const void*, const char*, void*, FakeUlong);
FAKE_IMPORT FakeBool __stdcall pdxsim_stack_SetupDiEnumDeviceInterfaces(FakeHandle, void*, const void*, FakeUlong,
                                                                        void*);
FAKE_IMPORT FakeBool __stdcall pdxsim_stack_SetupDiDestroyDeviceInfoList(FakeHandle);

#endif
