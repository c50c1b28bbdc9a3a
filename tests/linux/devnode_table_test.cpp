// Device-instance handles over a long life: replugging makes new device
// directories without end, and a full table must still hand out handles,
// taking them from devices that have gone, never from present ones.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "devnode_table.h"

namespace {

std::string PathOf(uint32_t devnode) {
    char out[512];
    return pdx_devnode_path(devnode, out, sizeof(out)) ? std::string(out) : std::string("<none>");
}

TEST(DevnodeTable, FullTableReusesOnlyTheHandlesOfGoneDevices) {
    char tmpl[] = "/tmp/pdx-devnode-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string root = tmpl;
    const std::string present = root + "/present";
    const std::string plugged_later = root + "/plugged-later";
    ASSERT_EQ(0, mkdir(present.c_str(), 0755));
    ASSERT_EQ(0, mkdir(plugged_later.c_str(), 0755));

    const uint32_t kept = pdx_devnode_for_path(present.c_str());
    ASSERT_NE(0u, kept);
    EXPECT_EQ(kept, pdx_devnode_for_path(present.c_str())) << "the same path, the same handle";
    // Directories of devices unplugged long ago fill the rest of the table.
    for (uint32_t k = 1; k < PDX_DEVNODE_MAX; ++k) {
        const std::string gone = root + "/gone-" + std::to_string(k);
        ASSERT_NE(0u, pdx_devnode_for_path(gone.c_str())) << k;
    }

    const uint32_t fresh = pdx_devnode_for_path(plugged_later.c_str());
    ASSERT_NE(0u, fresh) << "a new device still gets a handle";
    EXPECT_NE(kept, fresh);
    EXPECT_EQ(plugged_later, PathOf(fresh));
    EXPECT_EQ(present, PathOf(kept)) << "a present device keeps its handle";
    EXPECT_EQ(kept, pdx_devnode_for_path(present.c_str()));

    rmdir(present.c_str());
    rmdir(plugged_later.c_str());
    rmdir(root.c_str());
}

}  // namespace
