// The simulated HID stack reached the way pdxkit reaches the real one: the
// three libraries loaded by name and every entry point looked up by name.
#ifndef PDXSIM_TEST_HID_STACK_H
#define PDXSIM_TEST_HID_STACK_H

#include "pdx_win32.h"
#include "pdxsim.h"

#include <string>
#include <vector>

struct HidStack {
    HMODULE hid = nullptr;
    HMODULE cfgmgr32 = nullptr;
    HMODULE setupapi = nullptr;

    BOOLEAN(WINAPI* GetAttributes)(HANDLE, PHIDD_ATTRIBUTES) = nullptr;
    VOID(WINAPI* GetHidGuid)(LPGUID) = nullptr;
    BOOLEAN(WINAPI* GetPreparsedData)(HANDLE, PHIDP_PREPARSED_DATA*) = nullptr;
    NTSTATUS(WINAPI* GetCaps)(PHIDP_PREPARSED_DATA, PHIDP_CAPS) = nullptr;
    BOOLEAN(WINAPI* FreePreparsedData)(PHIDP_PREPARSED_DATA) = nullptr;
    BOOLEAN(WINAPI* GetNumInputBuffers)(HANDLE, PULONG) = nullptr;
    BOOLEAN(WINAPI* SetNumInputBuffers)(HANDLE, ULONG) = nullptr;
    BOOLEAN(WINAPI* GetSerialNumberString)(HANDLE, PVOID, ULONG) = nullptr;
    BOOLEAN(WINAPI* GetIndexedString)(HANDLE, ULONG, PVOID, ULONG) = nullptr;
    CONFIGRET(WINAPI* GetParent)(PDEVINST, DEVINST, ULONG) = nullptr;
    BOOL(WINAPI* GetDetail)
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
     PSP_DEVINFO_DATA) = nullptr;
    HDEVINFO(WINAPI* GetClassDevs)(const GUID*, PCSTR, HWND, DWORD) = nullptr;
    BOOL(WINAPI* EnumInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) = nullptr;
    BOOL(WINAPI* DestroyList)(HDEVINFO) = nullptr;

    // Loads the three libraries and binds all fourteen entry points; false
    // when a library or an entry point is missing (all are looked up).
    bool load();
    void unload();
    ~HidStack() { unload(); }
};

// One enumerated interface as discovery sees it.
struct FoundInterface {
    std::string path;
    DEVINST devinst = 0;
};

// Enumerates every interface of the HID class through the stack; the
// device-information set is destroyed before returning.
std::vector<FoundInterface> enumerate_all(HidStack& hs);

// A world of `devices` default chips installed for one test.
void install_default_world(int devices);

// Opens a device path with the given access (share read|write, existing).
HANDLE open_path(const std::string& path, DWORD access, DWORD flags = 0);

#endif
