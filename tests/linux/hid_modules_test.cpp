// The Linux HID stack as the runtime's loader offers it: the three modules
// with every entry point pdxkit binds, found by LoadLibraryA once this
// backend is the default provider, and device paths that open as hidraw
// files.
#include "hid_entry_points.h"
#include "hid_stack_fixture.h"
#include "report_descriptors.h"

namespace {

struct Entry {
    const char* module;
    const char* name;
};

#define PDX_TEST_ENTRY(library, result, name, parameters, arguments) {#library ".dll", #name},
const Entry kEntryPoints[] = {PDX_HID_ENTRY_POINTS(PDX_TEST_ENTRY)};
#undef PDX_TEST_ENTRY

TEST(HidModules, OnlyTheThreeLibrariesAreProvided) {
    EXPECT_NE(nullptr, pdx_linux_hid_module("hid.dll"));
    EXPECT_NE(nullptr, pdx_linux_hid_module("cfgmgr32.dll"));
    EXPECT_NE(nullptr, pdx_linux_hid_module("setupapi.dll"));
    EXPECT_EQ(nullptr, pdx_linux_hid_module("user32.dll"));
    EXPECT_EQ(nullptr, pdx_linux_hid_module(nullptr));
}

TEST(HidModules, TheFirstLookupMakesDevicePathsHidrawFiles) {
    FakeSysfs sysfs;
    ASSERT_EQ("", sysfs.error());
    sysfs.AddChip(1, 0x2A10, 0x0100, "X", 0, 1);
    // What the runtime's loader does when it falls back to this backend.
    ASSERT_NE(nullptr, pdx_linux_hid_module("hid.dll"));
    HANDLE h = CreateFileA("/dev/hidraw1", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    HIDD_ATTRIBUTES attributes = {};
    EXPECT_TRUE(PdxLinux_HidD_GetAttributes(h, &attributes)) << GetLastError();
    EXPECT_EQ(0x2A10, attributes.ProductID);
    CloseHandle(h);
}

class HidModulesLoaded : public HidStackTest {};

TEST_F(HidModulesLoaded, EveryBoundEntryPointIsExported) {
    for (const Entry& e : kEntryPoints) {
        HMODULE module = LoadLibraryA(e.module);
        ASSERT_NE(nullptr, module) << e.module << ": " << GetLastError();
        EXPECT_NE(nullptr, GetProcAddress(module, e.name)) << e.name;
        FreeLibrary(module);
    }
    HMODULE hid = LoadLibraryA("HID.DLL");
    ASSERT_NE(nullptr, hid);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, GetProcAddress(hid, "HidD_GetProductString"));
    EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());
    FreeLibrary(hid);
}

TEST_F(HidModulesLoaded, EntryPointsAreThisBackends) {
    sysfs.AddChip(1, 0x2A11, 0x0300, "X", 0, 1);
    HMODULE hid = LoadLibraryA("hid.dll");
    ASSERT_NE(nullptr, hid);
    auto get_attributes = (BOOLEAN(WINAPI*)(HANDLE, PHIDD_ATTRIBUTES))(void*)GetProcAddress(hid, "HidD_GetAttributes");
    ASSERT_NE(nullptr, get_attributes);
    HANDLE h = OpenForQueries("/dev/hidraw0");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HIDD_ATTRIBUTES attributes = {};
    EXPECT_TRUE(get_attributes(h, &attributes));
    EXPECT_EQ(0x2A11, attributes.ProductID);
    EXPECT_EQ(0x0300, attributes.VersionNumber);
    CloseHandle(h);
    FreeLibrary(hid);
}

}  // namespace
