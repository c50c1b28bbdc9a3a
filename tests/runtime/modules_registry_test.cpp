// Module registry details: registered definitions, load/unload hooks and
// reference counts, name matching, replacement rules, and the default
// provider for the HID-stack libraries.
#include <gtest/gtest.h>

#include <string.h>

#include "pdx_runtime.h"

namespace {

struct Hooks {
    int loads = 0;
    int unloads = 0;
};

static void OnLoad(void* ctx) { ((Hooks*)ctx)->loads++; }
static void OnUnload(void* ctx) { ((Hooks*)ctx)->unloads++; }
static int Answer(void) { return 42; }

static const PdxRtExport kExports[] = {{"Answer", (void*)&Answer}};

TEST(ModuleRegistry, HooksRunOnFirstLoadAndLastFree) {
    Hooks hooks;
    PdxRtModuleDef def = {"pdxtest.dll", kExports, 1, OnLoad, OnUnload, &hooks};
    ASSERT_TRUE(pdxrt_register_module(&def));
    HMODULE a = LoadLibraryA("PdxTest");
    HMODULE b = LoadLibraryA("c:\\somewhere\\PDXTEST.DLL");
    ASSERT_NE(a, (HMODULE) nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(hooks.loads, 1);
    EXPECT_EQ(pdxrt_module_refcount("pdxtest.dll"), 2u);
    typedef int (*AnswerFn)(void);
    AnswerFn fn = (AnswerFn)(void*)GetProcAddress(a, "Answer");
    ASSERT_NE(fn, (AnswerFn) nullptr);
    EXPECT_EQ(fn(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(a, "answer"), (FARPROC) nullptr) << "export names keep their case";
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(pdxrt_register_module(&def)) << "no replacement while loaded";
    EXPECT_FALSE(pdxrt_unregister_module("pdxtest.dll"));
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(hooks.unloads, 0);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(hooks.unloads, 1);
    EXPECT_EQ(pdxrt_module_refcount("pdxtest"), 0u);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(a)) << "an unloaded module's handle is stale";
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_TRUE(pdxrt_unregister_module("PDXTEST"));
    EXPECT_EQ(LoadLibraryA("pdxtest.dll"), (HMODULE) nullptr);
}

TEST(ModuleRegistry, TrailingDotMeansNoExtension) {
    PdxRtModuleDef def = {"pdxdot.dll", kExports, 1, nullptr, nullptr, nullptr};
    ASSERT_TRUE(pdxrt_register_module(&def));
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("pdxdot."), (HMODULE) nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    pdxrt_unregister_module("pdxdot.dll");
}

TEST(ModuleRegistry, ReplacementWhileUnloadedTakesEffect) {
    Hooks first, second;
    PdxRtModuleDef a = {"pdxrepl.dll", kExports, 1, OnLoad, nullptr, &first};
    PdxRtModuleDef b = {"pdxrepl.dll", kExports, 1, OnLoad, nullptr, &second};
    ASSERT_TRUE(pdxrt_register_module(&a));
    ASSERT_TRUE(pdxrt_register_module(&b));
    HMODULE h = LoadLibraryA("pdxrepl.dll");
    ASSERT_NE(h, (HMODULE) nullptr);
    EXPECT_EQ(first.loads, 0);
    EXPECT_EQ(second.loads, 1);
    FreeLibrary(h);
    pdxrt_unregister_module("pdxrepl.dll");
}

static Hooks g_provided;
static const PdxRtModuleDef kProvidedHid = {"hid.dll", kExports, 1, OnLoad, OnUnload, &g_provided};
static int g_provider_asked;

static const PdxRtModuleDef* Provider(const char* name) {
    g_provider_asked++;
    return strcmp(name, "hid.dll") == 0 ? &kProvidedHid : nullptr;
}

TEST(ModuleRegistry, DefaultProviderServesHidStackOnly) {
    pdxrt_set_default_module_provider(Provider);
    HMODULE hid = LoadLibraryA("HID.DLL");
    ASSERT_NE(hid, (HMODULE) nullptr);
    EXPECT_EQ(g_provided.loads, 1);
    EXPECT_NE(GetProcAddress(hid, "Answer"), (FARPROC) nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("setupapi.dll"), (HMODULE) nullptr) << "the provider has none";
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    int asked = g_provider_asked;
    EXPECT_EQ(LoadLibraryA("user32.dll"), (HMODULE) nullptr);
    EXPECT_EQ(g_provider_asked, asked) << "only the HID-stack libraries are asked for";
    EXPECT_TRUE(FreeLibrary(hid));
    EXPECT_EQ(g_provided.unloads, 1);
    pdxrt_set_default_module_provider(nullptr);
    pdxrt_unregister_module("hid.dll");
}

TEST(ModuleRegistry, RegisteredDefinitionWinsOverProvider) {
    pdxrt_set_default_module_provider(Provider);
    Hooks mine;
    PdxRtModuleDef def = {"hid.dll", kExports, 1, OnLoad, nullptr, &mine};
    ASSERT_TRUE(pdxrt_register_module(&def));
    int asked = g_provider_asked;
    HMODULE hid = LoadLibraryA("hid.dll");
    ASSERT_NE(hid, (HMODULE) nullptr);
    EXPECT_EQ(mine.loads, 1);
    EXPECT_EQ(g_provider_asked, asked);
    FreeLibrary(hid);
    pdxrt_set_default_module_provider(nullptr);
    pdxrt_unregister_module("hid.dll");
}

}  // namespace
