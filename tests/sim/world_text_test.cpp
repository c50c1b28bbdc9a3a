// The text form of worlds that tools accept.
#include <gtest/gtest.h>

#include "pdxsim.h"

namespace {

PdxSimWorld world;

TEST(WorldText, DevicesProductsAndSerials) {
    char err[128];
    ASSERT_TRUE(pdxsim_parse_world("2 devices, product 0x2A10, serials A1B2C3D4 and none", &world, err, sizeof err))
        << err;
    ASSERT_EQ(world.device_count, 2);
    EXPECT_EQ(world.device[0].product_id, 0x2A10);
    EXPECT_EQ(world.device[1].product_id, 0x2A10);
    EXPECT_EQ(world.device[0].serial_kind, PDXSIM_SERIAL_STRING);
    EXPECT_EQ(world.device[0].serial_len, 8);
    EXPECT_EQ(world.device[0].serial[7], '4');
    EXPECT_EQ(world.device[1].serial_kind, PDXSIM_SERIAL_NONE);
    EXPECT_EQ(world.device[0].interface_count, 2);
}

TEST(WorldText, ForeignDevicesOrderAndSpecialSerials) {
    char err[128];
    ASSERT_TRUE(
        pdxsim_parse_world("3 devices, products 0x2A10 0x2A11, version 0x0203, serials fail and string0, "
                           "1 foreign vendor 0x046D product 0xC52B, order interleaved",
                           &world, err, sizeof err))
        << err;
    ASSERT_EQ(world.device_count, 4);
    EXPECT_EQ(world.device[2].product_id, 0x2A11);  // the last value repeats
    EXPECT_EQ(world.device[2].version, 0x0203);
    EXPECT_TRUE(world.device[0].iface[0].faults.serial_fail);
    EXPECT_EQ(world.device[1].serial_kind, PDXSIM_SERIAL_STRING0);
    EXPECT_EQ(world.device[3].vendor_id, 0x046D);
    EXPECT_EQ(world.device[3].product_id, 0xC52B);
    ASSERT_EQ(world.order_count, 8);
    EXPECT_EQ(world.order[1].device, 1);
    EXPECT_EQ(world.order[1].iface, 0);
    EXPECT_EQ(world.order[4].iface, 1);
}

TEST(WorldText, NoParentsFailsEveryWalkFromAnInterface) {
    PdxSimWorld world;
    ASSERT_TRUE(pdxsim_parse_world("2 devices, no parents", &world, nullptr, 0));
    for (int d = 0; d < 2; d++)
        for (int i = 0; i < world.device[d].interface_count; i++)
            EXPECT_EQ(1, world.device[d].iface[i].faults.parent_fail_step);
}

TEST(WorldText, ErrorsNameTheProblem) {
    char err[128];
    EXPECT_FALSE(pdxsim_parse_world("devices 2", &world, err, sizeof err));
    EXPECT_STRNE(err, "");
    EXPECT_FALSE(pdxsim_parse_world("1 device, order sideways", &world, err, sizeof err));
    EXPECT_NE(std::string(err).find("sideways"), std::string::npos);
    EXPECT_FALSE(pdxsim_parse_world("1 device, product 0x10000", &world, err, sizeof err));
    EXPECT_FALSE(pdxsim_parse_world("99 devices", &world, err, sizeof err));
}

TEST(WorldText, ParsedWorldInstallsAndEnumerates) {
    ASSERT_TRUE(pdxsim_parse_world("1 device, 1 foreign, order reversed-interfaces", &world, nullptr, 0));
    ASSERT_TRUE(pdxsim_install(&world));
    PdxSimWorld got;
    ASSERT_TRUE(pdxsim_get_world(&got));
    EXPECT_EQ(got.device_count, 2);
    EXPECT_EQ(got.order[0].iface, 1);
    EXPECT_EQ(got.device[1].product_id, 0x2A12);
    pdxsim_uninstall();
}

}  // namespace
