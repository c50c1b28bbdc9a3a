// Module loading: kernel32 present without loading, CancelIo found by name,
// names without regard to case or ".dll", reference counts, and the errors
// for unknown modules and exports.
#include <gtest/gtest.h>

#include "device_channel.h"

namespace {

TEST(Modules, Kernel32IsPresentWithoutLoading) {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(k32, (HMODULE) nullptr);
    EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), k32);
    EXPECT_EQ(GetModuleHandleA("kernel32"), k32);
}

typedef BOOL(WINAPI* CancelIoFn)(HANDLE);

TEST(Modules, CancelIoFoundByNameAndCallable) {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(k32, (HMODULE) nullptr);
    CancelIoFn cancel = (CancelIoFn)(void*)GetProcAddress(k32, "CancelIo");
    ASSERT_NE(cancel, (CancelIoFn) nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(cancel(nullptr)) << "the export is the real CancelIo";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Modules, UnknownModuleIsModNotFound) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadLibraryA("pdx-no-such-module.dll"), (HMODULE) nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetModuleHandleA("pdx-no-such-module.dll"), (HMODULE) nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, UnknownExportIsProcNotFound) {
    HMODULE k32 = GetModuleHandleA("kernel32.dll");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(k32, "PdxNoSuchExport"), (FARPROC) nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
}

TEST(Modules, LoadAndFreeCountReferences) {
    const char* name = LoadableModuleName();
    SetLastError(0xdeadbeef);
    ASSERT_EQ(GetModuleHandleA(name), (HMODULE) nullptr) << "loaded before the test";
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    HMODULE a = LoadLibraryA(name);
    ASSERT_NE(a, (HMODULE) nullptr);
    HMODULE b = LoadLibraryA("MSIMG32");
    EXPECT_EQ(a, b) << "same module whatever the case, with or without .dll";
    EXPECT_EQ(GetModuleHandleA(name), a);
    EXPECT_NE(GetProcAddress(a, LoadableModuleExport()), (FARPROC) nullptr);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(GetModuleHandleA(name), a) << "one reference left";
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(GetModuleHandleA(name), (HMODULE) nullptr) << "unloaded with the last reference";
}

TEST(Modules, LoadingKernel32AgainIsHarmless) {
    HMODULE k32 = LoadLibraryA("kernel32.dll");
    ASSERT_NE(k32, (HMODULE) nullptr);
    EXPECT_EQ(k32, GetModuleHandleA("kernel32.dll"));
    EXPECT_TRUE(FreeLibrary(k32));
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), k32);
}

}  // namespace
