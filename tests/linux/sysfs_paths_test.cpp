// Following sysfs links by hand: relative targets with "..", chains of
// links, and paths that do not exist. Run on a scratch directory, which the
// test bed leaves alone (it redirects only /sys and /dev).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sysfs_tree.h"
#include "utf16_text.h"

namespace {

class SysfsPaths : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pdx-sysfs-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root = tmpl;
        ASSERT_EQ(0, system(("mkdir -p " + root + "/devices/a/b/c " + root + "/class/x").c_str()));
    }
    void TearDown() override { system(("rm -rf " + root).c_str()); }

    std::string Resolve(const std::string& path) {
        char out[PDX_SYSFS_PATH_MAX];
        return pdx_sysfs_resolve(path.c_str(), out, sizeof(out)) ? out : "<none>";
    }

    std::string root;
};

TEST_F(SysfsPaths, RelativeLinksAreFoldedIntoAPlainPath) {
    ASSERT_EQ(0, symlink("../../devices/a/./b//c", (root + "/class/x/c0").c_str()));
    EXPECT_EQ(root + "/devices/a/b/c", Resolve(root + "/class/x/c0"));
    // Repeated calls give the same answer (no state left behind).
    EXPECT_EQ(root + "/devices/a/b/c", Resolve(root + "/class/x/c0"));
}

TEST_F(SysfsPaths, ChainsOfLinksAndAbsoluteTargets) {
    ASSERT_EQ(0, symlink((root + "/devices/a/b").c_str(), (root + "/class/x/first").c_str()));
    ASSERT_EQ(0, symlink("first", (root + "/class/x/second").c_str()));
    EXPECT_EQ(root + "/devices/a/b", Resolve(root + "/class/x/second"));
    EXPECT_EQ(root + "/devices/a", Resolve(root + "/devices/a/b/c/../.."));
}

TEST_F(SysfsPaths, MissingPathsAndLoopsResolveToNothing) {
    EXPECT_EQ("<none>", Resolve(root + "/devices/nothing"));
    ASSERT_EQ(0, symlink("loop", (root + "/class/x/loop").c_str()));
    EXPECT_EQ("<none>", Resolve(root + "/class/x/loop"));
    EXPECT_EQ("<none>", Resolve("relative/path"));
}

TEST_F(SysfsPaths, DotDotNeverClimbsAboveTheRoot) { EXPECT_EQ("/", Resolve("/../../..")); }

std::u16string Utf16(const char* text, size_t cap = 64) {
    uint16_t out[64];
    size_t n = pdx_utf8_to_utf16(text, out, cap);
    return std::u16string(out, out + n);
}

TEST(Utf8ToUtf16, CharactersOfEveryLength) {
    EXPECT_EQ(u"A\u00E9\u20AC\U0001F600", Utf16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
}

TEST(Utf8ToUtf16, MalformedSequencesBecomeReplacementCharacters) {
    EXPECT_EQ(u"\uFFFDA", Utf16("\x80"
                                "A"));  // stray continuation byte
    EXPECT_EQ(u"\uFFFDA", Utf16("\xE2\x82"
                                "A"));              // cut short
    EXPECT_EQ(u"\uFFFD", Utf16("\xC0\x80"));        // overlong
    EXPECT_EQ(u"\uFFFD", Utf16("\xED\xA0\x80"));    // a surrogate
    EXPECT_EQ(u"\uFFFD\uFFFD", Utf16("\xF8\x88"));  // no such lead byte
    EXPECT_EQ(u"\uFFFDB", Utf16("\xF0\x9F\x98"
                                "B"));  // cut short before the end
}

TEST(Utf8ToUtf16, APairThatDoesNotFitIsLeftOut) {
    EXPECT_EQ(u"ab", Utf16("ab\xF0\x9F\x98\x80", 3));
    EXPECT_EQ(u"abc", Utf16("abcd", 3));
}

}  // namespace
