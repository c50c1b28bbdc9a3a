// The simulated HID stack reached the way pdxkit reaches the real one: the
// three libraries loaded by name and every entry point looked up by name.
#ifndef PDXSIM_TEST_HID_STACK_H
#define PDXSIM_TEST_HID_STACK_H

#include "hid_entry_points.h"
#include "pdx_win32.h"
#include "pdxsim.h"

#include <string>
#include <vector>

struct HidStack {
#define PDXSIM_TEST_MODULE(library, entry_points) HMODULE library = nullptr;
#define PDXSIM_TEST_SLOT(library, result, name, parameters, arguments) result(WINAPI* name) parameters = nullptr;
    PDX_HID_LIBRARIES(PDXSIM_TEST_MODULE)
    PDX_HID_ENTRY_POINTS(PDXSIM_TEST_SLOT)
#undef PDXSIM_TEST_SLOT
#undef PDXSIM_TEST_MODULE

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
