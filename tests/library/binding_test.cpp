// Run-time binding of the three system libraries: all or nothing, and only
// for the duration of one open.
#include <string.h>

#include "hid_binding.h"
#include "library_world.h"

namespace {

class BindingTest : public LibraryTest {
protected:
    static bool AllUnbound() {
        const HidBinding empty = {};
        return memcmp(&g_hid, &empty, sizeof(empty)) == 0;
    }
    static bool AllBound() {
        void* const* slots = reinterpret_cast<void* const*>(&g_hid);
        for (size_t i = 0; i < sizeof(g_hid) / sizeof(void*); ++i) {
            if (!slots[i]) return false;
        }
        return true;
    }
    static PdxSimCounters Counters() {
        PdxSimCounters counters;
        pdxsim_get_counters(&counters);
        return counters;
    }
};

#define PDX_COUNT_ONE(...) +1
static_assert(sizeof(HidBinding) ==
                  (0 PDX_HID_LIBRARIES(PDX_COUNT_ONE) PDX_HID_ENTRY_POINTS(PDX_COUNT_ONE)) * sizeof(void*),
              "a module per library and a slot per entry point, nothing else");
#undef PDX_COUNT_ONE

TEST_F(BindingTest, EachOpenLoadsAndFreesEachLibraryOnce) {
    Install(*MakeWorld(1));
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    EXPECT_TRUE(AllUnbound()) << "the libraries must be released before opening returns";
    PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        EXPECT_EQ(1u, counters.loads[lib]) << pdxsim_library_name(static_cast<PdxSimLibrary>(lib));
        EXPECT_EQ(1u, counters.frees[lib]) << pdxsim_library_name(static_cast<PdxSimLibrary>(lib));
    }
    EXPECT_EQ(0u, counters.calls[PDXSIM_HidD_GetNumInputBuffers]) << "bound, never called";

    PdxKitCloseDevice(nullptr);
    EXPECT_EQ(1u, Counters().loads[PDXSIM_LIB_HID]) << "closing needs no library";
    ASSERT_NE(nullptr, PdxKitOpenDevice());
    counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        EXPECT_EQ(2u, counters.loads[lib]) << pdxsim_library_name(static_cast<PdxSimLibrary>(lib));
        EXPECT_EQ(2u, counters.frees[lib]) << pdxsim_library_name(static_cast<PdxSimLibrary>(lib));
    }
    EXPECT_TRUE(AllUnbound());
}

TEST_F(BindingTest, FailedOpensReleaseTheLibrariesToo) {
    Install(*MakeWorld(0));
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_TRUE(AllUnbound());
    const PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        EXPECT_EQ(counters.loads[lib], counters.frees[lib]);
        EXPECT_EQ(1u, counters.loads[lib]);
    }
}

TEST_F(BindingTest, BindSetsEverythingAndUnbindClearsEverything) {
    Install(*MakeWorld(1));
    ASSERT_EQ(TRUE, BindHidLibraries());
    EXPECT_TRUE(AllBound());
    UnbindHidLibraries();
    EXPECT_TRUE(AllUnbound());
    const PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) EXPECT_EQ(1u, counters.frees[lib]);
}

TEST_F(BindingTest, UnbindingWhileUnboundFreesNothing) {
    Install(*MakeWorld(1));
    UnbindHidLibraries();
    UnbindHidLibraries();
    EXPECT_TRUE(AllUnbound());
    const PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) EXPECT_EQ(0u, counters.frees[lib]);
}

class MissingLibraryTest : public BindingTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingLibraryTest, OpenFailsAfterLoadingAndFreeingTheOthers) {
    const int missing = GetParam();
    auto world = MakeWorld(1);
    world->faults.missing_library[missing] = 1;
    Install(*world);

    SetSentinel();
    EXPECT_EQ(FALSE, BindHidLibraries());
    EXPECT_TRUE(AllUnbound());
    PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        const char* name = pdxsim_library_name(static_cast<PdxSimLibrary>(lib));
        if (lib == missing) {
            EXPECT_EQ(0u, counters.loads[lib]) << name;
        } else {
            EXPECT_EQ(1u, counters.loads[lib]) << name << ": loaded although another one failed";
            EXPECT_EQ(1u, counters.frees[lib]) << name;
        }
    }
    EXPECT_EQ(0u, counters.calls[PDXSIM_SetupDiGetClassDevsA]);

    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice());
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_TRUE(AllUnbound());
    EXPECT_EQ(0u, PdxKitGetNumDevs());
    counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) EXPECT_EQ(counters.loads[lib], counters.frees[lib]);
}

std::string LibraryName(const ::testing::TestParamInfo<int>& info) {
    std::string name = pdxsim_library_name(static_cast<PdxSimLibrary>(info.param));
    return name.substr(0, name.find('.'));
}

INSTANTIATE_TEST_SUITE_P(EachLibrary, MissingLibraryTest, ::testing::Values(0, 1, 2), LibraryName);

class MissingEntryTest : public BindingTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingEntryTest, OpenFailsAndEverythingIsReleased) {
    const PdxSimEntry missing = static_cast<PdxSimEntry>(GetParam());
    auto world = MakeWorld(1);
    world->faults.missing_entry[missing] = 1;
    Install(*world);

    SetSentinel();
    EXPECT_EQ(nullptr, PdxKitOpenDevice()) << pdxsim_entry_name(missing) << " is missing";
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    EXPECT_TRUE(AllUnbound());
    const PdxSimCounters counters = Counters();
    for (int lib = 0; lib < PDXSIM_LIB_COUNT; ++lib) {
        EXPECT_EQ(1u, counters.loads[lib]);
        EXPECT_EQ(1u, counters.frees[lib]);
    }
    for (int entry = 0; entry < PDXSIM_ENTRY_COUNT; ++entry) {
        EXPECT_EQ(0u, counters.calls[entry])
            << pdxsim_entry_name(static_cast<PdxSimEntry>(entry)) << " called although binding failed";
    }
}

INSTANTIATE_TEST_SUITE_P(EachEntryPoint, MissingEntryTest, ::testing::Range(0, static_cast<int>(PDXSIM_ENTRY_COUNT)),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(pdxsim_entry_name(static_cast<PdxSimEntry>(info.param)));
                         });

}  // namespace
